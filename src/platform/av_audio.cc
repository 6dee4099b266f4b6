#include "platform/av_audio.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace platform {

std::shared_ptr<const AVAudioFormat> AVAudioFormat::initStandardFormatWithSampleRate(double sampleRate,
                                                                                     std::uint32_t channels) {
  if (!std::isfinite(sampleRate) || sampleRate <= 0 || channels == 0 || channels > kMaxChannels)
    return nullptr;
  // Asked for once per captured buffer, nearly always with the same values: formats are
  // immutable, so the last one made on this thread is handed out again.
  thread_local std::shared_ptr<const AVAudioFormat> last;
  if (last && last->sampleRate() == sampleRate && last->channelCount() == channels) return last;
  last = std::make_shared<const AVAudioFormat>(AVAudioPCMFormatFloat32,
                                               makeFloatNonInterleavedDescription(sampleRate, channels));
  return last;
}

bool AVAudioFormat::operator==(const AVAudioFormat& other) const {
  const AudioStreamBasicDescription& a = asbd_;
  const AudioStreamBasicDescription& b = other.asbd_;
  return commonFormat_ == other.commonFormat_ && a.mSampleRate == b.mSampleRate &&
         a.mFormatID == b.mFormatID && a.mFormatFlags == b.mFormatFlags &&
         a.mBytesPerPacket == b.mBytesPerPacket && a.mFramesPerPacket == b.mFramesPerPacket &&
         a.mBytesPerFrame == b.mBytesPerFrame && a.mChannelsPerFrame == b.mChannelsPerFrame &&
         a.mBitsPerChannel == b.mBitsPerChannel;
}

namespace {

// Buffers a PCM format's frames are spread over: one per channel unless interleaved.
std::uint32_t bufferCountOf(const AVAudioFormat& format) {
  return format.isInterleaved() ? 1 : format.channelCount();
}

}  // namespace

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormatRef format,
                                                                      const AudioBufferList* bufferListNoCopy,
                                                                      Deallocator deallocator) {
  if (!format || bufferListNoCopy == nullptr) return nullptr;
  const std::uint32_t bytesPerFrame = format->streamDescription()->mBytesPerFrame;
  if (bytesPerFrame == 0 || format->channelCount() == 0) return nullptr;
  const auto& buffers = bufferListNoCopy->mBuffers;
  if (buffers.size() != bufferCountOf(*format)) return nullptr;
  const std::uint32_t byteSize = buffers.front().mDataByteSize;
  for (const AudioBuffer& buffer : buffers) {
    if (buffer.mData == nullptr || buffer.mDataByteSize != byteSize) return nullptr;
  }
  if (byteSize % bytesPerFrame != 0) return nullptr;

  auto pcm = std::make_shared<AVAudioPCMBuffer>(Key{});
  pcm->format_ = std::move(format);
  pcm->frameCapacity_ = byteSize / bytesPerFrame;
  pcm->frameLength_ = pcm->frameCapacity_;
  pcm->list_ = *bufferListNoCopy;
  pcm->deallocator_ = std::move(deallocator);
  return pcm;
}

std::shared_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormatRef format,
                                                                      std::uint32_t frameCapacity) {
  if (!format) return nullptr;
  const std::uint32_t bytesPerFrame = format->streamDescription()->mBytesPerFrame;
  const std::uint32_t bufferCount = bufferCountOf(*format);
  if (bytesPerFrame == 0 || bufferCount == 0) return nullptr;
  const std::uint64_t bytesEach = static_cast<std::uint64_t>(frameCapacity) * bytesPerFrame;
  if (bytesEach > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  const std::uint64_t floatsEach = (bytesEach + sizeof(float) - 1) / sizeof(float);

  auto pcm = std::make_shared<AVAudioPCMBuffer>(Key{});
  pcm->format_ = std::move(format);
  pcm->frameCapacity_ = frameCapacity;
  pcm->owned_ = std::make_unique<float[]>(floatsEach * bufferCount);
  const std::uint32_t channelsEach = pcm->format_->isInterleaved() ? pcm->format_->channelCount() : 1;
  for (std::uint32_t i = 0; i < bufferCount; ++i) {
    pcm->list_.mBuffers.push_back(AudioBuffer{channelsEach, 0, pcm->owned_.get() + i * floatsEach});
  }
  return pcm;
}

AVAudioPCMBuffer::~AVAudioPCMBuffer() {
  if (deallocator_) deallocator_(&list_);
}

void AVAudioPCMBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = std::min(frames, frameCapacity_);
  // The list's byte sizes follow the frame length, as readers of the list expect.
  const std::uint32_t bytes = frameLength_ * format_->streamDescription()->mBytesPerFrame;
  for (AudioBuffer& buffer : list_.mBuffers) buffer.mDataByteSize = bytes;
}

float* AVAudioPCMBuffer::floatChannelData(std::uint32_t channel) const {
  if (format_->commonFormat() != AVAudioPCMFormatFloat32 || channel >= format_->channelCount())
    return nullptr;
  if (format_->isInterleaved()) return static_cast<float*>(list_.mBuffers.front().mData) + channel;
  return static_cast<float*>(list_.mBuffers[channel].mData);
}

}  // namespace platform
