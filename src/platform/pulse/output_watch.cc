#include "platform/pulse/output_watch.h"

#include <algorithm>

namespace platform::pulse {

// One question to the server: its default output, its outputs and its sources. The three requests
// go out together and the server answers them in order, so they describe one moment.
struct OutputWatch::Answer {
  struct Sink {
    std::string name;
    uint32_t index;
    std::string monitorName;
    uint32_t monitorIndex;
    bool suspended;
  };
  struct Source {
    std::string name;
    uint32_t index;
    uint32_t monitorOfSink;
  };

  OutputWatch* watch;
  int outstanding = 3;
  bool failed = false;
  std::string defaultSink;
  std::string serverName;
  std::vector<Sink> sinks;
  std::vector<Source> sources;

  void done(bool ok) {
    failed = failed || !ok;
    if (--outstanding == 0) watch->answered();
  }
};

std::unique_ptr<OutputWatch> OutputWatch::start(PulseConnection& connection, Handler handler, Error* error) {
  std::unique_ptr<OutputWatch> watch(new OutputWatch(connection, std::move(handler)));
  pa_context_set_subscribe_callback(connection.context(), &OutputWatch::subscribed, watch.get());
  const auto mask =
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK);
  if (!OperationPtr(pa_context_subscribe(connection.context(), mask, nullptr, nullptr))) {
    *error = connection.lastError("Cannot watch the sound server's outputs");
    return nullptr;
  }
  watch->ask();
  return watch;
}

OutputWatch::OutputWatch(PulseConnection& connection, Handler handler)
    : connection_(connection), handler_(std::move(handler)) {}

OutputWatch::~OutputWatch() {
  pa_context_set_subscribe_callback(connection_.context(), nullptr, nullptr);
  if (!connection_.failed()) {
    OperationPtr(pa_context_subscribe(connection_.context(), PA_SUBSCRIPTION_MASK_NULL, nullptr, nullptr));
  }
  for (auto& operation : operations_) {
    if (pa_operation_get_state(operation.get()) == PA_OPERATION_RUNNING) pa_operation_cancel(operation.get());
  }
}

void OutputWatch::refresh() {
  forceReport_ = true;
  ask();
}

void OutputWatch::subscribed(pa_context*, pa_subscription_event_type_t event, uint32_t index,
                             void* userdata) {
  auto* watch = static_cast<OutputWatch*>(userdata);
  const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_CHANGE)
    ++watch->changes_[index];
  if (facility == PA_SUBSCRIPTION_EVENT_SINK && type == PA_SUBSCRIPTION_EVENT_REMOVE)
    watch->changes_.erase(index);
  watch->ask();
}

void OutputWatch::ask() {
  // One question at a time; events meanwhile ask once more when it is answered.
  if (pending_) {
    askAgain_ = true;
    return;
  }
  operations_.clear();
  pending_ = std::make_unique<Answer>();
  pending_->watch = this;
  pa_context* context = connection_.context();
  operations_.emplace_back(pa_context_get_server_info(
      context,
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* answer = static_cast<Answer*>(userdata);
        if (info != nullptr) {
          if (info->default_sink_name != nullptr) answer->defaultSink = info->default_sink_name;
          if (info->server_name != nullptr) answer->serverName = info->server_name;
        }
        answer->done(info != nullptr);
      },
      pending_.get()));
  operations_.emplace_back(pa_context_get_sink_info_list(
      context,
      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* answer = static_cast<Answer*>(userdata);
        if (eol != 0 || info == nullptr) {
          answer->done(eol > 0);
          return;
        }
        answer->sinks.push_back({info->name != nullptr ? info->name : "", info->index,
                                 info->monitor_source_name != nullptr ? info->monitor_source_name : "",
                                 info->monitor_source, info->state == PA_SINK_SUSPENDED});
      },
      pending_.get()));
  operations_.emplace_back(pa_context_get_source_info_list(
      context,
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* answer = static_cast<Answer*>(userdata);
        if (eol != 0 || info == nullptr) {
          answer->done(eol > 0);
          return;
        }
        answer->sources.push_back(
            {info->name != nullptr ? info->name : "", info->index, info->monitor_of_sink});
      },
      pending_.get()));
  if (std::any_of(operations_.begin(), operations_.end(), [](const OperationPtr& op) { return !op; })) {
    // The context is failing; its failure reaches the capture by another way.
    for (auto& operation : operations_) {
      if (operation) pa_operation_cancel(operation.get());
    }
    pending_.reset();
  }
}

void OutputWatch::answered() {
  const auto answer = std::move(pending_);
  if (askAgain_) {
    askAgain_ = false;
    ask();
    return;
  }
  if (answer->failed) return;
  serverName_ = answer->serverName;
  auto output = choose(*answer);
  if (output == current_ && !forceReport_) return;
  forceReport_ = false;
  current_ = std::move(output);
  handler_(*this);
}

std::optional<WatchedOutput> OutputWatch::choose(const Answer& answer) const {
  std::vector<const Answer::Sink*> candidates;
  for (const auto& sink : answer.sinks) candidates.push_back(&sink);
  std::stable_partition(candidates.begin(), candidates.end(),
                        [&](const Answer::Sink* sink) { return sink->name == answer.defaultSink; });
  for (const auto* sink : candidates) {
    const bool monitorChecked =
        std::any_of(answer.sources.begin(), answer.sources.end(), [&](const auto& source) {
          return source.index == sink->monitorIndex && source.name == sink->monitorName &&
                 source.monitorOfSink == sink->index;
        });
    if (!sink->monitorName.empty() && monitorChecked) {
      const auto changes = changes_.find(sink->index);
      return WatchedOutput{sink->name, sink->index, sink->monitorName, sink->suspended,
                           changes != changes_.end() ? changes->second : 0};
    }
  }
  return std::nullopt;
}

}  // namespace platform::pulse
