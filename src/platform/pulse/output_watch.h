// Watches the sound server for the output whose audio is "what the machine plays": the server's
// default output, followed across changes. Internal to the platform layer.
//
// An event subscription (server changes and outputs), no polling. After each burst of events the
// server is asked once for its default output, its outputs and its sources, and the answer is
// reported when it differs from the last one. When the default names no output (PipeWire says
// "@DEFAULT_SINK@" while it has none or is choosing one, PulseAudio says nothing), the first
// listed output stands in, as the content query orders them. An output is reported only with a
// monitor that the server lists as that output's monitor: never a microphone or another input.
//
// Thread contract: create, use and destroy an OutputWatch with the connection's lock held. The
// handler runs on the connection's mainloop thread with the lock held; it may start server
// requests but must not wait for them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pulse_connection.h"

namespace platform::pulse {

struct WatchedOutput {
  std::string sinkName;
  uint32_t sinkIndex = 0;
  std::string monitorSourceName;  // the sink info's own, checked to be this sink's monitor
  bool suspended = false;
  // How many times the server said this output changed (a suspension, its volume, ...). PipeWire
  // suspends an output only for a moment, too briefly for suspended to show it, yet it leaves the
  // streams that recorded its monitor silent; this count is how a capture learns of it.
  uint64_t changes = 0;

  bool operator==(const WatchedOutput&) const = default;
};

class OutputWatch {
 public:
  // Called when current() changed (and after refresh()).
  using Handler = std::function<void(const OutputWatch& watch)>;

  // Subscribes and asks at once; the first answer is always reported. None, with *error, when
  // the server refuses the subscription.
  static std::unique_ptr<OutputWatch> start(PulseConnection& connection, Handler handler, Error* error);

  OutputWatch(const OutputWatch&) = delete;
  OutputWatch& operator=(const OutputWatch&) = delete;
  // Unsubscribes; no handler call after it returns.
  ~OutputWatch();

  // Asks again and reports the answer even when it has not changed.
  void refresh();
  // The output to record: the last answer reported; none before the first or when no output is
  // left.
  const std::optional<WatchedOutput>& current() const { return current_; }
  // The server's name as it gives it ("pulseaudio", "PulseAudio (on PipeWire 0.3.65)"); empty
  // before the first answer.
  const std::string& serverName() const { return serverName_; }

 private:
  struct Answer;

  OutputWatch(PulseConnection& connection, Handler handler);
  static void subscribed(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                         void* userdata);
  void ask();
  void answered();
  std::optional<WatchedOutput> choose(const Answer& answer) const;

  PulseConnection& connection_;
  Handler handler_;
  std::unique_ptr<Answer> pending_;  // the question in flight, if any
  std::vector<OperationPtr> operations_;
  bool askAgain_ = false;  // events came while a question was in flight
  bool forceReport_ = true;
  std::map<uint32_t, uint64_t> changes_;  // by sink index
  std::optional<WatchedOutput> current_;
  std::string serverName_;
};

}  // namespace platform::pulse
