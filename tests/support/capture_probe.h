// Waiting on the capture service from tests: content queries, start/stop completions, and an
// output and a delegate that record what reached them.
//
// Thread contract: the recorders are filled by the service's threads and read by the test thread;
// every member function is safe from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/screen_capture.h"

namespace testsupport {

using namespace std::chrono_literals;

struct ContentAnswer {
  platform::SCShareableContentRef content;
  std::optional<platform::Error> error;
  int calls = 0;
  bool calledInsideTheCall = false;  // on the calling thread, that is, before the call returned
};

// Runs the system service's content query and waits for its answer (at most timeout).
std::optional<ContentAnswer> queryContent(std::chrono::milliseconds timeout = 10s);

// Starts or stops and waits for the completion; none when it did not come within timeout.
std::optional<std::optional<platform::Error>> startAndWait(platform::SCStream& stream,
                                                           std::chrono::milliseconds timeout = 10s);
std::optional<std::optional<platform::Error>> stopAndWait(platform::SCStream& stream,
                                                          std::chrono::milliseconds timeout = 10s);

// Keeps every delivered buffer's format and the first channel's samples.
class RecordingOutput : public platform::SCStreamOutput {
 public:
  void stream(platform::SCStream& stream, const platform::CMSampleBufferRef& sampleBuffer,
              platform::SCStreamOutputType type) override;

  struct Delivery {
    double sampleRate = 0;
    std::uint32_t channels = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t buffers = 0;
    std::int64_t frames = 0;
    bool buffersMatchFrames = false;
    // When its first frame was captured and when its last one ended, in host clock seconds.
    double start = 0;
    double end = 0;
  };
  std::size_t count() const;
  std::vector<Delivery> deliveries() const;
  std::vector<float> firstChannel() const;
  bool overlapped() const { return overlapped_; }
  // Waits until at least n deliveries arrived.
  // Waits until a delivery that holds pred arrived.
  bool waitForDelivery(const std::function<bool(const Delivery&)>& pred,
                       std::chrono::milliseconds timeout = 10s) const;
  bool waitFor(std::size_t n, std::chrono::milliseconds timeout = 10s) const;
  // Waits until pred(firstChannel()) holds.
  bool waitForSamples(const std::function<bool(const std::vector<float>&)>& pred,
                      std::chrono::milliseconds timeout = 10s) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Delivery> deliveries_;
  std::vector<float> firstChannel_;
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
};

class RecordingDelegate : public platform::SCStreamDelegate {
 public:
  void stream(platform::SCStream& stream, const platform::Error& error) override;
  int calls() const;
  std::optional<platform::Error> firstError() const;
  bool waitForCall(std::chrono::milliseconds timeout = 10s) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int calls_ = 0;
  std::optional<platform::Error> error_;
};

}  // namespace testsupport
