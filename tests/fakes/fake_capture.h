// A scriptable capture service for the recorder's tests: it records what was asked of it and
// has switches for the failures a real sound server cannot produce on demand.
//
// Completions run on the global queue, as a real service runs them off the caller's thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/screen_capture.h"

namespace fakes {

class FakeStream : public platform::SCStream {
 public:
  FakeStream(platform::SCContentFilter filter, platform::SCStreamConfiguration configuration,
             std::weak_ptr<platform::SCStreamDelegate> delegate);

  // Switches, set before the recorder uses the stream.
  std::optional<platform::Error> refuseOutput;
  // The outcome of each start request in turn; success once they run out.
  std::deque<std::optional<platform::Error>> startOutcomes;
  // Runs on each start request, before it is answered.
  std::function<void()> onStartRequest;

  bool addStreamOutput(std::weak_ptr<platform::SCStreamOutput> output, platform::SCStreamOutputType type,
                       platform::DispatchQueue* sampleHandlerQueue, platform::Error* error) override;
  void startCapture(platform::Completion completionHandler) override;
  void stopCapture(platform::Completion completionHandler = nullptr) override;

  // Hands buffer to the registered output on the calling thread, as the queue would.
  void deliver(const platform::CMSampleBufferRef& buffer);
  // The service stops the stream with error.
  void failWith(const platform::Error& error);

  int outputRegistrations() const { return outputRegistrations_.load(); }
  int startRequests() const { return startRequests_.load(); }
  int stopRequests() const { return stopRequests_.load(); }
  // Waits until the number of successful starts reaches count.
  bool waitForStarts(int count, std::chrono::milliseconds limit = std::chrono::seconds(5));

  const platform::SCContentFilter filter;
  const platform::SCStreamConfiguration configuration;

 private:
  std::weak_ptr<platform::SCStreamDelegate> delegate_;
  std::weak_ptr<platform::SCStreamOutput> output_;
  std::atomic<int> outputRegistrations_{0}, startRequests_{0}, stopRequests_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  int successfulStarts_ = 0;  // guarded by mutex_
};

class FakeCaptureService : public platform::ScreenCaptureService {
 public:
  // The displays the query gives; none makes the query fail.
  std::optional<std::vector<platform::SCDisplayRef>> displays;
  // Runs on the service's thread before the query's answer is given.
  std::function<void()> beforeContent;
  // Applied to the stream when it is made.
  std::function<void(FakeStream&)> prepareStream;

  void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completionHandler) override;
  platform::SCStreamRef makeStream(const platform::SCContentFilter& filter,
                                   const platform::SCStreamConfiguration& configuration,
                                   std::weak_ptr<platform::SCStreamDelegate> delegate) override;

  // The stream the recorder made, once it has made one.
  std::shared_ptr<FakeStream> waitForStream(std::chrono::milliseconds limit = std::chrono::seconds(5));

  static std::vector<platform::SCDisplayRef> makeDisplays(int count);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<FakeStream> stream_;  // guarded by mutex_
};

// A float, one-buffer-per-channel sample buffer whose every sample is value.
platform::CMSampleBufferRef makeSampleBuffer(std::uint32_t frames, double sampleRate = 48000,
                                             std::uint32_t channels = 2, float value = 0.25f);

}  // namespace fakes
