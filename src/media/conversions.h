// Conversions between the capture's sample buffers and the file's PCM buffers.
//
// Both keep no state and may run on any thread, for different buffers at once.
#pragma once

#include "platform/av_audio.h"
#include "platform/core_media.h"

namespace media {

// The sample buffer's audio as a float, one-buffer-per-channel PCM buffer laid over the
// sample buffer's own memory (nothing copied), at the buffer's own rate and channel count.
// None when the buffer gives no audio buffer list, has no audio description, or its list does
// not fit the format. Use it only while the sample buffer is held.
platform::AVAudioPCMBufferRef asPCMBuffer(const platform::CMSampleBuffer& sampleBuffer);

// A new sample buffer holding a copy of the PCM buffer's audio, one sample per frame, each
// lasting one frame, stamped with the host clock. None on any failure, including a sample rate
// that has no 32-bit timescale.
platform::CMSampleBufferRef asSampleBuffer(platform::AVAudioPCMBuffer& pcmBuffer);

}  // namespace media
