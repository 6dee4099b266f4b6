// Timed audio buffers and their descriptions: the small core-media layer the capture service
// delivers through and the audio conversions work on. Plain values where nothing is shared,
// reference-counted objects (std::shared_ptr) where the buffers are handed between threads.
//
// Thread contract: the objects are immutable after creation except where a method says
// otherwise; a CMSampleBuffer may be read from several threads at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/error.h"

namespace platform {

using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kCMSampleBufferError_RequiredParameterMissing = -12731;
inline constexpr OSStatus kCMSampleBufferError_AlreadyHasDataBuffer = -12732;
inline constexpr OSStatus kCMSampleBufferError_ArrayTooSmall = -12737;
inline constexpr OSStatus kCMSampleBufferError_InvalidEntryCount = -12738;
inline constexpr OSStatus kCMSampleBufferError_InvalidMediaFormat = -12743;
inline constexpr OSStatus kCMFormatDescriptionError_InvalidParameter = -12710;

// Allocators are kept in the signatures for their shape; only the default exists.
using CFAllocatorRef = const void*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

using AudioFormatID = std::uint32_t;
inline constexpr AudioFormatID kAudioFormatLinearPCM = 0x6c70636d;  // 'lpcm'
inline constexpr AudioFormatID kAudioFormatMPEG4AAC = 0x61616320;   // 'aac '
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamBasicDescription {
  double mSampleRate = 0;
  AudioFormatID mFormatID = 0;
  std::uint32_t mFormatFlags = 0;
  std::uint32_t mBytesPerPacket = 0;
  std::uint32_t mFramesPerPacket = 0;
  std::uint32_t mBytesPerFrame = 0;
  std::uint32_t mChannelsPerFrame = 0;
  std::uint32_t mBitsPerChannel = 0;
};

struct AudioBuffer {
  std::uint32_t mNumberChannels = 0;
  std::uint32_t mDataByteSize = 0;
  void* mData = nullptr;
};

// The count is mBuffers.size().
struct AudioBufferList {
  std::vector<AudioBuffer> mBuffers;
  std::uint32_t mNumberBuffers() const { return static_cast<std::uint32_t>(mBuffers.size()); }
};

inline constexpr std::uint32_t kCMTimeFlags_Valid = 1u << 0;

struct CMTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;
  std::uint32_t flags = 0;
  bool isValid() const { return (flags & kCMTimeFlags_Valid) != 0; }
  double seconds() const;  // NaN when invalid
};

CMTime CMTimeMake(std::int64_t value, std::int32_t timescale);
inline constexpr CMTime kCMTimeInvalid{};

struct CMSampleTimingInfo {
  CMTime duration;
  CMTime presentationTimeStamp;
  CMTime decodeTimeStamp;
};

// The host clock is the monotonic clock, in nanoseconds.
struct CMClock;
using CMClockRef = const CMClock*;
CMClockRef CMClockGetHostTimeClock();
CMTime CMClockGetTime(CMClockRef clock);

enum class CMMediaType : std::uint32_t { audio = 0x736f756e /* 'soun' */, video = 0x76696465 };

class CMFormatDescription {
 public:
  explicit CMFormatDescription(CMMediaType mediaType,
                               std::optional<AudioStreamBasicDescription> asbd = std::nullopt);
  CMMediaType mediaType() const { return mediaType_; }
  // None for a description that is not an audio one.
  std::optional<AudioStreamBasicDescription> audioStreamBasicDescription() const;

 private:
  CMMediaType mediaType_;
  std::optional<AudioStreamBasicDescription> asbd_;
};
using CMFormatDescriptionRef = std::shared_ptr<const CMFormatDescription>;

// Layout, magic cookie and extensions are not supported: their sizes must be 0 and pointers null.
// A description with a rate that is not a positive finite number, or with no channels, is refused.
OSStatus CMAudioFormatDescriptionCreate(CFAllocatorRef allocator, const AudioStreamBasicDescription* asbd,
                                        std::size_t layoutSize, const void* layout,
                                        std::size_t magicCookieSize, const void* magicCookie,
                                        const void* extensions, CMFormatDescriptionRef* formatDescriptionOut);

// Memory behind a sample buffer; owns its bytes.
class CMBlockBuffer {
 public:
  explicit CMBlockBuffer(std::size_t size);
  std::byte* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<std::byte[]> bytes_;
  std::size_t size_;
};
using CMBlockBufferRef = std::shared_ptr<CMBlockBuffer>;

class CMSampleBuffer;
using CMSampleBufferRef = std::shared_ptr<CMSampleBuffer>;

class CMSampleBuffer {
 public:
  CMFormatDescriptionRef formatDescription() const { return formatDescription_; }
  bool isValid() const;
  void invalidate();  // may be called from any thread
  std::int64_t numSamples() const { return numSamples_; }
  bool dataIsReady() const { return dataBuffer_ != nullptr; }
  CMBlockBufferRef dataBuffer() const { return dataBuffer_; }
  // The first timing entry, or all-invalid times when there is none.
  CMSampleTimingInfo timingInfo() const;
  CMTime presentationTimeStamp() const { return timingInfo().presentationTimeStamp; }
  CMTime duration() const { return timingInfo().duration; }
  CMTime decodeTimeStamp() const { return timingInfo().decodeTimeStamp; }

  // Runs body with the buffer's audio buffer list (whose pointers refer to blockBuffer's memory)
  // and returns true; false with an error when the buffer holds no audio data to list.
  bool withAudioBufferList(CFAllocatorRef blockBufferMemoryAllocator, std::uint32_t flags,
                           const std::function<void(AudioBufferList&, const CMBlockBufferRef&)>& body,
                           Error* error) const;

  // Not public API: construction goes through CMSampleBufferCreate.
  struct Parts {
    CMBlockBufferRef dataBuffer;
    CMFormatDescriptionRef formatDescription;
    std::int64_t numSamples = 0;
    std::vector<CMSampleTimingInfo> timing;
    std::vector<std::size_t> sampleSizes;
  };
  explicit CMSampleBuffer(Parts parts);

 private:
  friend OSStatus CMSampleBufferSetDataBufferFromAudioBufferList(CMSampleBufferRef, CFAllocatorRef,
                                                                 CFAllocatorRef, std::uint32_t,
                                                                 const AudioBufferList*);
  // Lays out `count` audio buffers of bytesEach bytes, one after the other in dataBuffer_.
  void setBuffers(std::uint32_t count, std::uint32_t bytesEach, std::uint32_t channelsEach);

  CMBlockBufferRef dataBuffer_;
  CMFormatDescriptionRef formatDescription_;
  std::int64_t numSamples_;
  std::vector<CMSampleTimingInfo> timing_;
  std::vector<std::size_t> sampleSizes_;
  struct BufferSpan {
    std::size_t offset;  // where the audio buffer starts in dataBuffer_
    std::uint32_t size;
    std::uint32_t channels;
  };
  std::vector<BufferSpan> buffers_;
  mutable std::atomic<bool> invalid_{false};
};

// makeDataReadyCallback and its refcon are not supported and must be null.
OSStatus CMSampleBufferCreate(CFAllocatorRef allocator, CMBlockBufferRef dataBuffer, bool dataReady,
                              const void* makeDataReadyCallback, const void* makeDataReadyRefcon,
                              CMFormatDescriptionRef formatDescription, std::int64_t numSamples,
                              std::int64_t numSampleTimingEntries,
                              const CMSampleTimingInfo* sampleTimingArray, std::int64_t numSampleSizeEntries,
                              const std::size_t* sampleSizeArray, CMSampleBufferRef* sampleBufferOut);

// Copies the list's data into a new block buffer of the sample buffer, which is then ready.
// The list must match the description's layout (one buffer per channel when non-interleaved)
// with numSamples frames in each buffer. Call it before the sample buffer is shared.
OSStatus CMSampleBufferSetDataBufferFromAudioBufferList(CMSampleBufferRef sampleBuffer,
                                                        CFAllocatorRef blockBufferStructureAllocator,
                                                        CFAllocatorRef blockBufferBlockAllocator,
                                                        std::uint32_t flags,
                                                        const AudioBufferList* bufferList);

// The description of float32 PCM with one buffer per channel, as the capture delivers it.
AudioStreamBasicDescription makeFloatNonInterleavedDescription(double sampleRate, std::uint32_t channels);

// A ready sample buffer holding a copy of `frames` frames of interleaved float32 PCM, split into
// one buffer per channel in one block; one timing entry (one frame's duration, pts, no decode
// time). Null when the rate is not a positive finite number, channels is 0, or the size overflows.
// Any thread.
CMSampleBufferRef makeAudioSampleBuffer(const float* interleaved, std::size_t frames, double sampleRate,
                                        std::uint32_t channels, CMTime pts);

}  // namespace platform
