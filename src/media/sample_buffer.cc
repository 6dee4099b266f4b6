#include <cmath>
#include <limits>

#include "media/conversions.h"

namespace media {

using namespace platform;

namespace {

// The sample rate truncated toward zero, when it fits a 32-bit timescale.
std::optional<std::int32_t> timescaleOf(double sampleRate) {
  if (!std::isfinite(sampleRate) || sampleRate <= -2147483649.0 || sampleRate >= 2147483648.0) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(sampleRate);
}

}  // namespace

CMSampleBufferRef asSampleBuffer(AVAudioPCMBuffer& pcmBuffer) {
  const AudioStreamBasicDescription* asbd = pcmBuffer.format()->streamDescription();

  CMFormatDescriptionRef formatDescription;
  if (CMAudioFormatDescriptionCreate(kCFAllocatorDefault, asbd, 0, nullptr, 0, nullptr, nullptr,
                                     &formatDescription) != noErr) {
    return nullptr;
  }

  auto timescale = timescaleOf(asbd->mSampleRate);
  if (!timescale) return nullptr;
  CMSampleTimingInfo timing{CMTimeMake(1, *timescale), CMClockGetTime(CMClockGetHostTimeClock()),
                            kCMTimeInvalid};

  CMSampleBufferRef sampleBuffer;
  if (CMSampleBufferCreate(kCFAllocatorDefault, nullptr, false, nullptr, nullptr, formatDescription,
                           static_cast<std::int64_t>(pcmBuffer.frameLength()), 1, &timing, 0, nullptr,
                           &sampleBuffer) != noErr) {
    return nullptr;
  }
  if (CMSampleBufferSetDataBufferFromAudioBufferList(sampleBuffer, kCFAllocatorDefault, kCFAllocatorDefault,
                                                     0, pcmBuffer.mutableAudioBufferList()) != noErr) {
    return nullptr;  // releases the half-made buffer
  }
  return sampleBuffer;
}

}  // namespace media
