// The AAC file writer on FFmpeg. While recording the file is fragmented MPEG-4 with every completed
// fragment pushed to the disk, so that whatever happens to the process the file plays up to its
// last second; finish() turns it into a plain file by stream copy and an atomic rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/av_audio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace platform {

namespace {

constexpr const char* kErrorDomain = "AVAudioFile";
// Small, so that a fragment leaves FFmpeg's buffer at once and an I/O error shows at its write.
constexpr int kIoBufferSize = 32 * 1024;
constexpr const char* kFragmentedMovFlags = "+frag_keyframe+empty_moov+default_base_moof";
constexpr const char* kFragmentDurationMicroseconds = "1000000";
// Far beyond any real signal (full scale is 1) and far below where the encoder's transform overflows.
constexpr float kLargestSample = 1e20f;

std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) std::snprintf(text, sizeof text, "error %d", code);
  return text;
}

Error avError(int code, const std::string& context) {
  return Error(kErrorDomain, code, context + ": " + avErrorText(code));
}

std::string quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// libavformat reads "name:" at the front of a path as a protocol; this keeps it a plain file.
std::string fileUrl(const std::filesystem::path& path) { return "file:" + path.string(); }

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
struct CustomIoDeleter {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
// An output context whose pb, if any, belongs to it (opened with avio_open).
struct OutputContextDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb != nullptr && (context->oformat->flags & AVFMT_NOFILE) == 0) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
// An output context whose pb is a custom one owned elsewhere.
struct MuxerDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct InputContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoDeleter>;
using CustomIoPtr = std::unique_ptr<AVIOContext, CustomIoDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using MuxerPtr = std::unique_ptr<AVFormatContext, MuxerDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

class Dictionary {
 public:
  Dictionary() = default;
  ~Dictionary() { av_dict_free(&entries_); }
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  void set(const char* key, const char* value) { av_dict_set(&entries_, key, value, 0); }
  AVDictionary** get() { return &entries_; }
  int count() const { return av_dict_count(entries_); }

 private:
  AVDictionary* entries_ = nullptr;
};

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // 0, or the AVERROR of a failed close (NFS and the like report write errors only here).
  int close() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return AVERROR(errno);
    return 0;
  }

 private:
  int fd_ = -1;
};

int syncFile(int fd) { return ::fsync(fd) == 0 ? 0 : AVERROR(errno); }

// Makes a rename or a creation in the directory durable. Some file systems cannot sync a
// directory; that is no reason to fail the recording.
void syncDirectory(const std::filesystem::path& file) {
  const std::filesystem::path directory = file.has_parent_path() ? file.parent_path() : ".";
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

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

// Copies the fragmented file at `source` into a plain MPEG-4 file (index at the front, edit list
// hiding the encoder's priming), then replaces `source` with it atomically. False, with the source
// untouched and no temporary file left, when any step fails.
class PlainFileConversion {
 public:
  PlainFileConversion(const std::filesystem::path& source, const AVOutputFormat* container, int sampleRate,
                      std::int64_t priming, std::int64_t totalFrames)
      : source_(source),
        container_(container),
        timeBase_{1, sampleRate},
        priming_(priming),
        totalFrames_(totalFrames) {}

  ~PlainFileConversion() {
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }
  PlainFileConversion(const PlainFileConversion&) = delete;
  PlainFileConversion& operator=(const PlainFileConversion&) = delete;

  bool run() {
    if (!createTemporary() || !copyPackets()) return false;
    FileDescriptor written(::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!written || syncFile(written.get()) != 0 || written.close() != 0) return false;
    if (::rename(temporary_.c_str(), source_.c_str()) != 0) return false;
    temporary_.clear();
    syncDirectory(source_);
    return true;
  }

 private:
  bool createTemporary() {
    std::string pattern = source_.string() + ".XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    FileDescriptor fd(::mkstemp(name.data()));
    if (!fd) return false;
    temporary_ = name.data();
    // mkstemp makes it private; the replacement keeps the permissions the recording had.
    struct stat status {};
    return ::stat(source_.c_str(), &status) == 0 && ::fchmod(fd.get(), status.st_mode & 07777) == 0;
  }

  bool copyPackets() {
    AVFormatContext* rawInput = nullptr;
    if (avformat_open_input(&rawInput, fileUrl(source_).c_str(), nullptr, nullptr) < 0) return false;
    InputContextPtr input(rawInput);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) return false;
    AVStream* inStream = input->streams[0];

    AVFormatContext* rawOutput = nullptr;
    if (avformat_alloc_output_context2(&rawOutput, container_, nullptr, fileUrl(temporary_).c_str()) < 0) {
      return false;
    }
    OutputContextPtr output(rawOutput);
    AVStream* outStream = avformat_new_stream(output.get(), nullptr);
    if (outStream == nullptr || avcodec_parameters_copy(outStream->codecpar, inStream->codecpar) < 0)
      return false;
    outStream->codecpar->codec_tag = 0;
    outStream->time_base = timeBase_;
    if (avio_open(&output->pb, fileUrl(temporary_).c_str(), AVIO_FLAG_WRITE) < 0) return false;
    Dictionary options;
    options.set("movflags", "+faststart");
    if (avformat_write_header(output.get(), options.get()) < 0) return false;

    PacketPtr current(av_packet_alloc());
    PacketPtr next(av_packet_alloc());
    if (!current || !next) return false;
    // Only the end of the file ends the copy; a read error must not pass for it.
    auto read = [&input](AVPacket* packet, bool* failed) {
      const int ret = av_read_frame(input.get(), packet);
      if (ret < 0 && ret != AVERROR_EOF) *failed = true;
      return ret >= 0;
    };
    bool readFailed = false;
    bool haveCurrent = read(current.get(), &readFailed);
    std::optional<std::int64_t> firstDts;
    std::int64_t end = 0;
    while (haveCurrent) {
      const bool haveNext = read(next.get(), &readFailed);
      if (readFailed) return false;
      if (current->dts == AV_NOPTS_VALUE) return false;
      if (!firstDts) firstDts = current->dts;
      // The fragmented file starts at 0: the priming's negative start is put back so that the
      // muxer writes the edit list that hides it.
      const std::int64_t dts =
          av_rescale_q(current->dts - *firstDts, inStream->time_base, timeBase_) - priming_;
      std::int64_t duration = av_rescale_q(current->duration, inStream->time_base, timeBase_);
      if (haveNext && next->dts != AV_NOPTS_VALUE) {
        duration = av_rescale_q(next->dts - *firstDts, inStream->time_base, timeBase_) - priming_ - dts;
      } else if (!haveNext) {
        // The last packet ends exactly where the written audio ends.
        const std::int64_t remaining = totalFrames_ - dts;
        if (remaining > 0 && remaining <= 2 * std::max<std::int64_t>(duration, 1024)) duration = remaining;
      }
      current->stream_index = 0;
      current->dts = dts;
      current->pts = dts;
      current->duration = duration;
      current->pos = -1;
      end = dts + duration;
      if (av_interleaved_write_frame(output.get(), current.get()) < 0) return false;
      std::swap(current, next);
      av_packet_unref(next.get());
      haveCurrent = haveNext;
    }
    // The copy replaces the recording only if it holds every frame that was written.
    if (readFailed || end < totalFrames_) return false;
    if (av_write_trailer(output.get()) < 0 || output->pb->error < 0) return false;
    return avio_closep(&output->pb) >= 0;
  }

  std::filesystem::path source_;
  const AVOutputFormat* container_;
  AVRational timeBase_;
  std::int64_t priming_;
  std::int64_t totalFrames_;
  std::string temporary_;
};

}  // namespace

struct AVAudioFile::Impl {
  Impl(std::filesystem::path filePath, AVAudioFormat format)
      : path(std::move(filePath)), format(std::move(format)) {}

  bool open(int sampleRate, int channels, std::optional<std::int64_t> bitRate, Error* error);
  bool write(const AVAudioPCMBuffer& buffer, Error* error);
  bool finish(Error* error);

  static int writePacket(void* opaque, std::uint8_t* data, int size);
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

  int encodeFromFifo(int frames);
  int sendToEncoder(const AVFrame* frame);
  int ioError() const { return muxer->pb->error; }
  std::string failedStep() const {
    return (encoderFailed ? "Could not encode the audio for " : "Could not write to ") + quoted(path);
  }
  // Syncs what was written; the file then ends with a complete fragment.
  int syncIfWritten();
  void cutToLastFragment();
  bool finishEncoding(Error* error);
  void release();

  const std::filesystem::path path;
  const AVAudioFormat format;
  std::atomic<std::int64_t> framesWritten{0};

  std::mutex mutex;  // serialises writes and finish
  FileDescriptor fd;
  bool unsyncedBytes = false;
  off_t completeSize = -1;  // the file's size after the last sync, once there was one
  CustomIoPtr io;
  MuxerPtr muxer;
  AVStream* stream = nullptr;
  const AVOutputFormat* container = nullptr;
  CodecContextPtr encoder;
  FramePtr frame;
  PacketPtr packet;
  FifoPtr fifo;
  std::int64_t nextPts = 0;  // in samples
  std::int64_t priming = 0;
  bool encoderFailed = false;  // whether the last failure was the encoder's rather than the file's

  std::optional<Error> writeError;  // the first failure; later writes report it again
  bool finished = false;
  std::optional<Error> finishError;
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

bool AVAudioFile::Impl::open(int sampleRate, int channels, std::optional<std::int64_t> bitRate,
                             Error* error) {
  auto fail = [error](const Error& e) {
    if (error != nullptr) *error = e;
    return false;
  };

  AVFormatContext* rawMuxer = nullptr;
  int ret = avformat_alloc_output_context2(&rawMuxer, nullptr, nullptr, path.c_str());
  if (ret < 0) return fail(avError(ret, "Could not find a container for " + quoted(path)));
  muxer.reset(rawMuxer);
  container = muxer->oformat;
  const std::string_view containerName = container->name;
  // The fragmenting options below exist only in the MPEG-4 family.
  if (containerName != "ipod" && containerName != "mp4" && containerName != "mov") {
    return fail(avError(AVERROR(EINVAL), "The extension of " + quoted(path) + " names no MPEG-4 container"));
  }

  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) return fail(avError(AVERROR_ENCODER_NOT_FOUND, "Could not find the AAC encoder"));
  encoder.reset(avcodec_alloc_context3(codec));
  if (!encoder) return fail(avError(AVERROR(ENOMEM), "Could not allocate the AAC encoder"));
  encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  encoder->sample_rate = sampleRate;
  av_channel_layout_default(&encoder->ch_layout, channels);
  if (bitRate) encoder->bit_rate = *bitRate;
  encoder->time_base = AVRational{1, sampleRate};
  // MPEG-4 keeps the decoder configuration in the header, not in each packet.
  if ((container->flags & AVFMT_GLOBALHEADER) != 0) encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ret = avcodec_open2(encoder.get(), codec, nullptr);
  if (ret < 0) return fail(avError(ret, "Could not open the AAC encoder for " + quoted(path)));
  priming = encoder->initial_padding;

  stream = avformat_new_stream(muxer.get(), nullptr);
  if (stream == nullptr) return fail(avError(AVERROR(ENOMEM), "Could not add a stream to " + quoted(path)));
  ret = avcodec_parameters_from_context(stream->codecpar, encoder.get());
  if (ret < 0) return fail(avError(ret, "Could not configure the stream of " + quoted(path)));
  stream->time_base = encoder->time_base;

  fifo.reset(av_audio_fifo_alloc(encoder->sample_fmt, channels, encoder->frame_size));
  frame.reset(av_frame_alloc());
  packet.reset(av_packet_alloc());
  if (!fifo || !frame || !packet) return fail(avError(AVERROR(ENOMEM), "Could not allocate buffers"));
  frame->nb_samples = encoder->frame_size;
  frame->format = encoder->sample_fmt;
  frame->sample_rate = sampleRate;
  ret = av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
  if (ret >= 0) ret = av_frame_get_buffer(frame.get(), 0);
  if (ret < 0) return fail(avError(ret, "Could not allocate buffers"));

  fd = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) return fail(avError(AVERROR(errno), "Could not open output file " + quoted(path)));
  auto* ioBuffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (ioBuffer == nullptr) return fail(avError(AVERROR(ENOMEM), "Could not allocate buffers"));
  io.reset(avio_alloc_context(ioBuffer, kIoBufferSize, 1, this, nullptr, &Impl::writePacket, &Impl::seek));
  if (!io) {
    av_free(ioBuffer);
    return fail(avError(AVERROR(ENOMEM), "Could not allocate buffers"));
  }
  muxer->pb = io.get();
  muxer->flags |= AVFMT_FLAG_CUSTOM_IO;

  Dictionary options;
  options.set("movflags", kFragmentedMovFlags);
  options.set("frag_duration", kFragmentDurationMicroseconds);
  options.set("flush_packets", "1");
  ret = avformat_write_header(muxer.get(), options.get());
  if (ret >= 0 && ioError() < 0) ret = ioError();
  if (ret < 0) return fail(avError(ret, "Could not write the header of " + quoted(path)));
  if (options.count() != 0) {
    return fail(avError(AVERROR_OPTION_NOT_FOUND, "Could not set up fragmenting for " + quoted(path)));
  }
  avio_flush(muxer->pb);
  if (ioError() < 0) return fail(avError(ioError(), "Could not write the header of " + quoted(path)));
  ret = syncIfWritten();
  if (ret < 0) return fail(avError(ret, "Could not write the header of " + quoted(path)));
  syncDirectory(path);
  return true;
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

// Sends what the encoder gives back to the muxer. 0 once the encoder wants more input.
int AVAudioFile::Impl::sendToEncoder(const AVFrame* input) {
  encoderFailed = true;
  int ret = avcodec_send_frame(encoder.get(), input);
  if (ret < 0) return ret;
  for (;;) {
    encoderFailed = true;
    ret = avcodec_receive_packet(encoder.get(), packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return 0;
    if (ret < 0) return ret;
    encoderFailed = false;
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
    ret = av_interleaved_write_frame(muxer.get(), packet.get());
    if (ret >= 0 && ioError() < 0) ret = ioError();
    if (ret < 0) return ret;
  }
}

int AVAudioFile::Impl::encodeFromFifo(int frames) {
  int ret = av_frame_make_writable(frame.get());
  if (ret < 0) return ret;
  frame->nb_samples = frames;
  if (av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), frames) != frames) {
    return AVERROR_BUG;
  }
  frame->pts = nextPts;
  nextPts += frames;
  return sendToEncoder(frame.get());
}

bool AVAudioFile::Impl::write(const AVAudioPCMBuffer& buffer, Error* error) {
  std::lock_guard lock(mutex);
  auto fail = [error](const Error& e) {
    if (error != nullptr) *error = e;
    return false;
  };
  if (finished)
    return fail(avError(AVERROR(EINVAL), "Could not write to " + quoted(path) + ", already finished"));
  if (writeError) return fail(*writeError);
  if (!buffer.format() || !(*buffer.format() == format)) {
    const std::string given = buffer.format() ? describe(*buffer.format()) : "no format";
    return fail(avError(AVERROR(EINVAL), "Could not write a buffer of " + given + " to " + quoted(path) +
                                             ", which takes " + describe(format)));
  }
  const std::uint32_t frames = buffer.frameLength();
  if (frames == 0) return true;
  const AudioBufferList& list = *buffer.audioBufferList();
  if (list.mNumberBuffers() != format.channelCount()) {
    return fail(avError(AVERROR(EINVAL),
                        "Could not write a buffer without one plane per channel to " + quoted(path)));
  }
  void* planes[kMaxChannels];  // the format has at most kMaxChannels
  for (std::uint32_t channel = 0; channel < format.channelCount(); ++channel) {
    const AudioBuffer& plane = list.mBuffers[channel];
    if (plane.mData == nullptr || plane.mDataByteSize < frames * sizeof(float)) {
      return fail(
          avError(AVERROR(EINVAL),
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
    return fail(avError(
        AVERROR(EINVAL),
        "Could not write a buffer with a sample that is not a number or is out of range to " + quoted(path)));
  }
  if (av_audio_fifo_write(fifo.get(), planes, static_cast<int>(frames)) != static_cast<int>(frames)) {
    return fail(avError(AVERROR(ENOMEM), "Could not queue audio for " + quoted(path)));
  }
  int ret = 0;
  while (ret >= 0 && av_audio_fifo_size(fifo.get()) >= encoder->frame_size) {
    ret = encodeFromFifo(encoder->frame_size);
  }
  // A completed fragment is on its way to the disk only once it is synced.
  if (ret >= 0) {
    encoderFailed = false;
    ret = syncIfWritten();
  }
  if (ret < 0) {
    writeError = avError(ret, failedStep());
    cutToLastFragment();
    return fail(*writeError);
  }
  framesWritten += frames;
  return true;
}

bool AVAudioFile::Impl::finishEncoding(Error* error) {
  auto fail = [error, this](int code, const char* what) {
    if (error != nullptr) *error = avError(code, std::string(what) + " " + quoted(path));
    return false;
  };
  int ret = 0;
  if (const int left = av_audio_fifo_size(fifo.get()); left > 0) ret = encodeFromFifo(left);
  if (ret >= 0) ret = sendToEncoder(nullptr);
  if (ret < 0) {
    if (error != nullptr) *error = avError(ret, failedStep());
    return false;
  }
  ret = av_write_trailer(muxer.get());
  if (ret >= 0 && ioError() < 0) ret = ioError();
  if (ret >= 0) {
    avio_flush(muxer->pb);
    ret = ioError();
  }
  if (ret < 0) return fail(ret, "Could not write the end of");
  unsyncedBytes = true;
  ret = syncIfWritten();
  if (ret >= 0) ret = fd.close();
  if (ret < 0) return fail(ret, "Could not close");
  return true;
}

void AVAudioFile::Impl::release() {
  muxer.reset();
  io.reset();
  fd.close();
  fifo.reset();
  frame.reset();
  packet.reset();
  encoder.reset();
}

bool AVAudioFile::Impl::finish(Error* error) {
  std::lock_guard lock(mutex);
  if (!finished) {
    finished = true;
    Error failure;
    if (writeError) {
      finishError = writeError;
    } else if (!finishEncoding(&failure)) {
      finishError = failure;
      cutToLastFragment();
    }
    release();
    // Without a complete fragmented file there is nothing sound to convert; it stays as it is.
    if (!finishError) {
      PlainFileConversion(path, container, static_cast<int>(format.sampleRate()), priming,
                          framesWritten.load())
          .run();
    }
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
    if (error != nullptr) *error = avError(AVERROR(EINVAL), "Could not create " + quoted(path) + ": " + what);
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
  if (!impl->open(static_cast<int>(*sampleRate), static_cast<int>(*channels), bitRate, error)) {
    // Leave nothing half-made behind if the file itself was created.
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

}  // namespace platform
