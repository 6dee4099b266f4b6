// A connection to the sound server: a pa_threaded_mainloop (its own thread) and a pa_context.
// Internal to the platform layer; nothing outside src/platform/ sees libpulse.
//
// Thread contract: the pa_* calls on context() and on objects made from it need the mainloop
// lock (Lock), except inside libpulse callbacks, which run on the mainloop thread with the lock
// already held. Never destroy a PulseConnection on its own mainloop thread (it would wait for
// itself). listen() callbacks run on the mainloop thread.
#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform::pulse {

inline constexpr const char* kErrorDomain = "PulseAudio";

// An error with libpulse's own text for code (a PA_ERR_* value).
Error makeError(int code, const std::string& what);

struct MainloopDeleter {
  void operator()(pa_threaded_mainloop* mainloop) const;
};
struct ContextDeleter {
  void operator()(pa_context* context) const;
};
struct OperationDeleter {
  void operator()(pa_operation* operation) const;
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

class PulseConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to the server libpulse finds the usual way and waits until the context is ready or
  // until timeout has passed. None, with *error saying why, when that fails.
  static std::unique_ptr<PulseConnection> connect(bool autospawn, Clock::duration timeout, Error* error);

  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;
  // Disconnects and stops the mainloop thread.
  ~PulseConnection();

  pa_threaded_mainloop* mainloop() const { return mainloop_.get(); }
  pa_context* context() const { return context_.get(); }

  // Holds the mainloop lock for its lifetime.
  class Lock {
   public:
    explicit Lock(const PulseConnection& connection) : mainloop_(connection.mainloop()) {
      pa_threaded_mainloop_lock(mainloop_);
    }
    ~Lock() { pa_threaded_mainloop_unlock(mainloop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pa_threaded_mainloop* mainloop_;
  };

  // With the lock held: waits until done() is true, the context failed, or deadline. True when
  // done() became true. Callbacks that change what done() looks at must call signal().
  bool waitUntil(const std::function<bool()>& done, Clock::time_point deadline);
  // With the lock held: waits for operation to finish, bounded by deadline. False on timeout
  // or a failed context (the operation is then cancelled).
  bool waitFor(OperationPtr operation, Clock::time_point deadline);
  // Wakes the waiters; for libpulse callbacks (mainloop thread).
  void signal() const { pa_threaded_mainloop_signal(mainloop_.get(), 0); }

  // Called on the mainloop thread once, when the context fails or terminates after connect()
  // succeeded. Set it with the lock held.
  void onFailure(std::function<void(const Error&)> handler) { failureHandler_ = std::move(handler); }

  // With the lock held: the context's last error as an Error.
  Error lastError(const std::string& what) const;
  bool failed() const;

 private:
  PulseConnection() = default;
  static void contextStateChanged(pa_context* context, void* userdata);

  std::unique_ptr<pa_threaded_mainloop, MainloopDeleter> mainloop_;
  std::unique_ptr<pa_context, ContextDeleter> context_;
  std::function<void(const Error&)> failureHandler_;
  bool ready_ = false;
  bool failureReported_ = false;
};

}  // namespace platform::pulse
