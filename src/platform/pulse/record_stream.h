// libpulse record streams, shared by the capture and the permission check.
//
// Thread contract: as for PulseConnection: everything here needs the mainloop lock.
#pragma once

#include <pulse/pulseaudio.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/pulse_connection.h"

namespace platform::pulse {

// Detaches our callbacks before disconnecting, so that none runs on a stream being freed.
struct StreamDeleter {
  void operator()(pa_stream* stream) const;
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

// Connects stream (whose state callback must call connection.signal()) to record source and
// waits until the server confirmed it or deadline. None when it is recording; otherwise why not.
std::optional<Error> connectRecordStream(PulseConnection& connection, pa_stream* stream,
                                         const std::string& source, const pa_buffer_attr* attributes,
                                         pa_stream_flags_t flags,
                                         PulseConnection::Clock::time_point deadline);

}  // namespace platform::pulse
