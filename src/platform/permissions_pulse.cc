// The right to record what the machine plays: granted when the sound server lets us record the
// monitor of at least one output.
#include <string>
#include <vector>

#include "platform/permissions.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse_connection.h"

namespace platform {
namespace {

using pulse::OperationPtr;
using pulse::PulseConnection;
using Clock = std::chrono::steady_clock;

// The whole answer within this, even when a server accepts the connection and never replies.
constexpr auto kTimeout = std::chrono::seconds(2);

// With the lock held: whether a record stream on source becomes ready.
bool canRecord(PulseConnection& connection, const std::string& source, Clock::time_point deadline) {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48000, 2};
  pulse::StreamPtr stream(pa_stream_new(connection.context(), "access check", &spec, nullptr));
  if (!stream) return false;
  pa_stream_set_state_callback(
      stream.get(), [](pa_stream*, void* userdata) { static_cast<PulseConnection*>(userdata)->signal(); },
      &connection);
  // Corked: the check needs the server's consent, not audio.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
  return !pulse::connectRecordStream(connection, stream.get(), source, nullptr, flags, deadline);
}

bool outputCanBeRecorded(bool autospawn) {
  const auto deadline = Clock::now() + kTimeout;
  Error error(pulse::kErrorDomain, 0, "");
  auto connection = PulseConnection::connect(autospawn, kTimeout, &error);
  if (!connection) return false;
  PulseConnection::Lock lock(*connection);
  std::vector<std::string> monitors;
  OperationPtr sinkList(pa_context_get_sink_info_list(
      connection->context(),
      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
          static_cast<std::vector<std::string>*>(userdata)->push_back(info->monitor_source_name);
        }
      },
      &monitors));
  if (!connection->waitFor(std::move(sinkList), deadline)) return false;
  for (const auto& monitor : monitors) {
    if (canRecord(*connection, monitor, deadline)) return true;
    if (connection->failed() || Clock::now() >= deadline) return false;
  }
  return false;
}

}  // namespace

bool CGPreflightScreenCaptureAccess() { return outputCanBeRecorded(false); }

bool CGRequestScreenCaptureAccess() { return outputCanBeRecorded(true); }

}  // namespace platform
