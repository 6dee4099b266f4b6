#include "media/conversions.h"

namespace media {

using namespace platform;

AVAudioPCMBufferRef asPCMBuffer(const CMSampleBuffer& sampleBuffer) {
  AVAudioPCMBufferRef result;
  Error error;
  bool listed = sampleBuffer.withAudioBufferList(
      kCFAllocatorDefault, 0,
      [&](AudioBufferList& bufferList, const CMBlockBufferRef& blockBuffer) {
        CMFormatDescriptionRef description = sampleBuffer.formatDescription();
        if (!description) return;
        auto asbd = description->audioStreamBasicDescription();
        if (!asbd) return;
        auto format =
            AVAudioFormat::initStandardFormatWithSampleRate(asbd->mSampleRate, asbd->mChannelsPerFrame);
        if (!format) return;
        // The deallocator frees nothing; holding the block keeps the samples alive for as
        // long as the PCM buffer, even if the block were not the sample buffer's own.
        result = AVAudioPCMBuffer::initWithPCMFormat(format, &bufferList,
                                                     [blockBuffer](const AudioBufferList*) {});
      },
      &error);
  return listed ? result : nullptr;
}

}  // namespace media
