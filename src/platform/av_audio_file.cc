// The AAC file writer on FFmpeg. While recording the file is fragmented MPEG-4 with every completed
// fragment pushed to the disk, so that whatever happens to the process the file plays up to its
// last second; finish() turns it into a plain file (av_plain_file.cc). The file is locked while
// it is written, so that a second writer cannot overwrite a recording in progress.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>

#include "platform/av_audio.h"
#include "platform/av_handles.h"
#include "platform/av_plain_file.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

namespace platform {

using namespace av;

namespace {

// Small, so that a fragment leaves FFmpeg's buffer at once and an I/O error shows at its write.
constexpr int kIoBufferSize = 32 * 1024;
constexpr const char* kFragmentedMovFlags = "+frag_keyframe+empty_moov+default_base_moof";
constexpr const char* kFragmentDurationMicroseconds = "1000000";
// Far beyond any real signal (full scale is 1) and far below where the encoder's transform overflows.
constexpr float kLargestSample = 1e20f;
// Opening a name that another writer replaces at that moment is retried this often.
constexpr int kOpenAttempts = 8;

void silenceLibraryLog() {
  // The program's only output channel is its standard output; FFmpeg must not print on stderr.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

std::string describe(const AVAudioFormat& format) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", format.sampleRate());
  std::string text = std::string(rate) + " Hz, " + std::to_string(format.channelCount()) + " channel(s), " +
                     (format.isInterleaved() ? "interleaved" : "non-interleaved");
  if (format.commonFormat() != AVAudioPCMFormatFloat32) {
    text += ", sample format " + std::to_string(format.commonFormat());
  }
  return text;
}

// File systems that cannot lock: a recording there goes on without the guard.
bool locksUnsupported(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS; }

}  // namespace

struct AVAudioFile::Impl {
  Impl(std::filesystem::path filePath, AVAudioFormat format)
      : path(std::move(filePath)), format(std::move(format)) {}

  std::optional<Error> open(int sampleRate, int channels, std::optional<std::int64_t> bitRate);
  bool write(const AVAudioPCMBuffer& buffer, Error* error);
  bool finish(Error* error);

  // The steps of open(), in their order.
  std::optional<Error> openMuxer();
  std::optional<Error> openEncoder(int sampleRate, int channels, std::optional<std::int64_t> bitRate);
  std::optional<Error> addStream();
  std::optional<Error> allocateBuffers(int sampleRate);
  std::optional<Error> openOutputFile();
  std::optional<Error> writeHeader();

  static int writePacket(void* opaque, std::uint8_t* data, int size);
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

  Error creationFailed(int code, const std::string& step) const {
    return av::error(code, "Could not create " + quoted(path) + ": " + step);
  }
  Error encodingFailed(int code) const {
    return av::error(code, "Could not encode the audio for " + quoted(path));
  }
  Error writingFailed(int code) const { return av::error(code, "Could not write to " + quoted(path)); }

  std::optional<Error> encodePending();
  std::optional<Error> sendToEncoder(const AVFrame* frame);
  int ioError() const { return muxer->pb->error; }
  // Syncs what was written; the file then ends with a complete fragment.
  int syncIfWritten();
  void cutToLastFragment();
  std::optional<Error> finishEncoding();
  void release();

  const std::filesystem::path path;
  const AVAudioFormat format;
  std::atomic<std::int64_t> framesWritten{0};

  std::mutex mutex;  // serialises writes and finish
  FileDescriptor fd;
  FileDescriptor fileLock;  // the file's lock, held from its creation until it has its final form
  bool unsyncedBytes = false;
  off_t completeSize = -1;  // the file's size after the last sync, once there was one
  CustomIoPtr io;
  MuxerPtr muxer;
  AVStream* stream = nullptr;
  const AVOutputFormat* container = nullptr;
  CodecContextPtr encoder;
  FramePtr frame;
  PacketPtr packet;
  int pending = 0;           // samples in `frame` not yet sent to the encoder
  std::int64_t nextPts = 0;  // in samples
  std::int64_t priming = 0;

  std::optional<Error> writeError;  // the first failure; later writes report it again
  bool finished = false;
  std::optional<Error> finishError;
  std::optional<Error> conversionError;
};

int AVAudioFile::Impl::writePacket(void* opaque, std::uint8_t* data, int size) {
  auto* self = static_cast<Impl*>(opaque);
  int left = size;
  while (left > 0) {
    const ssize_t written = ::write(self->fd.get(), data, static_cast<std::size_t>(left));
    if (written < 0) {
      if (errno == EINTR) continue;
      return AVERROR(errno);
    }
    self->unsyncedBytes = true;
    data += written;
    left -= static_cast<int>(written);
  }
  return size;
}

std::int64_t AVAudioFile::Impl::seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<Impl*>(opaque);
  if ((whence & AVSEEK_SIZE) != 0) {
    struct stat status {};
    if (::fstat(self->fd.get(), &status) != 0) return AVERROR(errno);
    return status.st_size;
  }
  const off_t position = ::lseek(self->fd.get(), offset, whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : position;
}

std::optional<Error> AVAudioFile::Impl::open(int sampleRate, int channels,
                                             std::optional<std::int64_t> bitRate) {
  if (auto failed = openMuxer()) return failed;
  if (auto failed = openEncoder(sampleRate, channels, bitRate)) return failed;
  if (auto failed = addStream()) return failed;
  if (auto failed = allocateBuffers(sampleRate)) return failed;
  // The file comes last: nothing on the disk changes unless everything else is ready.
  if (auto failed = openOutputFile()) return failed;
  return writeHeader();
}

std::optional<Error> AVAudioFile::Impl::openMuxer() {
  AVFormatContext* rawMuxer = nullptr;
  const int ret = avformat_alloc_output_context2(&rawMuxer, nullptr, nullptr, path.c_str());
  if (ret < 0) return creationFailed(ret, "finding a container for its extension");
  muxer.reset(rawMuxer);
  container = muxer->oformat;
  const std::string_view containerName = container->name;
  // The fragmenting options exist only in the MPEG-4 family.
  if (containerName != "ipod" && containerName != "mp4" && containerName != "mov") {
    return creationFailed(AVERROR(EINVAL), "its extension names no MPEG-4 container");
  }
  return std::nullopt;
}

std::optional<Error> AVAudioFile::Impl::openEncoder(int sampleRate, int channels,
                                                    std::optional<std::int64_t> bitRate) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) return creationFailed(AVERROR_ENCODER_NOT_FOUND, "finding the AAC encoder");
  encoder.reset(avcodec_alloc_context3(codec));
  if (!encoder) return creationFailed(AVERROR(ENOMEM), "allocating the AAC encoder");
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = sampleRate;
  av_channel_layout_default(&encoder->ch_layout, channels);
  if (bitRate) encoder->bit_rate = *bitRate;
  encoder->time_base = AVRational{1, sampleRate};
  // MPEG-4 keeps the decoder configuration in the header, not in each packet.
  if ((container->flags & AVFMT_GLOBALHEADER) != 0) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int ret = avcodec_open2(encoder.get(), codec, nullptr);
  if (ret < 0) return creationFailed(ret, "opening the AAC encoder");
  priming = encoder->initial_padding;
  return std::nullopt;
}

std::optional<Error> AVAudioFile::Impl::addStream() {
  stream = avformat_new_stream(muxer.get(), nullptr);
  if (stream == nullptr) return creationFailed(AVERROR(ENOMEM), "adding the audio track");
  const int ret = avcodec_parameters_from_context(stream->codecpar, encoder.get());
  if (ret < 0) return creationFailed(ret, "configuring the audio track");
  stream->time_base = encoder->time_base;
  return std::nullopt;
}

std::optional<Error> AVAudioFile::Impl::allocateBuffers(int sampleRate) {
  frame.reset(av_frame_alloc());
  packet.reset(av_packet_alloc());
  if (!frame || !packet) return creationFailed(AVERROR(ENOMEM), "allocating buffers");
  frame->nb_samples = encoder->frame_size;
  frame->format = encoder->sample_fmt;
  frame->sample_rate = sampleRate;
  int ret = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  if (ret >= 0) ret = av_frame_get_buffer(frame.get(), 0);
  if (ret < 0) return creationFailed(ret, "allocating buffers");
  return std::nullopt;
}

std::optional<Error> AVAudioFile::Impl::openOutputFile() {
  // Opened without truncating: what the file holds goes only once the lock shows that no other
  // writer is recording into it.
  FileDescriptor opened;
  for (int attempt = 0;; ++attempt) {
    opened = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!opened) return creationFailed(AVERROR(errno), "opening the file");
    if (::flock(opened.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) {
        return Error("AVAudioFile", AVERROR(EBUSY),
                     "Could not create " + quoted(path) + ": the file is being recorded by another recorder");
      }
      if (!locksUnsupported(errno)) return creationFailed(AVERROR(errno), "locking the file");
      break;
    }
    // A writer that finished meanwhile renamed its final file over the name; the lock is only
    // worth something on the file the name leads to now.
    if (sameFile(opened.get(), path)) break;
    if (attempt + 1 == kOpenAttempts) return creationFailed(AVERROR(EAGAIN), "opening the file");
  }
  if (::ftruncate(opened.get(), 0) != 0) return creationFailed(AVERROR(errno), "emptying the file");
  fd = std::move(opened);
  // The writer closes fd before the conversion; this descriptor keeps the lock until it is done.
  fileLock = FileDescriptor(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!fileLock) return creationFailed(AVERROR(errno), "keeping the file locked");

  auto* ioBuffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (ioBuffer == nullptr) return creationFailed(AVERROR(ENOMEM), "allocating buffers");
  io.reset(avio_alloc_context(ioBuffer, kIoBufferSize, 1, this, nullptr, &Impl::writePacket, &Impl::seek));
  if (!io) {
    av_free(ioBuffer);
    return creationFailed(AVERROR(ENOMEM), "allocating buffers");
  }
  muxer->pb = io.get();
  muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
  return std::nullopt;
}

std::optional<Error> AVAudioFile::Impl::writeHeader() {
  // Without any of these options the file would be a plain one, which a kill leaves unplayable.
  Dictionary options;
  int ret = options.set("movflags", kFragmentedMovFlags);
  if (ret >= 0) ret = options.set("frag_duration", kFragmentDurationMicroseconds);
  if (ret >= 0) ret = options.set("flush_packets", "1");
  if (ret < 0) return creationFailed(ret, "setting up fragmenting");
  ret = avformat_write_header(muxer.get(), options.get());
  if (ret >= 0 && ioError() < 0) ret = ioError();
  if (ret < 0) return creationFailed(ret, "writing the header");
  if (options.count() != 0) return creationFailed(AVERROR_OPTION_NOT_FOUND, "setting up fragmenting");
  avio_flush(muxer->pb);
  if (ioError() < 0) return creationFailed(ioError(), "writing the header");
  ret = syncIfWritten();
  if (ret < 0) return creationFailed(ret, "writing the header");
  syncDirectory(path);
  return std::nullopt;
}

int AVAudioFile::Impl::syncIfWritten() {
  if (!unsyncedBytes) return 0;
  unsyncedBytes = false;
  if (::fdatasync(fd.get()) != 0) return AVERROR(errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) == 0) completeSize = status.st_size;
  return 0;
}

void AVAudioFile::Impl::cutToLastFragment() {
  // A failed write can leave part of a fragment behind, which decoders read as a damaged end.
  if (completeSize >= 0) (void)::ftruncate(fd.get(), completeSize);
}

// Sends what the encoder gives back to the muxer. None once the encoder wants more input.
std::optional<Error> AVAudioFile::Impl::sendToEncoder(const AVFrame* input) {
  int ret = avcodec_send_frame(encoder.get(), input);
  if (ret < 0) return encodingFailed(ret);
  for (;;) {
    ret = avcodec_receive_packet(encoder.get(), packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return std::nullopt;
    if (ret < 0) return encodingFailed(ret);
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
    ret = av_interleaved_write_frame(muxer.get(), packet.get());
    if (ret >= 0 && ioError() < 0) ret = ioError();
    if (ret < 0) return writingFailed(ret);
  }
}

std::optional<Error> AVAudioFile::Impl::encodePending() {
  frame->nb_samples = pending;
  frame->pts = nextPts;
  nextPts += pending;
  pending = 0;
  std::optional<Error> failed = sendToEncoder(frame.get());
  frame->nb_samples = encoder->frame_size;
  return failed;
}

bool AVAudioFile::Impl::write(const AVAudioPCMBuffer& buffer, Error* error) {
  std::lock_guard lock(mutex);
  auto fail = [error](const Error& e) {
    if (error != nullptr) *error = e;
    return false;
  };
  if (finished)
    return fail(av::error(AVERROR(EINVAL), "Could not write to " + quoted(path) + ", already finished"));
  if (writeError) return fail(*writeError);
  if (!buffer.format() || !(*buffer.format() == format)) {
    const std::string given = buffer.format() ? describe(*buffer.format()) : "no format";
    return fail(av::error(AVERROR(EINVAL), "Could not write a buffer of " + given + " to " + quoted(path) +
                                               ", which takes " + describe(format)));
  }
  const std::uint32_t frames = buffer.frameLength();
  if (frames == 0) return true;
  const AudioBufferList& list = *buffer.audioBufferList();
  if (list.mNumberBuffers() != format.channelCount()) {
    return fail(av::error(AVERROR(EINVAL),
                          "Could not write a buffer without one plane per channel to " + quoted(path)));
  }
  void* planes[kMaxChannels];  // the format has at most kMaxChannels
  for (std::uint32_t channel = 0; channel < format.channelCount(); ++channel) {
    const AudioBuffer& plane = list.mBuffers[channel];
    if (plane.mData == nullptr || plane.mDataByteSize < frames * sizeof(float)) {
      return fail(
          av::error(AVERROR(EINVAL),
                    "Could not write a buffer with less data than its frame length to " + quoted(path)));
    }
    planes[channel] = plane.mData;
  }
  // The encoder stops for good at a sample it cannot transform; refuse the buffer instead, so
  // that the file stays whole. No early exit: the whole scan vectorises.
  bool outOfRange = false;
  for (std::uint32_t channel = 0; channel < format.channelCount(); ++channel) {
    const auto* samples = static_cast<const float*>(planes[channel]);
    for (std::uint32_t i = 0; i < frames; ++i) outOfRange |= !(std::fabs(samples[i]) <= kLargestSample);
  }
  if (outOfRange) {
    return fail(av::error(
        AVERROR(EINVAL),
        "Could not write a buffer with a sample that is not a number or is out of range to " + quoted(path)));
  }
  // The samples are copied once, straight into the encoder's next frame, which takes whole frames.
  std::optional<Error> failed;
  for (std::uint32_t done = 0; !failed && done < frames;) {
    if (pending == 0) {
      // The encoder may still hold the last frame's buffer.
      if (const int ret = av_frame_make_writable(frame.get()); ret < 0) {
        failed = encodingFailed(ret);
        break;
      }
    }
    const auto take = std::min(frames - done, static_cast<std::uint32_t>(encoder->frame_size - pending));
    for (std::uint32_t channel = 0; channel < format.channelCount(); ++channel) {
      std::memcpy(reinterpret_cast<float*>(frame->extended_data[channel]) + pending,
                  static_cast<const float*>(planes[channel]) + done, take * sizeof(float));
    }
    pending += static_cast<int>(take);
    done += take;
    if (pending == encoder->frame_size) failed = encodePending();
  }
  // A completed fragment is on its way to the disk only once it is synced.
  if (!failed) {
    if (const int ret = syncIfWritten(); ret < 0) failed = writingFailed(ret);
  }
  if (failed) {
    writeError = std::move(failed);
    cutToLastFragment();
    return fail(*writeError);
  }
  framesWritten += frames;
  return true;
}

std::optional<Error> AVAudioFile::Impl::finishEncoding() {
  if (pending > 0) {
    if (auto failed = encodePending()) return failed;
  }
  if (auto failed = sendToEncoder(nullptr)) return failed;
  int ret = av_write_trailer(muxer.get());
  if (ret >= 0 && ioError() < 0) ret = ioError();
  if (ret >= 0) {
    avio_flush(muxer->pb);
    ret = ioError();
  }
  if (ret < 0) return av::error(ret, "Could not write the end of " + quoted(path));
  unsyncedBytes = true;
  ret = syncIfWritten();
  if (ret >= 0) ret = fd.close();
  if (ret < 0) return av::error(ret, "Could not close " + quoted(path));
  return std::nullopt;
}

void AVAudioFile::Impl::release() {
  muxer.reset();
  io.reset();
  (void)fd.close();
  frame.reset();
  packet.reset();
  encoder.reset();
}

bool AVAudioFile::Impl::finish(Error* error) {
  std::lock_guard guard(mutex);
  if (!finished) {
    finished = true;
    if (writeError) {
      finishError = writeError;
    } else if (auto failed = finishEncoding()) {
      finishError = std::move(failed);
      cutToLastFragment();
    }
    release();
    // Without a complete fragmented file there is nothing sound to convert; it stays as it is.
    // Nor is there anything to convert without audio: a plain file would lose the empty track,
    // which the fragmented one keeps.
    if (!finishError && framesWritten.load() > 0) {
      conversionError = convertToPlainFile(path, container, static_cast<int>(format.sampleRate()), priming,
                                           framesWritten.load());
    }
    (void)fileLock.close();
    removeInterruptedConversions(directoryOf(path));
  }
  if (finishError && error != nullptr) *error = *finishError;
  return !finishError;
}

std::shared_ptr<AVAudioFile> AVAudioFile::initForWriting(const std::filesystem::path& path,
                                                         const AVAudioSettings& settings,
                                                         AVAudioCommonFormat commonFormat, bool interleaved,
                                                         Error* error) {
  silenceLibraryLog();
  auto fail = [error, &path](const std::string& what) -> std::shared_ptr<AVAudioFile> {
    if (error != nullptr)
      *error = av::error(AVERROR(EINVAL), "Could not create " + quoted(path) + ": " + what);
    return nullptr;
  };
  auto setting = [&settings](const std::string& key) -> std::optional<std::int64_t> {
    const auto found = settings.find(key);
    if (found == settings.end()) return std::nullopt;
    return found->second;
  };
  const auto formatId = setting(AVFormatIDKey);
  if (!formatId || *formatId != kAudioFormatMPEG4AAC) return fail("the format ID is not MPEG-4 AAC");
  const auto sampleRate = setting(AVSampleRateKey);
  if (!sampleRate || *sampleRate <= 0 || *sampleRate > std::numeric_limits<int>::max()) {
    return fail("no valid sample rate");
  }
  const auto channels = setting(AVNumberOfChannelsKey);
  if (!channels || *channels <= 0 || *channels > kMaxChannels) return fail("no valid channel count");
  const auto bitRate = setting(AVEncoderBitRateKey);
  if (bitRate && *bitRate <= 0) return fail("the bit rate is not positive");
  if (commonFormat != AVAudioPCMFormatFloat32 || interleaved) {
    return fail("the processing format must be 32-bit float, non-interleaved");
  }
  const auto format = AVAudioFormat::initStandardFormatWithSampleRate(static_cast<double>(*sampleRate),
                                                                      static_cast<std::uint32_t>(*channels));
  if (!format) return fail("no valid processing format");

  auto impl = std::make_unique<Impl>(path, *format);
  if (auto failed = impl->open(static_cast<int>(*sampleRate), static_cast<int>(*channels), bitRate)) {
    if (error != nullptr) *error = *failed;
    // Leave nothing half-made behind if the file itself was ours (opened, locked and emptied).
    const bool created = static_cast<bool>(impl->fd);
    impl->release();
    if (created) ::unlink(path.c_str());
    return nullptr;
  }
  return std::shared_ptr<AVAudioFile>(new AVAudioFile(std::move(impl)));
}

AVAudioFile::AVAudioFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AVAudioFile::~AVAudioFile() { impl_->finish(nullptr); }

bool AVAudioFile::writeFromBuffer(const AVAudioPCMBuffer& buffer, Error* error) {
  return impl_->write(buffer, error);
}

bool AVAudioFile::finish(Error* error) { return impl_->finish(error); }

const AVAudioFormat& AVAudioFile::processingFormat() const { return impl_->format; }

std::int64_t AVAudioFile::length() const { return impl_->framesWritten.load(); }

const std::filesystem::path& AVAudioFile::url() const { return impl_->path; }

std::optional<Error> AVAudioFile::conversionError() const {
  std::lock_guard guard(impl_->mutex);
  return impl_->conversionError;
}

}  // namespace platform
