#include "support/capture_probe.h"

#include <algorithm>
#include <memory>
#include <thread>

namespace testsupport {

std::optional<ContentAnswer> queryContent(std::chrono::milliseconds timeout) {
  struct Shared {
    std::mutex mutex;
    std::condition_variable done;
    ContentAnswer answer;
    std::thread::id caller = std::this_thread::get_id();
  };
  auto shared = std::make_shared<Shared>();
  platform::ScreenCaptureService::system().getShareableContent(
      true, true, [shared](platform::SCShareableContentRef content, std::optional<platform::Error> error) {
        std::lock_guard lock(shared->mutex);
        shared->answer.content = std::move(content);
        shared->answer.error = std::move(error);
        shared->answer.calls++;
        if (std::this_thread::get_id() == shared->caller) shared->answer.calledInsideTheCall = true;
        shared->done.notify_all();
      });
  std::unique_lock lock(shared->mutex);
  if (!shared->done.wait_for(lock, timeout, [&] { return shared->answer.calls > 0; })) return std::nullopt;
  return shared->answer;
}

namespace {

std::optional<std::optional<platform::Error>> await(const std::function<void(platform::Completion)>& start,
                                                    std::chrono::milliseconds timeout) {
  auto promise = std::make_shared<std::promise<std::optional<platform::Error>>>();
  auto future = promise->get_future();
  start([promise](std::optional<platform::Error> error) { promise->set_value(std::move(error)); });
  if (future.wait_for(timeout) != std::future_status::ready) return std::nullopt;
  return future.get();
}

}  // namespace

std::optional<std::optional<platform::Error>> startAndWait(platform::SCStream& stream,
                                                           std::chrono::milliseconds timeout) {
  return await([&](platform::Completion completion) { stream.startCapture(std::move(completion)); }, timeout);
}

std::optional<std::optional<platform::Error>> stopAndWait(platform::SCStream& stream,
                                                          std::chrono::milliseconds timeout) {
  return await([&](platform::Completion completion) { stream.stopCapture(std::move(completion)); }, timeout);
}

void RecordingOutput::stream(platform::SCStream&, const platform::CMSampleBufferRef& sampleBuffer,
                             platform::SCStreamOutputType) {
  if (inside_.fetch_add(1) != 0) overlapped_ = true;
  Delivery delivery;
  std::vector<float> samples;
  if (auto description = sampleBuffer->formatDescription()) {
    if (auto asbd = description->audioStreamBasicDescription()) {
      delivery.sampleRate = asbd->mSampleRate;
      delivery.channels = asbd->mChannelsPerFrame;
      delivery.formatFlags = asbd->mFormatFlags;
    }
  }
  delivery.frames = sampleBuffer->numSamples();
  delivery.start = sampleBuffer->presentationTimeStamp().seconds();
  if (delivery.sampleRate > 0)
    delivery.end = delivery.start + static_cast<double>(delivery.frames) / delivery.sampleRate;
  platform::Error error("", 0, "");
  sampleBuffer->withAudioBufferList(
      platform::kCFAllocatorDefault, 0,
      [&](platform::AudioBufferList& list, const platform::CMBlockBufferRef&) {
        delivery.buffers = list.mNumberBuffers();
        delivery.buffersMatchFrames = true;
        for (const auto& buffer : list.mBuffers) {
          if (buffer.mDataByteSize != delivery.frames * sizeof(float)) delivery.buffersMatchFrames = false;
        }
        if (!list.mBuffers.empty()) {
          const auto* first = static_cast<const float*>(list.mBuffers[0].mData);
          samples.assign(first, first + list.mBuffers[0].mDataByteSize / sizeof(float));
        }
      },
      &error);
  {
    std::lock_guard lock(mutex_);
    deliveries_.push_back(delivery);
    firstChannel_.insert(firstChannel_.end(), samples.begin(), samples.end());
    changed_.notify_all();
  }
  inside_.fetch_sub(1);
}

std::size_t RecordingOutput::count() const {
  std::lock_guard lock(mutex_);
  return deliveries_.size();
}

std::vector<RecordingOutput::Delivery> RecordingOutput::deliveries() const {
  std::lock_guard lock(mutex_);
  return deliveries_;
}

std::vector<float> RecordingOutput::firstChannel() const {
  std::lock_guard lock(mutex_);
  return firstChannel_;
}

bool RecordingOutput::waitFor(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return deliveries_.size() >= n; });
}

bool RecordingOutput::waitForDelivery(const std::function<bool(const Delivery&)>& pred,
                                      std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout,
                           [&] { return std::any_of(deliveries_.begin(), deliveries_.end(), pred); });
}

bool RecordingOutput::waitForSamples(const std::function<bool(const std::vector<float>&)>& pred,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pred(firstChannel_); });
}

void RecordingDelegate::stream(platform::SCStream&, const platform::Error& error) {
  std::lock_guard lock(mutex_);
  if (calls_++ == 0) error_ = error;
  changed_.notify_all();
}

int RecordingDelegate::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::optional<platform::Error> RecordingDelegate::firstError() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool RecordingDelegate::waitForCall(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return calls_ > 0; });
}

}  // namespace testsupport
