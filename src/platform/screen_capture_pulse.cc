// The capture service on libpulse: the outputs (sinks) are the displays, and a stream records the
// chosen output's monitor source.
#include <algorithm>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

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

struct StreamDeleter {
  void operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
  }
};

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
    if (connection_) {
      PulseConnection::Lock lock(*connection_);
      connection_->onFailure(nullptr);
      stream_.reset();
      // Requests the server will never answer now still get their one call.
      for (auto& completion : corkCompletions_) {
        finish(std::move(completion), makeError(PA_ERR_CONNECTIONTERMINATED, "The capture stream is gone"));
      }
    }
    connection_.reset();
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

  void startCapture(Completion completion) override {
    asio::post(control_, [self = shared_from_this(), completion = std::move(completion)]() mutable {
      self->start(std::move(completion));
    });
  }

  void stopCapture(Completion completion) override {
    asio::post(control_, [self = shared_from_this(), completion = std::move(completion)]() mutable {
      self->stop(std::move(completion));
    });
  }

 private:
  struct Output {
    std::weak_ptr<SCStreamOutput> receiver;
    asio::strand<DispatchQueue::Executor> strand;
  };

  // Control operations run one at a time on control_.
  void start(Completion completion) {
    if (!connection_) {
      connectStream(std::move(completion));
      return;
    }
    setCorked(false, std::move(completion));
  }

  void stop(Completion completion) {
    if (!connection_) {
      finish(std::move(completion), std::nullopt);
      return;
    }
    setCorked(true, std::move(completion));
  }

  // Calls a completion on the global queue, never on the mainloop thread.
  static void finish(Completion completion, std::optional<Error> error) {
    if (!completion) return;
    DispatchQueue::global().async(
        [completion = std::move(completion), error = std::move(error)]() { completion(error); });
  }

  void connectStream(Completion completion) {
    if (!display_ || display_->monitorSourceName.empty()) {
      finish(std::move(completion), makeError(PA_ERR_INVALID, "The filter names no output"));
      return;
    }
    if (sampleRate_ <= 0 || sampleRate_ > PA_RATE_MAX || channelCount_ <= 0 ||
        channelCount_ > PA_CHANNELS_MAX) {
      finish(std::move(completion), makeError(PA_ERR_INVALID, "Unsupported sample rate or channel count"));
      return;
    }
    Error connectError(pulse::kErrorDomain, PA_OK, "");
    connection_ = PulseConnection::connect(true, kServerTimeout, &connectError);
    if (!connection_) {
      finish(std::move(completion), connectError);
      return;
    }
    std::optional<Error> error;
    {
      PulseConnection::Lock lock(*connection_);
      error = openStream();
      if (error) {
        stream_.reset();
      } else {
        connection_->onFailure([this](const Error& failure) { reportFailure(failure); });
      }
    }
    // Not confirmed: start afresh next time. The mainloop thread is stopped without the lock.
    if (error) connection_.reset();
    finish(std::move(completion), std::move(error));
  }

  // With the lock held: connects the record stream and waits until the server confirmed it.
  std::optional<Error> openStream() {
    const auto deadline = Clock::now() + kServerTimeout;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(sampleRate_),
                        static_cast<uint8_t>(channelCount_)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_.reset(pa_stream_new(connection_->context(), "system audio", &spec, &map));
    if (!stream_) return connection_->lastError("Cannot create the record stream");
    frameBytes_ = pa_frame_size(&spec);
    pa_stream_set_state_callback(stream_.get(), &PulseStream::streamStateChanged, this);
    pa_stream_set_read_callback(stream_.get(), &PulseStream::readable, this);

    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
    // DONT_MOVE: a vanished output must end the capture, not turn into another source's recording.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                                      PA_STREAM_START_UNMUTED);
    if (pa_stream_connect_record(stream_.get(), display_->monitorSourceName.c_str(), &attributes, flags) <
        0) {
      return connection_->lastError("Cannot record the output");
    }
    auto state = [&] { return pa_stream_get_state(stream_.get()); };
    connection_->waitUntil([&] { return state() != PA_STREAM_CREATING && state() != PA_STREAM_UNCONNECTED; },
                           deadline);
    if (state() != PA_STREAM_READY) {
      if (state() == PA_STREAM_CREATING && !connection_->failed()) {
        return makeError(PA_ERR_TIMEOUT, "The sound server did not start the recording");
      }
      return connection_->lastError("Cannot record the output");
    }
    const char* device = pa_stream_get_device_name(stream_.get());
    if (device == nullptr || display_->monitorSourceName != device) {
      return makeError(PA_ERR_NOENTITY, "The sound server recorded another source");
    }
    setFullVolume();
    wakeIdleOutput();
    return std::nullopt;
  }

  void setCorked(bool corked, Completion completion) {
    PulseConnection::Lock lock(*connection_);
    if (!stream_ || pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
      finish(std::move(completion),
             failure_ ? *failure_ : makeError(PA_ERR_BADSTATE, "The capture has ended"));
      return;
    }
    corked_ = corked;
    OperationPtr operation(pa_stream_cork(
        stream_.get(), corked ? 1 : 0,
        [](pa_stream*, int success, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          // The server answers requests in order.
          auto completion = std::move(self->corkCompletions_.front());
          self->corkCompletions_.pop_front();
          std::optional<Error> error;
          if (!success) error = self->connection_->lastError("The sound server refused the request");
          finish(std::move(completion), std::move(error));
        },
        this));
    if (!operation) {
      finish(std::move(completion), connection_->lastError("The sound server refused the request"));
      return;
    }
    corkCompletions_.push_back(std::move(completion));
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
  // An output that resumes from suspension starts a fresh timer at our latency, so an output
  // that nothing plays into is suspended and resumed at once (both requests go out together).
  // So is a playing output that is not a device (a null or virtual output): nobody hears it, and
  // its players keep their data across the suspension. A playing device is left alone:
  // suspending it would be heard. PipeWire delivers promptly on its own and is left alone too.
  void wakeIdleOutput() {
    OperationPtr(pa_context_get_server_info(
        connection_->context(),
        [](pa_context* context, const pa_server_info* info, void* userdata) {
          auto* self = static_cast<PulseStream*>(userdata);
          if (info == nullptr || info->server_name == nullptr ||
              std::strstr(info->server_name, "PipeWire") != nullptr || !self->stream_) {
            return;
          }
          OperationPtr(pa_context_get_sink_info_by_name(
              context, self->display_->name.c_str(),
              [](pa_context* context, const pa_sink_info* sink, int eol, void* userdata) {
                if (eol != 0 || sink == nullptr) return;
                auto* self = static_cast<PulseStream*>(userdata);
                if ((sink->flags & PA_SINK_HARDWARE) == 0) {
                  suspendAndResume(context, sink->index);  // nobody hears it, playing or not
                  return;
                }
                self->wakeSink_ = WakeSink{sink->index, false};
                OperationPtr(
                    pa_context_get_sink_input_info_list(context, &PulseStream::sinkInputListed, self));
              },
              self));
        },
        this));
  }

  static void sinkInputListed(pa_context* context, const pa_sink_input_info* input, int eol, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    if (!self->wakeSink_ || !self->stream_) return;
    auto& sink = *self->wakeSink_;
    if (eol == 0 && input != nullptr) {
      if (input->sink == sink.index && input->corked == 0) sink.playing = true;
      return;
    }
    if (eol < 0 || sink.playing) return;
    suspendAndResume(context, sink.index);
  }

  static void suspendAndResume(pa_context* context, uint32_t sinkIndex) {
    OperationPtr(pa_context_suspend_sink_by_index(context, sinkIndex, 1, nullptr, nullptr));
    OperationPtr(pa_context_suspend_sink_by_index(context, sinkIndex, 0, nullptr, nullptr));
  }

  // Mainloop thread.
  static void streamStateChanged(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    const auto state = pa_stream_get_state(stream);
    if (state == PA_STREAM_FAILED) {
      const int code = pa_context_errno(pa_stream_get_context(stream));
      if (code == PA_ERR_KILLED || code == PA_ERR_NOENTITY) {
        self->reportFailure(makeError(code, "The captured output is gone"));
      } else {
        self->reportFailure(self->connection_->lastError("The capture failed"));
      }
    }
    self->connection_->signal();
  }

  // Mainloop thread. The first failure reaches the delegate; later ones say nothing new.
  void reportFailure(const Error& error) {
    // libpulse drops the requests of a failed connection without answering them.
    for (auto& completion : corkCompletions_) finish(std::move(completion), error);
    corkCompletions_.clear();
    if (failure_ || !stream_ || pa_stream_get_state(stream_.get()) == PA_STREAM_CREATING) return;
    failure_ = error;
    std::weak_ptr<PulseStream> weakSelf = weak_from_this();
    DispatchQueue::global().async([weakSelf, delegate = delegate_, error]() {
      auto self = weakSelf.lock();
      auto receiver = delegate.lock();
      if (self && receiver) receiver->stream(*self, error);
    });
  }

  // Mainloop thread: each chunk the server hands over becomes one sample buffer.
  static void readable(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseStream*>(userdata);
    for (;;) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      // A hole (no data) must be dropped as well.
      if (data != nullptr && !self->corked_) self->deliver(static_cast<const std::byte*>(data), bytes);
      pa_stream_drop(stream);
    }
  }

  void deliver(const std::byte* data, size_t bytes) {
    const CMTime now = CMClockGetTime(CMClockGetHostTimeClock());
    // Chunks hold whole frames; keep a stray partial frame for the next chunk all the same.
    std::vector<float> frames;
    if (!partial_.empty() || bytes % frameBytes_ != 0 ||
        reinterpret_cast<uintptr_t>(data) % alignof(float) != 0) {
      partial_.insert(partial_.end(), data, data + bytes);
      const size_t whole = partial_.size() / frameBytes_ * frameBytes_;
      frames.resize(whole / sizeof(float));
      std::memcpy(frames.data(), partial_.data(), whole);
      partial_.erase(partial_.begin(), partial_.begin() + static_cast<std::ptrdiff_t>(whole));
      data = reinterpret_cast<const std::byte*>(frames.data());
      bytes = whole;
    }
    const size_t frameCount = bytes / frameBytes_;
    if (frameCount == 0) return;
    // The chunk's first frame was captured about its own length ago.
    const auto duration = static_cast<int64_t>(frameCount) * 1'000'000'000 / sampleRate_;
    const CMTime pts = CMTimeMake(now.value - duration, now.timescale);
    auto sampleBuffer =
        makeAudioSampleBuffer(reinterpret_cast<const float*>(data), frameCount,
                              static_cast<double>(sampleRate_), static_cast<uint32_t>(channelCount_), pts);
    if (!sampleBuffer) return;
    std::lock_guard guard(outputMutex_);
    if (!output_) return;
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

  std::mutex outputMutex_;
  std::optional<Output> output_;  // guarded by outputMutex_

  // Written on control_ before the mainloop sees them, then guarded by the mainloop lock.
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<pa_stream, StreamDeleter> stream_;
  size_t frameBytes_ = 0;
  bool corked_ = false;
  std::optional<Error> failure_;
  std::deque<Completion> corkCompletions_;
  std::vector<std::byte> partial_;
  struct WakeSink {
    uint32_t index;
    bool playing;
  };
  std::optional<WakeSink> wakeSink_;
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
