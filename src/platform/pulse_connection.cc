#include "platform/pulse_connection.h"

#include <pulse/rtclock.h>

namespace platform::pulse {

Error makeError(int code, const std::string& what) {
  const char* text = pa_strerror(code);
  std::string message = text != nullptr ? text : "Unknown error";
  if (!what.empty()) message = what + ": " + message;
  return Error(kErrorDomain, code, message);
}

void MainloopDeleter::operator()(pa_threaded_mainloop* mainloop) const {
  pa_threaded_mainloop_stop(mainloop);
  pa_threaded_mainloop_free(mainloop);
}

void ContextDeleter::operator()(pa_context* context) const {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

void OperationDeleter::operator()(pa_operation* operation) const { pa_operation_unref(operation); }

std::unique_ptr<PulseConnection> PulseConnection::connect(bool autospawn, Clock::duration timeout,
                                                          Error* error) {
  const auto deadline = Clock::now() + timeout;
  std::unique_ptr<PulseConnection> connection(new PulseConnection());
  connection->mainloop_.reset(pa_threaded_mainloop_new());
  if (!connection->mainloop_) {
    *error = makeError(PA_ERR_INTERNAL, "Cannot create the sound server's event loop");
    return nullptr;
  }
  connection->context_.reset(
      pa_context_new(pa_threaded_mainloop_get_api(connection->mainloop()), "system-audio-recorder"));
  if (!connection->context_) {
    *error = makeError(PA_ERR_INTERNAL, "Cannot create a sound server context");
    return nullptr;
  }
  pa_context_set_state_callback(connection->context(), &PulseConnection::contextStateChanged,
                                connection.get());
  if (pa_threaded_mainloop_start(connection->mainloop()) < 0) {
    *error = makeError(PA_ERR_INTERNAL, "Cannot start the sound server's event loop");
    return nullptr;
  }

  Lock lock(*connection);
  const auto flags = autospawn ? PA_CONTEXT_NOFLAGS : PA_CONTEXT_NOAUTOSPAWN;
  if (pa_context_connect(connection->context(), nullptr, flags, nullptr) < 0) {
    *error = connection->lastError("Cannot connect to the sound server");
    return nullptr;
  }
  auto state = [&] { return pa_context_get_state(connection->context()); };
  const bool settled = connection->waitUntil([&] { return state() == PA_CONTEXT_READY; }, deadline);
  if (!settled) {
    *error = state() == PA_CONTEXT_FAILED || state() == PA_CONTEXT_TERMINATED
                 ? connection->lastError("Cannot connect to the sound server")
                 : makeError(PA_ERR_TIMEOUT, "The sound server did not answer");
    return nullptr;
  }
  connection->ready_ = true;
  return connection;
}

PulseConnection::~PulseConnection() {
  if (!mainloop_) return;
  {
    Lock lock(*this);
    failureHandler_ = nullptr;
    context_.reset();
  }
  mainloop_.reset();
}

void PulseConnection::contextStateChanged(pa_context* context, void* userdata) {
  auto* self = static_cast<PulseConnection*>(userdata);
  const auto state = pa_context_get_state(context);
  if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && self->ready_ &&
      !self->failureReported_) {
    self->failureReported_ = true;
    if (self->failureHandler_) self->failureHandler_(self->lastError(""));
  }
  self->signal();
}

bool PulseConnection::failed() const {
  const auto state = pa_context_get_state(context());
  return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

Error PulseConnection::lastError(const std::string& what) const {
  int code = pa_context_errno(context());
  // A context that ends without an error code still ended the connection.
  if (code == PA_OK && failed()) code = PA_ERR_CONNECTIONTERMINATED;
  return makeError(code, what);
}

bool PulseConnection::waitUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  struct Timer {
    PulseConnection* connection;
    bool expired = false;
  } timer{this};
  const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (remaining.count() <= 0) return done();
  // libpulse's waits have no timeout of their own: a timer on the mainloop wakes us instead.
  pa_time_event* event = pa_context_rttime_new(
      context(), pa_rtclock_now() + static_cast<pa_usec_t>(remaining.count()),
      [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* timer = static_cast<Timer*>(userdata);
        timer->expired = true;
        timer->connection->signal();
      },
      &timer);
  // Without its timer the wait would have no deadline: give up instead.
  if (event == nullptr) return done();
  while (!done() && !failed() && !timer.expired) pa_threaded_mainloop_wait(mainloop());
  pa_threaded_mainloop_get_api(mainloop())->time_free(event);
  return done();
}

bool PulseConnection::waitFor(OperationPtr operation, Clock::time_point deadline) {
  if (!operation) return false;
  pa_operation_set_state_callback(
      operation.get(),
      [](pa_operation*, void* userdata) { static_cast<PulseConnection*>(userdata)->signal(); }, this);
  const bool finished =
      waitUntil([&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; }, deadline);
  pa_operation_set_state_callback(operation.get(), nullptr, nullptr);
  if (!finished) pa_operation_cancel(operation.get());
  return finished && pa_operation_get_state(operation.get()) == PA_OPERATION_DONE;
}

}  // namespace platform::pulse
