#include "platform/core_media.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

namespace platform {

namespace {

constexpr std::int32_t kNanosecondsPerSecond = 1'000'000'000;
constexpr const char* kSampleBufferErrorDomain = "CMSampleBuffer";

struct BufferLayout {
  std::uint32_t count = 0;         // audio buffers
  std::uint32_t channelsEach = 0;  // channels in each buffer
  std::uint32_t bytesEach = 0;     // bytes in each buffer
};

// How `frames` frames of this PCM description lie in one block: buffer after buffer. None when
// the description gives no frame size or a buffer would not fit its 32-bit byte count.
std::optional<BufferLayout> layoutFor(const AudioStreamBasicDescription& asbd, std::int64_t frames) {
  if (asbd.mBytesPerFrame == 0 || asbd.mChannelsPerFrame == 0 || frames < 0) return std::nullopt;
  const auto bytes = static_cast<std::uint64_t>(frames) * asbd.mBytesPerFrame;
  if (static_cast<std::uint64_t>(frames) > std::numeric_limits<std::uint32_t>::max() ||
      bytes > std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  const bool nonInterleaved = (asbd.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
  BufferLayout layout;
  layout.count = nonInterleaved ? asbd.mChannelsPerFrame : 1;
  layout.channelsEach = nonInterleaved ? 1 : asbd.mChannelsPerFrame;
  layout.bytesEach = static_cast<std::uint32_t>(bytes);
  return layout;
}

std::optional<AudioStreamBasicDescription> audioDescriptionOf(const CMFormatDescriptionRef& description) {
  if (!description) return std::nullopt;
  return description->audioStreamBasicDescription();
}

std::uint64_t totalBytes(const BufferLayout& layout) {
  return static_cast<std::uint64_t>(layout.count) * layout.bytesEach;
}

}  // namespace

double CMTime::seconds() const {
  if (!isValid() || timescale == 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / timescale;
}

CMTime CMTimeMake(std::int64_t value, std::int32_t timescale) {
  // A time without a positive timescale means nothing; treat it as invalid rather than divide by 0.
  if (timescale <= 0) return kCMTimeInvalid;
  return CMTime{value, timescale, kCMTimeFlags_Valid};
}

struct CMClock {};

CMClockRef CMClockGetHostTimeClock() {
  static const CMClock hostClock;
  return &hostClock;
}

CMTime CMClockGetTime(CMClockRef clock) {
  if (clock == nullptr) return kCMTimeInvalid;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return CMTimeMake(static_cast<std::int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec,
                    kNanosecondsPerSecond);
}

CMFormatDescription::CMFormatDescription(CMMediaType mediaType,
                                         std::optional<AudioStreamBasicDescription> asbd)
    : mediaType_(mediaType), asbd_(asbd) {}

std::optional<AudioStreamBasicDescription> CMFormatDescription::audioStreamBasicDescription() const {
  if (mediaType_ != CMMediaType::audio) return std::nullopt;
  return asbd_;
}

OSStatus CMAudioFormatDescriptionCreate(CFAllocatorRef /*allocator*/, const AudioStreamBasicDescription* asbd,
                                        std::size_t layoutSize, const void* layout,
                                        std::size_t magicCookieSize, const void* magicCookie,
                                        const void* extensions,
                                        CMFormatDescriptionRef* formatDescriptionOut) {
  if (formatDescriptionOut == nullptr || asbd == nullptr) return kCMFormatDescriptionError_InvalidParameter;
  if (layoutSize != 0 || layout != nullptr || magicCookieSize != 0 || magicCookie != nullptr ||
      extensions != nullptr) {
    return kCMFormatDescriptionError_InvalidParameter;
  }
  // A description no audio can be in: later time arithmetic would divide by it.
  if (!std::isfinite(asbd->mSampleRate) || asbd->mSampleRate <= 0 || asbd->mChannelsPerFrame == 0) {
    return kCMFormatDescriptionError_InvalidParameter;
  }
  *formatDescriptionOut = std::make_shared<const CMFormatDescription>(CMMediaType::audio, *asbd);
  return noErr;
}

CMBlockBuffer::CMBlockBuffer(std::size_t size) : bytes_(std::make_unique<std::byte[]>(size)), size_(size) {}

CMSampleBuffer::CMSampleBuffer(Parts parts)
    : dataBuffer_(std::move(parts.dataBuffer)),
      formatDescription_(std::move(parts.formatDescription)),
      numSamples_(parts.numSamples),
      timing_(std::move(parts.timing)),
      sampleSizes_(std::move(parts.sampleSizes)) {
  if (!dataBuffer_) return;
  const auto asbd = audioDescriptionOf(formatDescription_);
  if (!asbd) return;
  const auto layout = layoutFor(*asbd, numSamples_);
  if (!layout || totalBytes(*layout) > dataBuffer_->size()) return;
  setBuffers(layout->count, layout->bytesEach, layout->channelsEach);
}

void CMSampleBuffer::setBuffers(std::uint32_t count, std::uint32_t bytesEach, std::uint32_t channelsEach) {
  buffers_.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    buffers_.push_back(BufferSpan{static_cast<std::size_t>(i) * bytesEach, bytesEach, channelsEach});
  }
}

bool CMSampleBuffer::isValid() const { return !invalid_.load(std::memory_order_acquire); }

void CMSampleBuffer::invalidate() { invalid_.store(true, std::memory_order_release); }

CMSampleTimingInfo CMSampleBuffer::timingInfo() const {
  if (timing_.empty()) return CMSampleTimingInfo{kCMTimeInvalid, kCMTimeInvalid, kCMTimeInvalid};
  return timing_.front();
}

bool CMSampleBuffer::withAudioBufferList(
    CFAllocatorRef /*blockBufferMemoryAllocator*/, std::uint32_t /*flags*/,
    const std::function<void(AudioBufferList&, const CMBlockBufferRef&)>& body, Error* error) const {
  auto fail = [error](OSStatus status, const char* message) {
    if (error != nullptr) *error = Error(kSampleBufferErrorDomain, status, message);
    return false;
  };
  if (!dataBuffer_)
    return fail(kCMSampleBufferError_RequiredParameterMissing, "The sample buffer has no data");
  if (!audioDescriptionOf(formatDescription_)) {
    return fail(kCMSampleBufferError_InvalidMediaFormat, "The sample buffer has no audio format description");
  }
  if (buffers_.empty()) {
    return fail(kCMSampleBufferError_ArrayTooSmall,
                "The sample buffer's data does not hold its frames in the described format");
  }
  AudioBufferList list;
  list.mBuffers.reserve(buffers_.size());
  for (const BufferSpan& span : buffers_) {
    list.mBuffers.push_back(AudioBuffer{span.channels, span.size, dataBuffer_->data() + span.offset});
  }
  body(list, dataBuffer_);
  return true;
}

OSStatus CMSampleBufferCreate(CFAllocatorRef /*allocator*/, CMBlockBufferRef dataBuffer, bool /*dataReady*/,
                              const void* makeDataReadyCallback, const void* makeDataReadyRefcon,
                              CMFormatDescriptionRef formatDescription, std::int64_t numSamples,
                              std::int64_t numSampleTimingEntries,
                              const CMSampleTimingInfo* sampleTimingArray, std::int64_t numSampleSizeEntries,
                              const std::size_t* sampleSizeArray, CMSampleBufferRef* sampleBufferOut) {
  if (sampleBufferOut == nullptr || makeDataReadyCallback != nullptr || makeDataReadyRefcon != nullptr) {
    return kCMSampleBufferError_RequiredParameterMissing;
  }
  if (numSamples < 0 || numSampleTimingEntries < 0 || numSampleSizeEntries < 0) {
    return kCMSampleBufferError_InvalidEntryCount;
  }
  if ((numSampleTimingEntries > 0 && sampleTimingArray == nullptr) ||
      (numSampleSizeEntries > 0 && sampleSizeArray == nullptr)) {
    return kCMSampleBufferError_RequiredParameterMissing;
  }
  if (dataBuffer) {
    // Refuse data that cannot hold the frames it claims, so no reader runs past the block.
    if (const auto asbd = audioDescriptionOf(formatDescription)) {
      const auto layout = layoutFor(*asbd, numSamples);
      if (!layout) return kCMSampleBufferError_InvalidMediaFormat;
      if (totalBytes(*layout) > dataBuffer->size()) return kCMSampleBufferError_ArrayTooSmall;
    }
  }
  CMSampleBuffer::Parts parts;
  parts.dataBuffer = std::move(dataBuffer);
  parts.formatDescription = std::move(formatDescription);
  parts.numSamples = numSamples;
  if (numSampleTimingEntries > 0) {
    parts.timing.assign(sampleTimingArray, sampleTimingArray + numSampleTimingEntries);
  }
  if (numSampleSizeEntries > 0)
    parts.sampleSizes.assign(sampleSizeArray, sampleSizeArray + numSampleSizeEntries);
  *sampleBufferOut = std::make_shared<CMSampleBuffer>(std::move(parts));
  return noErr;
}

OSStatus CMSampleBufferSetDataBufferFromAudioBufferList(CMSampleBufferRef sampleBuffer,
                                                        CFAllocatorRef /*blockBufferStructureAllocator*/,
                                                        CFAllocatorRef /*blockBufferBlockAllocator*/,
                                                        std::uint32_t /*flags*/,
                                                        const AudioBufferList* bufferList) {
  if (!sampleBuffer || bufferList == nullptr) return kCMSampleBufferError_RequiredParameterMissing;
  if (sampleBuffer->dataBuffer_) return kCMSampleBufferError_AlreadyHasDataBuffer;
  const auto asbd = audioDescriptionOf(sampleBuffer->formatDescription_);
  if (!asbd) return kCMSampleBufferError_InvalidMediaFormat;
  const auto layout = layoutFor(*asbd, sampleBuffer->numSamples_);
  if (!layout) return kCMSampleBufferError_InvalidMediaFormat;
  if (bufferList->mNumberBuffers() != layout->count) return kCMSampleBufferError_InvalidMediaFormat;
  for (const AudioBuffer& buffer : bufferList->mBuffers) {
    if (buffer.mNumberChannels != layout->channelsEach) return kCMSampleBufferError_InvalidMediaFormat;
    if (buffer.mDataByteSize < layout->bytesEach) return kCMSampleBufferError_ArrayTooSmall;
    if (buffer.mData == nullptr && layout->bytesEach > 0)
      return kCMSampleBufferError_RequiredParameterMissing;
  }

  auto block = std::make_shared<CMBlockBuffer>(totalBytes(*layout));
  for (std::uint32_t i = 0; i < layout->count; ++i) {
    if (layout->bytesEach > 0) {
      std::memcpy(block->data() + static_cast<std::size_t>(i) * layout->bytesEach,
                  bufferList->mBuffers[i].mData, layout->bytesEach);
    }
  }
  sampleBuffer->setBuffers(layout->count, layout->bytesEach, layout->channelsEach);
  sampleBuffer->dataBuffer_ = std::move(block);
  return noErr;
}

AudioStreamBasicDescription makeFloatNonInterleavedDescription(double sampleRate, std::uint32_t channels) {
  AudioStreamBasicDescription asbd;
  asbd.mSampleRate = sampleRate;
  asbd.mFormatID = kAudioFormatLinearPCM;
  asbd.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
  asbd.mBytesPerPacket = sizeof(float);
  asbd.mFramesPerPacket = 1;
  asbd.mBytesPerFrame = sizeof(float);
  asbd.mChannelsPerFrame = channels;
  asbd.mBitsPerChannel = 32;
  return asbd;
}

CMSampleBufferRef makeAudioSampleBuffer(const float* interleaved, std::size_t frames, double sampleRate,
                                        std::uint32_t channels, CMTime pts) {
  if (interleaved == nullptr && frames > 0) return nullptr;
  const AudioStreamBasicDescription asbd = makeFloatNonInterleavedDescription(sampleRate, channels);
  // A capture makes buffer after buffer of one format; descriptions are immutable, so they share one.
  thread_local struct {
    double sampleRate = 0;
    std::uint32_t channels = 0;
    CMFormatDescriptionRef description;
  } last;
  if (!last.description || last.sampleRate != sampleRate || last.channels != channels) {
    CMFormatDescriptionRef made;
    if (CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr, &made) !=
        noErr) {
      return nullptr;
    }
    last = {sampleRate, channels, std::move(made)};
  }
  CMFormatDescriptionRef description = last.description;
  const auto layout = layoutFor(asbd, static_cast<std::int64_t>(std::min<std::size_t>(
                                          frames, std::numeric_limits<std::int64_t>::max())));
  if (!layout) return nullptr;

  auto block = std::make_shared<CMBlockBuffer>(totalBytes(*layout));
  auto* planes = reinterpret_cast<float*>(block->data());
  for (std::size_t frame = 0; frame < frames; ++frame) {
    for (std::uint32_t channel = 0; channel < channels; ++channel) {
      planes[channel * frames + frame] = interleaved[frame * channels + channel];
    }
  }

  // One frame's duration, as a whole-number rate can state it.
  CMTime frameDuration = kCMTimeInvalid;
  if (sampleRate < static_cast<double>(std::numeric_limits<std::int32_t>::max()) &&
      sampleRate == std::floor(sampleRate)) {
    frameDuration = CMTimeMake(1, static_cast<std::int32_t>(sampleRate));
  }
  const CMSampleTimingInfo timing{frameDuration, pts, kCMTimeInvalid};
  CMSampleBufferRef sampleBuffer;
  if (CMSampleBufferCreate(kCFAllocatorDefault, std::move(block), true, nullptr, nullptr,
                           std::move(description), static_cast<std::int64_t>(frames), 1, &timing, 0, nullptr,
                           &sampleBuffer) != noErr) {
    return nullptr;
  }
  return sampleBuffer;
}

}  // namespace platform
