// The capture service on libpulse: the outputs (sinks) are the displays, and a stream records the
// chosen output's monitor source.
#include <pulse/rtclock.h>

#include <algorithm>
#include <array>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <cmath>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/pulse/output_watch.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse_connection.h"
#include "platform/screen_capture.h"

namespace platform {
namespace {

using pulse::makeError;
using pulse::OperationPtr;
using pulse::PulseConnection;
using Clock = std::chrono::steady_clock;

// Bounds every wait for the server, so that a server that accepts but never answers cannot hang us.
constexpr auto kServerTimeout = std::chrono::seconds(5);
// Small fragments, so that the first buffer arrives well inside the recorder's start watchdog.
constexpr pa_usec_t kFragmentUsec = 10 * PA_USEC_PER_MSEC;
// How long a switch to another output waits for the old capture to reach the moment of the new
// one's first audio (the old one's fragments may be large).
constexpr auto kSwitchWait = std::chrono::milliseconds(150);
// A capture of a new output that the server refused, or that ended before the switch, is tried
// again this often, after this long.
constexpr int kOpenRetries = 3;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(300);
// PipeWire's pulse server can leave one connection's view of the default output behind for good
// (it said the old default for seconds on end, without an event, while new connections said the
// new one). So on PipeWire the watch is started afresh on a new connection: at a resume, shortly
// after each change it reported or a capture's connection was told of, and at least this often.
constexpr auto kWatchRenewal = std::chrono::seconds(10);
constexpr auto kWatchRecheck = std::chrono::milliseconds(150);
// The connections of a recording's first moments were deaf together (the watch's and the
// capture's, traced in a recording started just after the server): the first looks afresh come
// sooner.
constexpr std::array<std::chrono::milliseconds, 2> kEarlyRenewals{std::chrono::milliseconds(500),
                                                                  std::chrono::seconds(2)};
// Longer gaps than this between a vanished output's audio and its successor's are not filled.
constexpr auto kMaxGap = std::chrono::seconds(1);
// Capture times further than this from what a chunk's arrival says start afresh (after a gap),
// with small fragments and with large ones.
constexpr auto kResync = std::chrono::milliseconds(20);
constexpr auto kSteadyResync = std::chrono::milliseconds(250);
// Once audio flows, larger fragments: a fifth to a tenth of the wake-ups, here and in the server,
// which otherwise renders the output at our small latency whenever no player asks for a smaller
// one. Small ones last kQuickPeriod of audio first, for the start watchdog, which waits for the
// first buffer. On PulseAudio, 100 ms fragments (an output rendered in blocks that long) moved the
// cuts at pauses up to 40 ms from the request; 50 ms ones keep them within about 12.
constexpr pa_usec_t kSteadyFragmentUsec = 50 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kPipeWireSteadyFragmentUsec = 100 * PA_USEC_PER_MSEC;
constexpr auto kQuickPeriod = std::chrono::seconds(1);
// After the fragments grow, the arrivals are uneven while the server adapts: for
// kSettlePeriod of audio the capture times follow the stream's positions alone, then for
// kLearnPeriod they learn how late the arrivals now come, which they follow from then on.
constexpr auto kSettlePeriod = std::chrono::milliseconds(300);
constexpr auto kLearnPeriod = std::chrono::seconds(2);
// A stop waits at most this long for the audio captured before it to arrive.
constexpr auto kDrainWait = std::chrono::milliseconds(300);
// Once the first kQuickPeriod of audio has been delivered, the output gets it in buffers of about
// this length: one wake-up and one buffer where small fragments would bring ten.
constexpr auto kBatch = std::chrono::milliseconds(100);
// Runs whose capture times are further apart than this (a pause, a gap) are not gathered.
constexpr auto kBatchSeam = std::chrono::milliseconds(2);
// How often a running capture asks the server whether it still answers.
constexpr pa_usec_t kHeartbeatUsec = 500 * PA_USEC_PER_MSEC;

// How long `frames` frames last at `sampleRate`.
Clock::duration durationOf(size_t frames, int64_t sampleRate) {
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / static_cast<double>(sampleRate)));
}

// Runs on its own short-lived thread: blocking for the server must not hold a pool thread.
void queryContent(const ScreenCaptureService::ContentCompletion& completion) {
  Error error(pulse::kErrorDomain, PA_OK, "");
  auto connection = PulseConnection::connect(true, kServerTimeout, &error);
  if (!connection) {
    completion(nullptr, error);
    return;
  }
  const auto deadline = Clock::now() + kServerTimeout;
  std::string defaultSink;
  std::vector<SCDisplayRef> sinks;
  std::optional<Error> failure;
  {
    PulseConnection::Lock lock(*connection);
    OperationPtr serverInfo(pa_context_get_server_info(
        connection->context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
          if (info != nullptr && info->default_sink_name != nullptr) {
            *static_cast<std::string*>(userdata) = info->default_sink_name;
          }
        },
        &defaultSink));
    OperationPtr sinkList(pa_context_get_sink_info_list(
        connection->context(),
        [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
          if (eol != 0 || info == nullptr) return;
          auto display = std::make_shared<SCDisplay>();
          display->name = info->name != nullptr ? info->name : "";
          display->description = info->description != nullptr ? info->description : "";
          display->monitorSourceName = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
          static_cast<std::vector<SCDisplayRef>*>(userdata)->push_back(std::move(display));
        },
        &sinks));
    const bool gotInfo = connection->waitFor(std::move(serverInfo), deadline);
    const bool gotSinks = gotInfo && connection->waitFor(std::move(sinkList), deadline);
    if (!gotInfo || !gotSinks) {
      failure = connection->failed() ? connection->lastError("The output query failed")
                                     : makeError(PA_ERR_TIMEOUT, "The output query got no answer");
    }
  }
  connection.reset();
  if (failure) {
    completion(nullptr, failure);
    return;
  }
  // The default output first; the others keep the server's order. A default that names no
  // listed output (PipeWire without outputs says "@DEFAULT_SINK@") changes nothing.
  std::stable_partition(sinks.begin(), sinks.end(),
                        [&](const SCDisplayRef& display) { return display->name == defaultSink; });
  std::erase_if(sinks, [](const SCDisplayRef& display) { return display->monitorSourceName.empty(); });
  completion(std::make_shared<SCShareableContent>(std::move(sinks)), std::nullopt);
}

// One record stream on one output's monitor: its own connection, its state, and which of the audio
// it receives is delivered. A stream object may own more than one while it moves between outputs.
//
// States and what moves between them (all in enter()):
//   idle -> connecting        open(), on the control strand
//   connecting -> running     the server confirmed the stream
//   connecting -> idle        the server refused it, or did not answer in time (open() says why)
//   running <-> corked        pause() / resume(): what was captured while corked is not delivered
//   running|corked -> failed  the stream or the connection failed: onFailure, once
//   any -> closed             close(); nothing is delivered or reported afterwards
// A pause keeps the server's stream running: uncorking a PipeWire stream brings its audio back
// only 55-65 ms later, and that audio is gone. Instead each frame is delivered or not by the
// moment it was captured, so a pause and a resume cut the audio where the requests came.
class MonitorCapture {
 public:
  enum class State { idle, connecting, running, corked, failed, closed };
  using Clock = std::chrono::steady_clock;
  // captured: when the first of the frames was captured.
  using AudioHandler =
      std::function<void(const float* interleaved, size_t frames, Clock::time_point captured)>;
  using FailureHandler = std::function<void(const Error&)>;
  // The server said that something of its own changed, such as its default output.
  using ServerChangeHandler = std::function<void()>;

  // The handlers run on the mainloop thread. Without delivering, the capture starts corked.
  MonitorCapture(SCDisplayRef display, int64_t sampleRate, int64_t channelCount, AudioHandler onAudio,
                 FailureHandler onFailure, ServerChangeHandler onServerChange, bool delivering = true)
      : display_(std::move(display)),
        sampleRate_(sampleRate),
        channelCount_(channelCount),
        onAudio_(std::move(onAudio)),
        onFailure_(std::move(onFailure)),
        onServerChange_(std::move(onServerChange)),
        delivering_(delivering) {}

  MonitorCapture(const MonitorCapture&) = delete;
  MonitorCapture& operator=(const MonitorCapture&) = delete;
  ~MonitorCapture() { close(); }

  // Not on the mainloop thread. Blocks until the server confirmed the stream, at most about
  // twice kServerTimeout (the connection, then the stream). None when running.
  std::optional<Error> open() {
    if (!display_ || display_->monitorSourceName.empty()) {
      return makeError(PA_ERR_INVALID, "The filter names no output");
    }
    if (sampleRate_ <= 0 || sampleRate_ > PA_RATE_MAX || channelCount_ <= 0 ||
        channelCount_ > PA_CHANNELS_MAX) {
      return makeError(PA_ERR_INVALID, "Unsupported sample rate or channel count");
    }
    Error connectError(pulse::kErrorDomain, PA_OK, "");
    auto connection = PulseConnection::connect(true, kServerTimeout, &connectError);
    if (!connection) return connectError;
    std::optional<Error> error;
    {
      PulseConnection::Lock lock(*connection);
      connection_ = connection.get();
      enter(State::connecting);
      connection_->onFailure([this](const Error& failure) { fail(failure); });
      error = connectStream();
      if (error) {
        connection_->onFailure(nullptr);
        pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
        stopHeartbeat();
        stream_.reset();
        enter(State::idle);
        connection_ = nullptr;
      }
    }
    // A refused stream starts afresh next time; the mainloop thread is stopped without the lock.
    if (!error) connectionOwner_ = std::move(connection);
    return error;
  }

  // Not on the mainloop thread. From the moment at (of the request; no earlier than the last
  // one) what is captured is delivered (resume) or not (pause). True when the state allows it
  // (running or corked).
  bool pause(Clock::time_point at) { return setDelivering(false, at); }
  bool resume(Clock::time_point at) { return setDelivering(true, at); }

  State state() const {
    std::lock_guard guard(stateMutex_);
    return state_;
  }

  // Not on the mainloop thread. Waits, at most kDrainWait, until what was captured before
  // `until` has been handed over: with large fragments it may still wait in the server. (Asking
  // for small ones again would not hurry it: PipeWire then loses about 37 ms of it.)
  void drain(Clock::time_point until) {
    if (!connectionOwner_) return;
    PulseConnection::Lock lock(*connectionOwner_);
    if (!steady_) return;
    draining_ = true;
    connection_->waitUntil(
        [&] {
          const State current = state();
          return (current != State::running && current != State::corked) ||
                 (nextCapture_ && *nextCapture_ >= until);
        },
        Clock::now() + kDrainWait);
    draining_ = false;
  }

  // Not on the mainloop thread.
  void close() {
    if (!connectionOwner_) {
      enter(State::closed);
      return;
    }
    {
      PulseConnection::Lock lock(*connectionOwner_);
      connectionOwner_->onFailure(nullptr);
      pa_context_set_subscribe_callback(connectionOwner_->context(), nullptr, nullptr);
      enter(State::closed);
      stopHeartbeat();
      stream_.reset();
    }
    connectionOwner_.reset();
    connection_ = nullptr;
  }

 private:
  // A change of delivery at a moment of capture.
  struct Switch {
    Clock::time_point at;
    bool delivering;
  };

  // Every change of state goes through here. With the mainloop lock held once a connection exists.
  void enter(State next) {
    State previous;
    {
      std::lock_guard guard(stateMutex_);
      previous = state_;
      if (previous == State::closed || (previous == State::failed && next != State::closed)) return;
      state_ = next;
    }
    if (next == State::failed && (previous == State::running || previous == State::corked) && failure_) {
      onFailure_(*failure_);
    }
  }

  bool setDelivering(bool delivering, Clock::time_point at) {
    if (!connectionOwner_) return false;
    PulseConnection::Lock lock(*connectionOwner_);
    const State current = state();
    if (current != State::running && current != State::corked) return false;
    if ((current == State::running) != delivering) {
      if (!switches_.empty()) at = std::max(at, switches_.back().at);
      switches_.push_back(Switch{at, delivering});
      enter(delivering ? State::running : State::corked);
    }
    return true;
  }

  // With the lock held: connects the record stream and waits until the server confirmed it.
  std::optional<Error> connectStream() {
    const auto deadline = Clock::now() + kServerTimeout;
    // The monitor's own sample format costs the server no conversion; this process converts.
    pa_sample_spec spec{monitorFormat(deadline), static_cast<uint32_t>(sampleRate_),
                        static_cast<uint8_t>(channelCount_)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_.reset(pa_stream_new(connection_->context(), "system audio", &spec, &map));
    if (!stream_) return connection_->lastError("Cannot create the record stream");
    frameBytes_ = pa_frame_size(&spec);
    format_ = spec.format;
    pa_stream_set_state_callback(stream_.get(), &MonitorCapture::streamStateChanged, this);
    pa_stream_set_read_callback(stream_.get(), &MonitorCapture::readable, this);

    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
    // DONT_MOVE: a vanished output must end the capture, not turn into another source's recording.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_START_UNMUTED);
    if (auto error = pulse::connectRecordStream(*connection_, stream_.get(), display_->monitorSourceName,
                                                &attributes, flags, deadline)) {
      return error;
    }
    const char* device = pa_stream_get_device_name(stream_.get());
    if (device == nullptr || display_->monitorSourceName != device) {
      return makeError(PA_ERR_NOENTITY, "The sound server recorded another source");
    }
    setFullVolume();
    wakeIdleOutput();
    heartbeat_ = pa_context_rttime_new(connection_->context(), pa_rtclock_now() + kHeartbeatUsec,
                                       &MonitorCapture::heartbeat, this);
    if (heartbeat_ == nullptr) return connection_->lastError("Cannot watch the sound server");
    listenToServer();
    enter(delivering_ ? State::running : State::corked);
    return std::nullopt;
  }

  // This connection hears of the server's changes as well: a second ear beside the output watch's
  // connection, which PipeWire may leave deaf.
  void listenToServer() {
    if (!onServerChange_) return;
    pa_context_set_subscribe_callback(
        connection_->context(),
        [](pa_context*, pa_subscription_event_type_t event, uint32_t, void* userdata) {
          if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
            static_cast<MonitorCapture*>(userdata)->onServerChange_();
          }
        },
        this);
    OperationPtr(pa_context_subscribe(connection_->context(), PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
  }

  // Whatever the server restored for this application, capture what the output plays as it is.
  void setFullVolume() {
    pa_cvolume volume;
    pa_cvolume_set(&volume, static_cast<unsigned>(channelCount_), PA_VOLUME_NORM);
    OperationPtr(pa_context_set_source_output_volume(
        connection_->context(), pa_stream_get_index(stream_.get()), &volume, nullptr, nullptr));
  }

  // PulseAudio renders an idle output in blocks of up to about 2 s, and a newly requested small
  // latency takes effect only at its next wake-up: too late for the recorder's start watchdog.
  // An output that resumes from suspension starts a fresh timer at our latency, so the output is
  // suspended and resumed at once (both requests go out together) when nobody can hear that:
  // when nothing plays into it, or when it is a sink of nowhere (a null output: device class
  // "abstract") whose monitor nobody else records. A device, a filter that feeds one (echo
  // cancelling, an equaliser, a remapping, a combination) and a null output looped back to a
  // device are left alone while they play: the break would be heard. PipeWire delivers promptly
  // on its own and is left alone too.
  void wakeIdleOutput() {
    OperationPtr(pa_context_get_server_info(
        connection_->context(),
        [](pa_context* context, const pa_server_info* info, void* userdata) {
          auto* self = static_cast<MonitorCapture*>(userdata);
          if (info == nullptr || info->server_name == nullptr || !self->stream_) return;
          if (std::strstr(info->server_name, "PipeWire") != nullptr) {
            self->steadyFragmentUsec_ = kPipeWireSteadyFragmentUsec;
            return;
          }
          OperationPtr(pa_context_get_sink_info_by_name(
              context, self->display_->name.c_str(),
              [](pa_context* context, const pa_sink_info* sink, int eol, void* userdata) {
                if (eol != 0 || sink == nullptr) return;
                auto* self = static_cast<MonitorCapture*>(userdata);
                const char* deviceClass = pa_proplist_gets(sink->proplist, PA_PROP_DEVICE_CLASS);
                const bool nowhere = (sink->flags & PA_SINK_HARDWARE) == 0 && deviceClass != nullptr &&
                                     std::strcmp(deviceClass, "abstract") == 0;
                self->wakeSink_ = WakeSink{sink->index, sink->monitor_source, nowhere};
                OperationPtr(
                    pa_context_get_sink_input_info_list(context, &MonitorCapture::sinkInputListed, self));
              },
              self));
        },
        this));
  }

  static void sinkInputListed(pa_context* context, const pa_sink_input_info* input, int eol, void* userdata) {
    auto* self = static_cast<MonitorCapture*>(userdata);
    if (!self->wakeSink_ || !self->stream_ || eol < 0) return;
    auto& sink = *self->wakeSink_;
    if (eol == 0 && input != nullptr) {
      if (input->sink == sink.index && input->corked == 0) sink.playing = true;
      return;
    }
    if (!sink.playing) {
      suspendAndResume(context, sink.index);
    } else if (sink.nowhere) {
      OperationPtr(
          pa_context_get_source_output_info_list(context, &MonitorCapture::sourceOutputListed, self));
    }
  }

  static void sourceOutputListed(pa_context* context, const pa_source_output_info* output, int eol,
                                 void* userdata) {
    auto* self = static_cast<MonitorCapture*>(userdata);
    if (!self->wakeSink_ || !self->stream_ || eol < 0) return;
    auto& sink = *self->wakeSink_;
    if (eol == 0 && output != nullptr) {
      if (output->source == sink.monitor && output->index != pa_stream_get_index(self->stream_.get())) {
        sink.listened = true;
      }
      return;
    }
    if (!sink.listened) suspendAndResume(context, sink.index);
  }

  static void suspendAndResume(pa_context* context, uint32_t sinkIndex) {
    OperationPtr(pa_context_suspend_sink_by_index(context, sinkIndex, 1, nullptr, nullptr));
    OperationPtr(pa_context_suspend_sink_by_index(context, sinkIndex, 0, nullptr, nullptr));
  }

  // Mainloop thread: a server that stops answering (frozen, or cut off without the connection
  // closing) would otherwise leave the capture waiting for audio forever.
  static void heartbeat(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    auto* self = static_cast<MonitorCapture*>(userdata);
    const auto now = Clock::now();
    if (self->ping_ && now - self->pingSent_ >= kServerTimeout) {
      self->stopHeartbeat();
      self->fail(makeError(PA_ERR_TIMEOUT, "The sound server stopped answering"));
      return;
    }
    if (!self->ping_) {
      self->pingSent_ = now;
      self->ping_.reset(pa_context_get_server_info(
          self->connection_->context(),
          [](pa_context*, const pa_server_info*, void* userdata) {
            static_cast<MonitorCapture*>(userdata)->ping_.reset();
          },
          self));
    }
    pa_context_rttime_restart(self->connection_->context(), self->heartbeat_,
                              pa_rtclock_now() + kHeartbeatUsec);
  }

  // With the lock held.
  void stopHeartbeat() {
    if (heartbeat_ != nullptr) pa_threaded_mainloop_get_api(connection_->mainloop())->time_free(heartbeat_);
    heartbeat_ = nullptr;
    if (ping_) pa_operation_cancel(ping_.get());
    ping_.reset();
  }

  // Mainloop thread.
  static void streamStateChanged(pa_stream* stream, void* userdata) {
    auto* self = static_cast<MonitorCapture*>(userdata);
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED) {
      const int code = pa_context_errno(pa_stream_get_context(stream));
      self->fail(code == PA_ERR_KILLED || code == PA_ERR_NOENTITY
                     ? makeError(code, "The captured output is gone")
                     : self->connection_->lastError("The capture failed"));
    }
    self->connection_->signal();
  }

  // Mainloop thread. While connecting, open() reports the failure itself.
  void fail(const Error& error) {
    const State current = state();
    if (current != State::running && current != State::corked) return;
    failure_ = error;
    enter(State::failed);
  }

  // Mainloop thread: each chunk the server hands over, less what was captured while corked.
  static void readable(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<MonitorCapture*>(userdata);
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      // A hole (no data) must be dropped as well; the time it stands for passed all the same.
      if (data != nullptr) {
        self->received(static_cast<const std::byte*>(data), bytes);
      } else if (self->nextCapture_ && self->frameBytes_ > 0) {
        *self->nextCapture_ += self->lengthOf(bytes / self->frameBytes_);
      }
      pa_stream_drop(stream);
    }
    if (self->draining_) self->connection_->signal();  // a stop waits for this audio
  }

  void received(const std::byte* data, size_t bytes) {
    const State current = state();
    if (current != State::running && current != State::corked) return;
    const auto arrival = Clock::now();
    // Chunks hold whole frames; keep a stray partial frame for the next chunk all the same.
    // The buffers below keep their capacity, so that a steady capture allocates nothing here.
    const bool partial = !partial_.empty() || bytes % frameBytes_ != 0;
    if (partial) {
      partial_.insert(partial_.end(), data, data + bytes);
      data = partial_.data();
      bytes = partial_.size() / frameBytes_ * frameBytes_;
    }
    const size_t frameCount = bytes / frameBytes_;
    if (frameCount == 0) return;
    const float* samples = asFloat(data, frameCount * static_cast<size_t>(channelCount_));

    const auto framePeriod = std::chrono::duration<double>(1.0 / static_cast<double>(sampleRate_));
    const Clock::time_point firstCaptured = capturedFirst(arrival - lengthOf(frameCount), frameCount);
    nextCapture_ = firstCaptured + lengthOf(frameCount);
    paceFragments(frameCount);
    auto capturedAt = [&](size_t frame) { return firstCaptured + lengthOf(frame); };
    auto firstFrameAfter = [&](Clock::time_point at) {
      const double frame = std::ceil((at - firstCaptured) / framePeriod);
      return static_cast<size_t>(std::clamp(frame, 0.0, static_cast<double>(frameCount)));
    };
    const auto channels = static_cast<size_t>(channelCount_);
    for (size_t begin = 0; begin < frameCount;) {
      while (!switches_.empty() && switches_.front().at <= capturedAt(begin)) {
        delivering_ = switches_.front().delivering;
        switches_.pop_front();
      }
      const size_t end =
          switches_.empty() ? frameCount : std::max(begin + 1, firstFrameAfter(switches_.front().at));
      if (delivering_) onAudio_(samples + begin * channels, end - begin, capturedAt(begin));
      begin = end;
    }
    if (partial) partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(bytes));
  }

  // When a chunk's first frame was captured, given when its arrival says (its last frame was
  // captured about now): where the previous chunk ended, drawn slowly towards the arrivals (less
  // the lag they were learnt to have since the fragments grew), so that the times
  // neither jitter with the arrivals nor drift from the output's clock; anew after a gap.
  Clock::time_point capturedFirst(Clock::time_point byArrival, size_t frames) {
    if (!nextCapture_) return byArrival;
    const Clock::duration lag = byArrival - *nextCapture_ - timing_.lag;
    if (std::chrono::abs(lag) >= (steady_ ? kSteadyResync : kResync)) {
      return byArrival - timing_.lag;
    }
    if (timing_.settling > Clock::duration::zero()) {
      timing_.settling -= lengthOf(frames);
      return *nextCapture_;
    }
    if (timing_.learning > Clock::duration::zero()) {
      timing_.learnt += byArrival - *nextCapture_;
      ++timing_.learntChunks;
      timing_.learning -= lengthOf(frames);
      if (timing_.learning <= Clock::duration::zero()) {
        timing_.lag = timing_.learnt / static_cast<Clock::rep>(timing_.learntChunks);
      }
      return *nextCapture_;
    }
    return *nextCapture_ + lag / (steady_ ? 256 : 32);
  }

  // Mainloop thread: once the small fragments have carried kQuickPeriod of audio, large ones; the
  // capture times then settle and learn how late the arrivals come now.
  void paceFragments(size_t frames) {
    if (steady_) return;
    quickFrames_ += frames;
    const pa_buffer_attr* current = pa_stream_get_buffer_attr(stream_.get());
    if (lengthOf(quickFrames_) < kQuickPeriod || current == nullptr) return;
    steady_ = true;
    pa_buffer_attr attributes = *current;
    attributes.fragsize = static_cast<uint32_t>(
        pa_usec_to_bytes(steadyFragmentUsec_, pa_stream_get_sample_spec(stream_.get())));
    OperationPtr(pa_stream_set_buffer_attr(stream_.get(), &attributes, nullptr, nullptr));
    timing_.settling = kSettlePeriod;
    timing_.learning = kLearnPeriod;
  }

  Clock::duration lengthOf(size_t frames) const { return durationOf(frames, sampleRate_); }

  // With the lock held: the monitor's sample format where this process can convert it to float,
  // else float (the server converts).
  pa_sample_format_t monitorFormat(Clock::time_point deadline) {
    pa_sample_format_t format = PA_SAMPLE_FLOAT32LE;
    OperationPtr query(pa_context_get_source_info_by_name(
        connection_->context(), display_->monitorSourceName.c_str(),
        [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
          if (eol != 0 || info == nullptr) return;
          switch (info->sample_spec.format) {
            case PA_SAMPLE_S16LE:
            case PA_SAMPLE_S24LE:
            case PA_SAMPLE_S24_32LE:
            case PA_SAMPLE_S32LE:
            case PA_SAMPLE_FLOAT32LE:
              *static_cast<pa_sample_format_t*>(userdata) = info->sample_spec.format;
              break;
            default:
              break;
          }
        },
        &format));
    connection_->waitFor(std::move(query), deadline);
    return format;
  }

  // `count` samples in the stream's format as float, without a copy where they already are.
  const float* asFloat(const std::byte* data, size_t count) {
    if (format_ == PA_SAMPLE_FLOAT32LE && reinterpret_cast<uintptr_t>(data) % alignof(float) == 0) {
      return reinterpret_cast<const float*>(data);
    }
    converted_.resize(count);
    float* out = converted_.data();
    // Read through memcpy: the server's chunks need not be aligned for the wider types.
    auto read = [data](size_t index, auto sample) {
      std::memcpy(&sample, data + index * sizeof(sample), sizeof(sample));
      return sample;
    };
    switch (format_) {
      case PA_SAMPLE_S16LE:
        for (size_t i = 0; i < count; ++i)
          out[i] = static_cast<float>(read(i, int16_t{})) * (1.0f / 32768.0f);
        break;
      case PA_SAMPLE_S32LE:
        for (size_t i = 0; i < count; ++i) {
          out[i] = static_cast<float>(read(i, int32_t{})) * (1.0f / 2147483648.0f);
        }
        break;
      case PA_SAMPLE_S24_32LE:  // 24 bits in the low bytes of 32
        for (size_t i = 0; i < count; ++i) {
          const auto value = static_cast<int32_t>(static_cast<uint32_t>(read(i, int32_t{})) << 8) >> 8;
          out[i] = static_cast<float>(value) * (1.0f / 8388608.0f);
        }
        break;
      case PA_SAMPLE_S24LE:
        for (size_t i = 0; i < count; ++i) {
          const auto* b = reinterpret_cast<const uint8_t*>(data) + i * 3;
          const auto value =
              static_cast<int32_t>((uint32_t{b[0]} << 8) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 24)) >>
              8;
          out[i] = static_cast<float>(value) * (1.0f / 8388608.0f);
        }
        break;
      default:  // float, unaligned
        std::memcpy(out, data, count * sizeof(float));
        break;
    }
    return out;
  }

  const SCDisplayRef display_;
  const int64_t sampleRate_;
  const int64_t channelCount_;
  const AudioHandler onAudio_;
  const FailureHandler onFailure_;
  const ServerChangeHandler onServerChange_;

  mutable std::mutex stateMutex_;
  State state_ = State::idle;  // guarded by stateMutex_; changed only by enter()

  // Set by open() and close(), off the mainloop thread; the rest is guarded by the mainloop lock.
  std::unique_ptr<PulseConnection> connectionOwner_;
  PulseConnection* connection_ = nullptr;
  pulse::StreamPtr stream_;
  size_t frameBytes_ = 0;
  std::optional<Error> failure_;
  pa_sample_format_t format_ = PA_SAMPLE_FLOAT32LE;
  std::vector<std::byte> partial_;
  std::vector<float> converted_;
  bool delivering_ = true;
  std::optional<Clock::time_point> nextCapture_;
  // How the capture times follow the arrivals since the fragments grew.
  struct Timing {
    Clock::duration settling{};  // audio left during which the times follow the positions alone
    Clock::duration learning{};  // then audio left during which the arrivals' lag is learnt
    Clock::duration learnt{};
    size_t learntChunks = 0;
    Clock::duration lag{};  // how much later than the capture times the arrivals come
  };
  Timing timing_;
  // The fragments have grown. (PulseAudio sizes a monitor's fragments by the output's latency:
  // while a player of lower latency plays, they stay small all the same.)
  bool steady_ = false;
  pa_usec_t steadyFragmentUsec_ = kSteadyFragmentUsec;
  size_t quickFrames_ = 0;  // received in small fragments
  bool draining_ = false;   // a stop waits for the audio before it
  pa_time_event* heartbeat_ = nullptr;
  OperationPtr ping_;           // the server's answer still awaited
  Clock::time_point pingSent_;  // when the frame after the last chunk was captured
  std::deque<Switch> switches_;
  struct WakeSink {
    uint32_t index;
    uint32_t monitor;
    bool nowhere;  // a null output: what plays into it is heard only through its monitor
    bool playing = false;
    bool listened = false;  // someone else records its monitor
  };
  std::optional<WakeSink> wakeSink_;
};

// The capture of what the machine plays: a MonitorCapture of the default output, followed across
// changes by an OutputWatch on a connection of its own. A change opens a capture of the new output
// beside the running one; the switch is made at the new one's first audio: what the old one
// captured before that moment is still delivered, the new one's audio waits until then (at most
// kSwitchWait), and nothing is delivered twice. The output sees one stream.
//
// Threads: control operations (start, stop, following the watch, failures) run one at a time on
// control_; audio comes on the captures' mainloop threads and meets under switchMutex_.
class PulseStream : public SCStream, public std::enable_shared_from_this<PulseStream> {
 public:
  PulseStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
              std::weak_ptr<SCStreamDelegate> delegate)
      : display_(filter.display()),
        sampleRate_(configuration.sampleRate()),
        channelCount_(configuration.channelCount()),
        delegate_(std::move(delegate)),
        control_(asio::make_strand(DispatchQueue::global().executor())) {}

  ~PulseStream() override {
    stopWatching();
    // Their handlers use the members below.
    captures_.clear();
  }

  bool addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                       DispatchQueue* sampleHandlerQueue, Error* error) override {
    auto refuse = [&](const std::string& message) {
      if (error != nullptr) *error = makeError(PA_ERR_INVALID, message);
      return false;
    };
    if (type != SCStreamOutputType::audio) return refuse("Only audio output is supported");
    if (sampleHandlerQueue == nullptr || output.expired()) return refuse("No output or queue given");
    std::lock_guard guard(outputMutex_);
    if (output_) return refuse("An audio output is already registered");
    output_.emplace(Output{std::move(output), asio::make_strand(sampleHandlerQueue->executor())});
    return true;
  }

  // A pause or resume takes effect at the moment of the call, not when its turn comes.
  void startCapture(Completion completion) override {
    asio::post(control_, [self = shared_from_this(), completion = std::move(completion),
                          at = MonitorCapture::Clock::now()]() mutable {
      finish(std::move(completion), self->start(at));
    });
  }

  // The completion comes after the audio captured before the call has reached the output.
  void stopCapture(Completion completion) override {
    asio::post(control_, [self = shared_from_this(), completion = std::move(completion),
                          at = MonitorCapture::Clock::now()]() mutable {
      auto error = self->stop(at);
      self->afterAudio([completion = std::move(completion), error = std::move(error)]() {
        if (completion) completion(error);
      });
    });
  }

 private:
  using CaptureClock = MonitorCapture::Clock;
  using CaptureId = uint64_t;
  struct Output {
    std::weak_ptr<SCStreamOutput> receiver;
    asio::strand<DispatchQueue::Executor> strand;
  };
  struct Capture {
    std::unique_ptr<MonitorCapture> capture;
    pulse::WatchedOutput output;  // what it records
  };
  struct HeldAudio {
    std::vector<float> samples;
    CaptureClock::time_point captured;
  };
  // Which capture is delivered, and the switch to another one under way. Guarded by switchMutex_.
  struct Switching {
    CaptureId current = 0;
    std::optional<CaptureId> incoming;
    bool confirmed = false;  // the incoming capture was opened: it records the output it should
    bool replaying = false;  // pauses or resumes came while it opened: its audio waits for them
    std::optional<CaptureClock::time_point> at;  // when the incoming capture's first audio was captured
    CaptureClock::time_point heldSince;
    std::vector<HeldAudio> held;  // the incoming capture's audio, until the switch
    std::optional<CaptureClock::time_point> deliveredUntil;
    bool currentGone = false;  // the current capture failed: nothing to wait for
    bool paused = false;
    std::optional<CaptureClock::time_point> resumedAt;
  };

  // --- control_ ---

  std::optional<Error> start(CaptureClock::time_point at) {
    if (captures_.empty() && !ended_) {
      const CaptureId id = ++lastId_;
      auto capture = makeCapture(id, display_, true);
      setCurrent(id);
      if (auto error = capture->open()) return error;  // nothing captured: start afresh next time
      pulse::WatchedOutput output{display_->name, 0, display_->monitorSourceName, false, 0};
      captures_.emplace(id, Capture{std::move(capture), std::move(output)});
      watch();
      return std::nullopt;
    }
    paused_ = false;
    whileOpening(at, true);
    {
      std::lock_guard guard(switchMutex_);
      // A switch that waited out the pause is made at the resume. Made at the new output's first
      // audio instead, it would let through what the old output played in between: up to a
      // fragment of it when the old capture's audio comes first.
      if (switching_.paused && switching_.incoming && switching_.confirmed && !switching_.at) switchNow();
      switching_.paused = false;
      switching_.resumedAt = at;
    }
    if (auto* incoming = capture(incomingId())) incoming->resume(at);
    renewWatchIn(CaptureClock::duration::zero());  // a change while paused may not have been told
    auto* current = capture(currentId());
    if (current != nullptr && current->resume(at)) return std::nullopt;
    return ended();
  }

  std::optional<Error> stop(CaptureClock::time_point at) {
    if (captures_.empty() && !ended_) return std::nullopt;
    const bool wasPaused = std::exchange(paused_, true);
    whileOpening(at, false);
    {
      std::lock_guard guard(switchMutex_);
      switching_.paused = true;
    }
    if (auto* incoming = capture(incomingId())) incoming->pause(at);
    auto* current = capture(currentId());
    if (current != nullptr && current->pause(at)) {
      if (!wasPaused) current->drain(at);  // else the pause did
      return std::nullopt;
    }
    return ended();
  }

  // Calls a completion on the global queue, never on the mainloop thread.
  static void finish(Completion completion, std::optional<Error> error) {
    if (!completion) return;
    DispatchQueue::global().async(
        [completion = std::move(completion), error = std::move(error)]() { completion(error); });
  }

  // Runs work once the audio delivered so far has reached the output: what is gathered goes out,
  // and work follows it through the output's strand (on the global queue without an output).
  void afterAudio(std::function<void()> work) {
    std::lock_guard guard(outputMutex_);
    if (!output_) return DispatchQueue::global().async(std::move(work));
    postBatch();
    asio::post(output_->strand, std::move(work));
  }

  // A pause or resume while a capture opens is applied to it once open, and what it captured
  // meanwhile is not kept.
  void whileOpening(CaptureClock::time_point at, bool delivering) {
    if (!opening_) return;
    changesWhileOpening_.emplace_back(at, delivering);
    std::lock_guard guard(switchMutex_);
    switching_.replaying = true;
    switching_.held.clear();
    switching_.at.reset();
  }

  // What a watch says the machine plays through now. A watch's first report is a fresh look: its
  // count of changes starts anew. Reports of a watch that a newer one replaced are not followed.
  void follow(const std::optional<pulse::WatchedOutput>& output, bool pipewire, uint64_t generation,
              bool first) {
    if (ended_ || generation < followedGeneration_) return;
    followedGeneration_ = generation;
    pipewire_ = pipewire;
    renewWatchIn(nextRenewal());
    if (!output) {
      fail(makeError(PA_ERR_NOENTITY, "No output is left to record"));
      return;
    }
    // Compared with the latest capture: being opened, switched to, or the current one.
    pulse::WatchedOutput* target = opening_ ? &*opening_ : nullptr;
    if (target == nullptr) {
      const auto found = captures_.find(incomingId().value_or(currentId()));
      if (found == captures_.end()) return;
      target = &found->second.output;
    }
    const bool same =
        output->sinkName == target->sinkName && output->monitorSourceName == target->monitorSourceName;
    // PipeWire leaves a record stream silent once its output was suspended, even for a moment,
    // and tells it nothing: after any change of the output, a fresh capture takes over.
    const bool renew = same && pipewire && !first && output->changes != target->changes && !output->suspended;
    target->changes = output->changes;
    if (!same) renewWatchIn(kWatchRecheck);  // the change may have been one of several
    if (output->sinkName != retriedSink_) {
      retriedSink_ = output->sinkName;
      failedOpens_ = 0;
    }
    if (same && !renew && !(currentLost() && !opening_)) return;
    openIncoming(*output);
  }

  // The current capture's output went away and no other capture is on its way to replace it.
  bool currentLost() const {
    std::lock_guard guard(switchMutex_);
    return switching_.currentGone && !switching_.incoming;
  }

  // Opening waits for the server: on a thread of its own, so that pauses, resumes and stops on
  // control_ never wait for it. The capture comes back to opened().
  void openIncoming(const pulse::WatchedOutput& output) {
    dropIncoming();  // a later change supersedes a switch not yet made
    const CaptureId id = ++lastId_;
    opening_ = output;
    openingId_ = id;
    changesWhileOpening_.clear();
    auto display = std::make_shared<SCDisplay>(SCDisplay{output.sinkName, "", output.monitorSourceName});
    {
      // Its audio is kept from the first on, and delivered once it is confirmed.
      std::lock_guard guard(switchMutex_);
      switching_.incoming = id;
      switching_.confirmed = false;
    }
    std::thread([self = shared_from_this(), id,
                 capture = makeCapture(id, std::move(display), !paused_)]() mutable {
      auto error = capture->open();
      asio::post(self->control_,
                 [self, id, capture = std::move(capture), error = std::move(error)]() mutable {
                   self->opened(id, std::move(capture), error);
                 });
    }).detach();
  }

  void opened(CaptureId id, std::unique_ptr<MonitorCapture> capture, const std::optional<Error>& error) {
    if (ended_ || id != openingId_) return;  // superseded: the capture closes here
    const auto output = *std::exchange(opening_, std::nullopt);
    openingId_ = 0;
    if (error) {
      dropIncoming();
      // The output went as soon as it came. With nothing else to record, the stream has failed;
      // otherwise the watch tells what follows.
      if (currentLost()) {
        fail(lostError_.value_or(makeError(PA_ERR_NOENTITY, "The captured output is gone")));
        return;
      }
      // A busy server may refuse for a moment; the watch tells of a change only once.
      if (++failedOpens_ <= kOpenRetries) refreshWatchLater();
      return;
    }
    for (const auto& [at, delivering] : std::exchange(changesWhileOpening_, {})) {
      if (delivering) {
        capture->resume(at);
      } else {
        capture->pause(at);
      }
    }
    captures_.emplace(id, Capture{std::move(capture), output});
    std::lock_guard guard(switchMutex_);
    switching_.confirmed = true;
    switching_.replaying = false;
    if (switching_.currentGone && !switching_.held.empty()) switchNow();
  }

  void refreshWatchLater() {
    auto timer = std::make_shared<asio::steady_timer>(control_, kOpenRetryDelay);
    timer->async_wait([weakSelf = weak_from_this(), timer](const std::error_code& error) {
      auto self = weakSelf.lock();
      if (!self || error || self->ended_ || self->opening_ || self->incomingId()) return;
      self->refreshWatch();
    });
  }

  // Makes the watch tell the output to record again, changed or not.
  void refreshWatch() {
    if (!watch_) return;
    PulseConnection::Lock lock(*watchConnection_);
    watch_->refresh();
  }

  void dropIncoming() {
    std::optional<CaptureId> id;
    {
      std::lock_guard guard(switchMutex_);
      id = switching_.incoming;
      switching_.incoming.reset();
      switching_.confirmed = false;
      switching_.replaying = false;
      switching_.at.reset();
      switching_.held.clear();
    }
    if (id) captures_.erase(*id);
    opening_.reset();
    openingId_ = 0;
  }

  void captureFailed(CaptureId id, const Error& error) {
    if (ended_) return;
    if (id == incomingId()) {
      // Ended before the switch was made (killed, or failed on the way): the watch tells of a
      // change only once, so it is asked again, as after a refused open.
      dropIncoming();
      if (++failedOpens_ <= kOpenRetries) refreshWatchLater();
      return;
    }
    if (id != currentId()) return;  // retired already
    const bool outputGone = error.code() == PA_ERR_KILLED || error.code() == PA_ERR_NOENTITY;
    if (!outputGone) {
      fail(error);
      return;
    }
    // The recorded output went away: the watch says what takes its place, if anything. A watch
    // still connecting (the output went in the first moments) does so once it is up.
    if (incomingId() || opening_) return;
    lostError_ = error;
    refreshWatch();
  }

  void fail(const Error& error) {
    ended_ = true;
    {
      std::lock_guard guard(outputMutex_);
      failure_ = error;
    }
    captures_.clear();
    std::weak_ptr<PulseStream> weakSelf = weak_from_this();
    auto report = [weakSelf, delegate = delegate_, error]() {
      auto self = weakSelf.lock();
      auto receiver = delegate.lock();
      if (self && receiver) receiver->stream(*self, error);
    };
    afterAudio(std::move(report));  // the audio captured before the failure is kept
  }

  std::optional<Error> ended() const {
    std::lock_guard guard(outputMutex_);
    return failure_ ? *failure_ : makeError(PA_ERR_BADSTATE, "The capture has ended");
  }

  // Without a watch the capture goes on, on the output it has. Connecting waits for the server:
  // on a thread of its own; the watch comes back to watching(). A renewal replaces the running
  // watch once the new one is up, and keeps it if the new one cannot start.
  void watch() {
    const uint64_t generation = ++watchGeneration_;
    // Weakly held: a stream released while its watch connects goes at once, not when the server
    // answers.
    std::thread([weakSelf = weak_from_this(), control = control_, generation]() {
      Error error(pulse::kErrorDomain, PA_OK, "");
      auto connection = PulseConnection::connect(true, kServerTimeout, &error);
      std::unique_ptr<pulse::OutputWatch> watch;
      if (connection) {
        PulseConnection::Lock lock(*connection);
        watch = pulse::OutputWatch::start(
            *connection,
            [weakSelf, control, generation, first = true](const pulse::OutputWatch& watch) mutable {
              const bool pipewire = watch.serverName().find("PipeWire") != std::string::npos;
              asio::post(control, [weakSelf, output = watch.current(), pipewire, generation, first]() {
                if (auto self = weakSelf.lock()) self->follow(output, pipewire, generation, first);
              });
              first = false;
            },
            &error);
      }
      asio::post(control, [weakSelf, connection = std::move(connection), watch = std::move(watch)]() mutable {
        if (auto self = weakSelf.lock()) {
          self->watching(std::move(connection), std::move(watch));
        } else {
          discard(std::move(connection), std::move(watch));
        }
      });
    }).detach();
  }

  static void discard(std::unique_ptr<PulseConnection> connection,
                      std::unique_ptr<pulse::OutputWatch> watch) {
    if (!connection) return;
    PulseConnection::Lock lock(*connection);
    watch.reset();
  }

  void watching(std::unique_ptr<PulseConnection> connection, std::unique_ptr<pulse::OutputWatch> watch) {
    const bool renewal = watch_ != nullptr;  // else the first watch
    const bool lost = !ended_ && lostError_ && currentLost();
    if (!ended_ && watch) {
      stopWatching();
      watchConnection_ = std::move(connection);
      watch_ = std::move(watch);
      // The loss asked a watch still connecting, or the old one while this one connected.
      if (lost) refreshWatch();
    } else {
      discard(std::move(connection), std::move(watch));
      // Without a first watch nothing can tell what takes the lost output's place; a renewal
      // that failed leaves the running watch.
      if (lost && !renewal) fail(*lostError_);
    }
    if (renewal) {
      renewingWatch_ = false;
      ++renewals_;
      renewWatchIn(std::exchange(renewAgain_, false) ? CaptureClock::duration::zero() : nextRenewal());
    }
  }

  // When the watch is started afresh if nothing asks for it sooner.
  CaptureClock::duration nextRenewal() const {
    return renewals_ < kEarlyRenewals.size() ? CaptureClock::duration(kEarlyRenewals[renewals_])
                                             : kWatchRenewal;
  }

  // On PipeWire: the watch is started afresh after `delay`, or sooner if asked for sooner.
  void renewWatchIn(CaptureClock::duration delay) {
    if (!pipewire_ || ended_) return;
    const auto at = CaptureClock::now() + delay;
    if (renewalArmed_ && renewalTimer_.expiry() <= at) return;
    renewalArmed_ = true;
    renewalTimer_.expires_at(at);
    renewalTimer_.async_wait([weakSelf = weak_from_this()](const std::error_code& error) {
      auto self = weakSelf.lock();
      if (!self || error) return;  // re-armed, or the stream is gone
      self->renewalArmed_ = false;
      self->renewWatch();
    });
  }

  void renewWatch() {
    if (ended_ || !watch_) return;
    if (renewingWatch_) {
      renewAgain_ = true;
      return;
    }
    renewingWatch_ = true;
    watch();
  }

  void stopWatching() {
    if (!watchConnection_) return;
    {
      PulseConnection::Lock lock(*watchConnection_);
      watch_.reset();
    }
    watchConnection_.reset();
  }

  std::unique_ptr<MonitorCapture> makeCapture(CaptureId id, SCDisplayRef display, bool delivering) {
    return std::make_unique<MonitorCapture>(
        std::move(display), sampleRate_, channelCount_,
        [this, id](const float* samples, size_t frames, CaptureClock::time_point captured) {
          received(id, samples, frames, captured);
        },
        [this, id](const Error& error) { lost(id, error); }, [this]() { serverChanged(); }, delivering);
  }

  MonitorCapture* capture(std::optional<CaptureId> id) {
    const auto found = id ? captures_.find(*id) : captures_.end();
    return found != captures_.end() ? found->second.capture.get() : nullptr;
  }

  CaptureId currentId() const {
    std::lock_guard guard(switchMutex_);
    return switching_.current;
  }

  std::optional<CaptureId> incomingId() const {
    std::lock_guard guard(switchMutex_);
    return switching_.incoming;
  }

  void setCurrent(CaptureId id) {
    std::lock_guard guard(switchMutex_);
    switching_.current = id;
  }

  // --- the captures' mainloop threads ---

  void received(CaptureId id, const float* samples, size_t frames, CaptureClock::time_point captured) {
    std::lock_guard guard(switchMutex_);
    auto& state = switching_;
    if (id == state.current) {
      // During a switch, only what was captured before its moment.
      size_t keep = frames;
      if (state.at && state.confirmed) keep = std::min(frames, framesBetween(captured, *state.at));
      if (keep > 0) deliverCurrent(samples, keep, captured);
      if (keep < frames) switchNow();
      return;
    }
    if (!state.incoming || id != *state.incoming || state.replaying) return;  // not wanted (yet)
    if (!state.at) {
      state.at = captured;
      state.heldSince = CaptureClock::now();
    }
    const auto count = frames * static_cast<size_t>(channelCount_);
    state.held.push_back(HeldAudio{std::vector<float>(samples, samples + count), captured});
    if (state.confirmed && (state.currentGone || CaptureClock::now() - state.heldSince >= kSwitchWait))
      switchNow();
  }

  // A capture's mainloop thread: the default output may have changed without the watch hearing of
  // it; a fresh watch looks once the change has settled.
  void serverChanged() {
    asio::post(control_, [weakSelf = weak_from_this()]() {
      if (auto self = weakSelf.lock()) self->renewWatchIn(kWatchRecheck);
    });
  }

  // The current capture failed: a switch under way is made at once; the rest on control_.
  void lost(CaptureId id, const Error& error) {
    {
      std::lock_guard guard(switchMutex_);
      if (id == switching_.current) {
        switching_.currentGone = true;
        if (switching_.at && switching_.confirmed) switchNow();
      }
    }
    asio::post(control_, [weakSelf = weak_from_this(), id, error]() {
      if (auto self = weakSelf.lock()) self->captureFailed(id, error);
    });
  }

  // With switchMutex_ held: the incoming capture becomes the current one; its audio from where the
  // old one's ended is delivered.
  void switchNow() {
    auto& state = switching_;
    const CaptureId retired = state.current;
    if (state.currentGone && !state.paused) fillGap();
    state.current = *state.incoming;
    state.incoming.reset();
    state.at.reset();
    state.currentGone = false;
    for (auto& audio : std::exchange(state.held, {})) {
      const size_t frames = audio.samples.size() / static_cast<size_t>(channelCount_);
      size_t skip = 0;
      if (state.deliveredUntil) skip = std::min(frames, framesBetween(audio.captured, *state.deliveredUntil));
      if (skip == frames) continue;
      deliverCurrent(audio.samples.data() + skip * static_cast<size_t>(channelCount_), frames - skip,
                     audio.captured + frameLength(skip));
    }
    // The old capture is closed on control_.
    asio::post(control_, [weakSelf = weak_from_this(), retired]() {
      if (auto self = weakSelf.lock()) {
        self->captures_.erase(retired);
        self->failedOpens_ = 0;
      }
    });
  }

  // With switchMutex_ held: the time between the last audio of an output that went away and the
  // first of its successor, when nothing could be captured, is kept in the file as silence, so that
  // the file's length stays the time recorded (the paused time excepted).
  void fillGap() {
    auto& state = switching_;
    if (!state.deliveredUntil || state.held.empty()) return;
    auto from = *state.deliveredUntil;
    if (state.resumedAt) from = std::max(from, *state.resumedAt);
    const size_t frames = framesBetween(from, state.held.front().captured);
    if (frames == 0 || frameLength(frames) > kMaxGap) return;
    const std::vector<float> silence(frames * static_cast<size_t>(channelCount_), 0.0f);
    deliverCurrent(silence.data(), frames, from);
  }

  CaptureClock::duration frameLength(size_t frames) const { return durationOf(frames, sampleRate_); }

  // Whole frames captured from `from` to before `to`; none when `to` is not later.
  size_t framesBetween(CaptureClock::time_point from, CaptureClock::time_point to) const {
    if (to <= from) return 0;
    return static_cast<size_t>(std::ceil(std::chrono::duration<double>(to - from).count() * sampleRate_));
  }

  // With switchMutex_ held.
  void deliverCurrent(const float* samples, size_t frames, CaptureClock::time_point captured) {
    switching_.deliveredUntil = captured + frameLength(frames);
    deliver(samples, frames, captured);
  }

  // Delivered runs of frames are gathered into one sample buffer while they follow each other,
  // up to kBatch.
  void deliver(const float* samples, size_t frames, CaptureClock::time_point captured) {
    std::lock_guard guard(outputMutex_);
    if (!output_) return;
    const auto end = batch_.captured + frameLength(batch_.frames);
    if (batch_.frames > 0 && std::chrono::abs(captured - end) > kBatchSeam) postBatch();
    if (batch_.frames == 0) batch_.captured = captured;
    const size_t count = frames * static_cast<size_t>(channelCount_);
    const size_t first = batch_.samples.size();
    batch_.samples.insert(batch_.samples.end(), samples, samples + count);
    batch_.frames += frames;
    // A faulty player can put NaN or infinity on the output; the recording keeps them as silence.
    std::replace_if(
        batch_.samples.begin() + static_cast<std::ptrdiff_t>(first), batch_.samples.end(),
        [](float sample) { return !std::isfinite(sample); }, 0.0f);
    deliveredFrames_ += frames;
    // The first buffers go at once: the recorder's start watchdog waits for them.
    if (frameLength(deliveredFrames_) <= kQuickPeriod || frameLength(batch_.frames) >= kBatch) postBatch();
  }

  // With outputMutex_ held and an output: the gathered frames go to it as one sample buffer.
  void postBatch() {
    if (batch_.frames == 0) return;
    const auto pts = std::chrono::duration_cast<std::chrono::nanoseconds>(batch_.captured.time_since_epoch());
    auto sampleBuffer =
        makeAudioSampleBuffer(batch_.samples.data(), batch_.frames, static_cast<double>(sampleRate_),
                              static_cast<uint32_t>(channelCount_), CMTimeMake(pts.count(), 1'000'000'000));
    batch_.samples.clear();
    batch_.frames = 0;
    if (!sampleBuffer) return;
    std::weak_ptr<PulseStream> weakSelf = weak_from_this();
    asio::post(output_->strand,
               [weakSelf, receiver = output_->receiver, sampleBuffer = std::move(sampleBuffer)]() {
                 auto self = weakSelf.lock();
                 auto output = receiver.lock();
                 if (self && output) output->stream(*self, sampleBuffer, SCStreamOutputType::audio);
               });
  }

  const SCDisplayRef display_;
  const int64_t sampleRate_;
  const int64_t channelCount_;
  const std::weak_ptr<SCStreamDelegate> delegate_;
  asio::strand<DispatchQueue::Executor> control_;
  asio::steady_timer renewalTimer_{control_};  // on control_

  mutable std::mutex outputMutex_;
  std::optional<Output> output_;  // guarded by outputMutex_
  struct Batch {
    std::vector<float> samples;  // keeps its capacity
    size_t frames = 0;
    CaptureClock::time_point captured;  // of its first frame
  };
  Batch batch_;                   // guarded by outputMutex_
  size_t deliveredFrames_ = 0;    // guarded by outputMutex_
  std::optional<Error> failure_;  // guarded by outputMutex_

  mutable std::mutex switchMutex_;
  Switching switching_;  // guarded by switchMutex_

  // On control_ only.
  bool paused_ = false;
  bool ended_ = false;
  std::vector<std::pair<CaptureClock::time_point, bool>> changesWhileOpening_;  // (at, delivering)
  std::optional<pulse::WatchedOutput> opening_;  // the output a capture is being opened for
  CaptureId openingId_ = 0;
  CaptureId lastId_ = 0;
  std::optional<Error> lostError_;
  // Captures of the followed output that failed since it was last switched to.
  int failedOpens_ = 0;
  std::string retriedSink_;
  std::unique_ptr<PulseConnection> watchConnection_;
  std::unique_ptr<pulse::OutputWatch> watch_;
  uint64_t watchGeneration_ = 0;     // of the last watch started
  uint64_t followedGeneration_ = 0;  // of the newest watch that reported
  bool pipewire_ = false;
  bool renewingWatch_ = false;
  bool renewAgain_ = false;                // asked for while a renewal was connecting
  bool renewalArmed_ = false;              // renewalTimer_ waits
  size_t renewals_ = 0;                    // looks afresh made
  std::map<CaptureId, Capture> captures_;  // last: their handlers use the members above
};

class PulseScreenCaptureService : public ScreenCaptureService {
 public:
  void getShareableContent(bool, bool, ContentCompletion completion) override {
    std::thread([completion = std::move(completion)]() { queryContent(completion); }).detach();
  }

  SCStreamRef makeStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
                         std::weak_ptr<SCStreamDelegate> delegate) override {
    return std::make_shared<PulseStream>(filter, configuration, std::move(delegate));
  }
};

}  // namespace

ScreenCaptureService& ScreenCaptureService::system() {
  // Never destroyed: the process may end from any thread while a query runs.
  static auto* service = new PulseScreenCaptureService();
  return *service;
}

}  // namespace platform
