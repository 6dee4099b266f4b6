// The capture service: what can be captured (outputs of the sound server, called displays),
// and capture streams that deliver the audio an output plays.
//
// Thread contract: every operation may be called from any thread. Completions run on a thread
// of the service (never inside the call that started them). Sample buffers reach the output on
// the queue given at registration, one delivery at a time, in the order read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core_media.h"
#include "platform/dispatch.h"
#include "platform/error.h"

namespace platform {

// One output of the sound server. Its audio is the output's monitor source.
struct SCDisplay {
  std::string name;               // the sink name
  std::string description;        // human-readable
  std::string monitorSourceName;  // as the sink info names it
};
using SCDisplayRef = std::shared_ptr<const SCDisplay>;

class SCShareableContent {
 public:
  explicit SCShareableContent(std::vector<SCDisplayRef> displays) : displays_(std::move(displays)) {}
  // The server's default output first, the others in the server's order. Possibly empty.
  const std::vector<SCDisplayRef>& displays() const { return displays_; }

 private:
  std::vector<SCDisplayRef> displays_;
};
using SCShareableContentRef = std::shared_ptr<const SCShareableContent>;

class SCContentFilter {
 public:
  SCContentFilter(SCDisplayRef display, std::vector<std::string> excludingApplications,
                  std::vector<std::string> exceptingWindows)
      : display_(std::move(display)),
        excludingApplications_(std::move(excludingApplications)),
        exceptingWindows_(std::move(exceptingWindows)) {}
  const SCDisplayRef& display() const { return display_; }
  const std::vector<std::string>& excludingApplications() const { return excludingApplications_; }
  const std::vector<std::string>& exceptingWindows() const { return exceptingWindows_; }

 private:
  SCDisplayRef display_;
  std::vector<std::string> excludingApplications_;
  std::vector<std::string> exceptingWindows_;
};

class SCStreamConfiguration {
 public:
  void setWidth(std::size_t width) { width_ = width; }
  void setHeight(std::size_t height) { height_ = height; }
  void setMinimumFrameInterval(CMTime interval) { minimumFrameInterval_ = interval; }
  void setShowsCursor(bool shows) { showsCursor_ = shows; }
  void setCapturesAudio(bool captures) { capturesAudio_ = captures; }
  void setSampleRate(std::int64_t rate) { sampleRate_ = rate; }
  void setChannelCount(std::int64_t count) { channelCount_ = count; }

  std::size_t width() const { return width_; }
  std::size_t height() const { return height_; }
  CMTime minimumFrameInterval() const { return minimumFrameInterval_; }
  bool showsCursor() const { return showsCursor_; }
  bool capturesAudio() const { return capturesAudio_; }
  std::int64_t sampleRate() const { return sampleRate_; }
  std::int64_t channelCount() const { return channelCount_; }

 private:
  std::size_t width_ = 1920;
  std::size_t height_ = 1080;
  CMTime minimumFrameInterval_ = kCMTimeInvalid;
  bool showsCursor_ = true;
  bool capturesAudio_ = false;
  std::int64_t sampleRate_ = 48000;
  std::int64_t channelCount_ = 2;
};

enum class SCStreamOutputType : std::int64_t { screen = 0, audio = 1 };

class SCStream;

class SCStreamOutput {
 public:
  virtual ~SCStreamOutput() = default;
  // stream:didOutputSampleBuffer:ofType:
  virtual void stream(SCStream& stream, const CMSampleBufferRef& sampleBuffer, SCStreamOutputType type) = 0;
};

class SCStreamDelegate {
 public:
  virtual ~SCStreamDelegate() = default;
  // stream:didStopWithError:. Called at most once per stream, when the service stops it.
  virtual void stream(SCStream& stream, const Error& error) = 0;
};

class SCStream {
 public:
  virtual ~SCStream() = default;
  // Registers the output for type, delivered on queue. False with an error when refused (for
  // instance a second registration). The stream holds the output weakly.
  virtual bool addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType type,
                               DispatchQueue* sampleHandlerQueue, Error* error) = 0;
  // Starts capturing, or starts again after a stop. The completion runs once: no error means
  // capturing.
  virtual void startCapture(Completion completionHandler) = 0;
  // Stops capturing; a later startCapture resumes with the same configuration and output. The
  // completion, if given, runs once.
  virtual void stopCapture(Completion completionHandler = nullptr) = 0;
};
using SCStreamRef = std::shared_ptr<SCStream>;

// The service's entry points. The program uses the system's; tests substitute their own.
class ScreenCaptureService {
 public:
  virtual ~ScreenCaptureService() = default;

  using ContentCompletion = std::function<void(SCShareableContentRef, std::optional<Error>)>;
  // Calls completion exactly once, on another thread, with content or none and an error or none.
  virtual void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completionHandler) = 0;
  // A stream that is not yet started. The stream holds the delegate weakly.
  virtual SCStreamRef makeStream(const SCContentFilter& filter, const SCStreamConfiguration& configuration,
                                 std::weak_ptr<SCStreamDelegate> delegate) = 0;

  // The sound server found the usual way (PULSE_SERVER, the user's runtime socket).
  static ScreenCaptureService& system();
};

}  // namespace platform
