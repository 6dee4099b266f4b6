// PCM formats and buffers, and the AAC file writer.
//
// Thread contract: AVAudioFormat is immutable. An AVAudioPCMBuffer belongs to one thread at a
// time. An AVAudioFile is written by one thread at a time (the owner serialises writes); its
// destructor may run on any thread, and finishes the file there. finish() may be called from any
// thread, even during a write: that write either completes before it or is refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/core_media.h"
#include "platform/error.h"

namespace platform {

enum AVAudioCommonFormat : std::uint32_t {
  AVAudioOtherFormat = 0,
  AVAudioPCMFormatFloat32 = 1,
  AVAudioPCMFormatFloat64 = 2,
  AVAudioPCMFormatInt16 = 3,
  AVAudioPCMFormatInt32 = 4,
};

class AVAudioFormat {
 public:
  // 32-bit float, one buffer per channel. None when the rate is not a positive finite number or
  // the channel count is 0 or larger than the writer can take.
  static std::shared_ptr<const AVAudioFormat> initStandardFormatWithSampleRate(double sampleRate,
                                                                               std::uint32_t channels);

  double sampleRate() const { return asbd_.mSampleRate; }
  std::uint32_t channelCount() const { return asbd_.mChannelsPerFrame; }
  AVAudioCommonFormat commonFormat() const { return commonFormat_; }
  bool isInterleaved() const { return (asbd_.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0; }
  const AudioStreamBasicDescription* streamDescription() const { return &asbd_; }
  bool operator==(const AVAudioFormat& other) const;

  AVAudioFormat(AVAudioCommonFormat commonFormat, const AudioStreamBasicDescription& asbd)
      : commonFormat_(commonFormat), asbd_(asbd) {}

 private:
  AVAudioCommonFormat commonFormat_;
  AudioStreamBasicDescription asbd_;
};
using AVAudioFormatRef = std::shared_ptr<const AVAudioFormat>;

inline constexpr std::uint32_t kMaxChannels = 8;

class AVAudioPCMBuffer {
 public:
  using Deallocator = std::function<void(const AudioBufferList*)>;

  // A buffer over the list's memory, nothing copied; its frame length covers every frame of the
  // list. None when the list does not fit the format (buffer count, byte sizes, null data).
  static std::shared_ptr<AVAudioPCMBuffer> initWithPCMFormat(AVAudioFormatRef format,
                                                             const AudioBufferList* bufferListNoCopy,
                                                             Deallocator deallocator);
  // A buffer that owns zeroed memory for frameCapacity frames; frame length 0.
  static std::shared_ptr<AVAudioPCMBuffer> initWithPCMFormat(AVAudioFormatRef format,
                                                             std::uint32_t frameCapacity);
  ~AVAudioPCMBuffer();
  AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
  AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

  const AVAudioFormatRef& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  void setFrameLength(std::uint32_t frames);  // clamped to frameCapacity; sets the byte sizes
  AudioBufferList* mutableAudioBufferList() { return &list_; }
  const AudioBufferList* audioBufferList() const { return &list_; }
  // One pointer per channel (float formats only).
  float* floatChannelData(std::uint32_t channel) const;

 private:
  // Only the factories above make buffers; the key lets them allocate object and count together.
  struct Key {
    explicit Key() = default;
  };

 public:
  explicit AVAudioPCMBuffer(Key) {}

 private:
  AVAudioFormatRef format_;
  std::uint32_t frameCapacity_ = 0;
  std::uint32_t frameLength_ = 0;
  AudioBufferList list_;
  std::unique_ptr<float[]> owned_;
  Deallocator deallocator_;
};
using AVAudioPCMBufferRef = std::shared_ptr<AVAudioPCMBuffer>;

// Settings keys of the file writer.
inline const std::string AVFormatIDKey = "AVFormatIDKey";
inline const std::string AVSampleRateKey = "AVSampleRateKey";
inline const std::string AVNumberOfChannelsKey = "AVNumberOfChannelsKey";
inline const std::string AVEncoderBitRateKey = "AVEncoderBitRateKey";
using AVAudioSettings = std::map<std::string, std::int64_t>;

class AVAudioFile {
 public:
  // A new file at path, container from the extension (".m4a": MPEG-4 audio), encoded per the
  // settings, accepting buffers of the processing format (commonFormat, interleaving, the
  // settings' rate and channels). None with an error when the file cannot be created, also when
  // another writer (in this or another process) is still writing a file at that path: the file
  // is locked from its creation until finish() has given it its final form, and an existing
  // file is emptied only once its lock is ours.
  static std::shared_ptr<AVAudioFile> initForWriting(const std::filesystem::path& path,
                                                     const AVAudioSettings& settings,
                                                     AVAudioCommonFormat commonFormat, bool interleaved,
                                                     Error* error);

  // Appends the buffer's frameLength frames. False with an error for a buffer of another
  // format, or when the data cannot reach the disk.
  bool writeFromBuffer(const AVAudioPCMBuffer& buffer, Error* error);

  // Finishes the file: remaining samples, the encoder drained, the container closed and turned
  // into its final form. Runs once; later calls return the first call's outcome. False with an
  // error when audio written so far did not all reach the file. The destructor calls it.
  // A file without audio keeps its empty track in the fragmented form. Then removes what killed
  // conversions left in the file's directory.
  bool finish(Error* error);

  // After a successful finish: why the file stayed fragmented instead of becoming a plain file
  // (no room for the copy, ...), or none. The fragmented file is complete and plays.
  std::optional<Error> conversionError() const;

  const AVAudioFormat& processingFormat() const;
  std::int64_t length() const;  // frames written so far
  const std::filesystem::path& url() const;

  ~AVAudioFile();
  AVAudioFile(const AVAudioFile&) = delete;
  AVAudioFile& operator=(const AVAudioFile&) = delete;

  struct Impl;

 private:
  explicit AVAudioFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};
using AVAudioFileRef = std::shared_ptr<AVAudioFile>;

}  // namespace platform
