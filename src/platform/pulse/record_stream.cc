#include "platform/pulse/record_stream.h"

namespace platform::pulse {

void StreamDeleter::operator()(pa_stream* stream) const {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

std::optional<Error> connectRecordStream(PulseConnection& connection, pa_stream* stream,
                                         const std::string& source, const pa_buffer_attr* attributes,
                                         pa_stream_flags_t flags,
                                         PulseConnection::Clock::time_point deadline) {
  if (pa_stream_connect_record(stream, source.c_str(), attributes, flags) < 0) {
    return connection.lastError("Cannot record the output");
  }
  auto state = [&] { return pa_stream_get_state(stream); };
  connection.waitUntil([&] { return state() != PA_STREAM_CREATING && state() != PA_STREAM_UNCONNECTED; },
                       deadline);
  if (state() == PA_STREAM_READY) return std::nullopt;
  if (state() == PA_STREAM_CREATING && !connection.failed()) {
    return makeError(PA_ERR_TIMEOUT, "The sound server did not start the recording");
  }
  return connection.lastError("Cannot record the output");
}

}  // namespace platform::pulse
