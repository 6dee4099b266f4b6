#include "fakes/fake_capture.h"

#include <vector>

namespace fakes {

using namespace platform;

FakeStream::FakeStream(SCContentFilter filter, SCStreamConfiguration configuration,
                       std::weak_ptr<SCStreamDelegate> delegate)
    : filter(std::move(filter)), configuration(std::move(configuration)), delegate_(std::move(delegate)) {}

bool FakeStream::addStreamOutput(std::weak_ptr<SCStreamOutput> output, SCStreamOutputType /*type*/,
                                 DispatchQueue* /*sampleHandlerQueue*/, Error* error) {
  ++outputRegistrations_;
  if (refuseOutput) {
    if (error) *error = *refuseOutput;
    return false;
  }
  std::lock_guard lock(mutex_);
  output_ = std::move(output);
  return true;
}

void FakeStream::startCapture(Completion completionHandler) {
  ++startRequests_;
  if (onStartRequest) onStartRequest();
  std::optional<Error> outcome;
  {
    std::lock_guard lock(mutex_);
    if (!startOutcomes.empty()) {
      outcome = startOutcomes.front();
      startOutcomes.pop_front();
    }
  }
  DispatchQueue::global().async([this, outcome, completionHandler] {
    if (!outcome) {
      std::lock_guard lock(mutex_);
      ++successfulStarts_;
      changed_.notify_all();
    }
    completionHandler(outcome);
  });
}

void FakeStream::stopCapture(Completion completionHandler) {
  ++stopRequests_;
  if (completionHandler)
    DispatchQueue::global().async([completionHandler] { completionHandler(std::nullopt); });
}

void FakeStream::deliver(const CMSampleBufferRef& buffer) {
  std::shared_ptr<SCStreamOutput> output;
  {
    std::lock_guard lock(mutex_);
    output = output_.lock();
  }
  if (output) output->stream(*this, buffer, SCStreamOutputType::audio);
}

void FakeStream::failWith(const Error& error) {
  if (auto delegate = delegate_.lock()) delegate->stream(*this, error);
}

bool FakeStream::waitForStarts(int count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return successfulStarts_ >= count; });
}

void FakeCaptureService::getShareableContent(bool /*excludingDesktopWindows*/, bool /*onScreenWindowsOnly*/,
                                             ContentCompletion completionHandler) {
  SCShareableContentRef content;
  std::optional<Error> error;
  if (displays) {
    content = std::make_shared<SCShareableContent>(*displays);
  } else {
    error = Error("FakeCapture", 1, "Connection refused");
  }
  DispatchQueue::global().async([=, before = beforeContent] {
    if (before) before();
    completionHandler(content, error);
  });
}

SCStreamRef FakeCaptureService::makeStream(const SCContentFilter& filter,
                                           const SCStreamConfiguration& configuration,
                                           std::weak_ptr<SCStreamDelegate> delegate) {
  auto stream = std::make_shared<FakeStream>(filter, configuration, std::move(delegate));
  if (prepareStream) prepareStream(*stream);
  std::lock_guard lock(mutex_);
  stream_ = stream;
  changed_.notify_all();
  return stream;
}

std::shared_ptr<FakeStream> FakeCaptureService::waitForStream(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return stream_ != nullptr; });
  return stream_;
}

std::vector<SCDisplayRef> FakeCaptureService::makeDisplays(int count) {
  std::vector<SCDisplayRef> result;
  for (int i = 0; i < count; ++i) {
    std::string name = "out" + std::to_string(i);
    result.push_back(
        std::make_shared<SCDisplay>(SCDisplay{name, "Output " + std::to_string(i), name + ".monitor"}));
  }
  return result;
}

CMSampleBufferRef makeSampleBuffer(std::uint32_t frames, double sampleRate, std::uint32_t channels,
                                   float value) {
  AudioStreamBasicDescription asbd;
  asbd.mSampleRate = sampleRate;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
  asbd.mBytesPerPacket = 4;
  asbd.mFramesPerPacket = 1;
  asbd.mBytesPerFrame = 4;
  asbd.mChannelsPerFrame = channels;
  asbd.mBitsPerChannel = 32;
  CMFormatDescriptionRef description;
  if (CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr,
                                     &description) != noErr) {
    return nullptr;
  }
  std::vector<std::vector<float>> samples(channels, std::vector<float>(frames, value));
  AudioBufferList list;
  for (auto& channel : samples) {
    list.mBuffers.push_back(
        AudioBuffer{1, static_cast<std::uint32_t>(frames * sizeof(float)), channel.data()});
  }
  CMSampleTimingInfo timing{CMTimeMake(1, static_cast<std::int32_t>(sampleRate)),
                            CMClockGetTime(CMClockGetHostTimeClock()), kCMTimeInvalid};
  CMSampleBufferRef buffer;
  if (CMSampleBufferCreate(kCFAllocatorDefault, nullptr, false, nullptr, nullptr, description, frames, 1,
                           &timing, 0, nullptr, &buffer) != noErr ||
      CMSampleBufferSetDataBufferFromAudioBufferList(buffer, kCFAllocatorDefault, kCFAllocatorDefault, 0,
                                                     &list) != noErr) {
    return nullptr;
  }
  return buffer;
}

}  // namespace fakes
