#include "platform/av_plain_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/av_handles.h"

namespace platform::av {

namespace {

// One fixed, short name for every recording: a recording's own name may already use up the
// directory's name limit.
constexpr std::string_view kTemporaryPrefix = ".system-audio-recorder-";
constexpr std::string_view kTemporarySuffix = ".part";
constexpr std::size_t kUniquePart = 6;  // mkstemps's XXXXXX

bool isTemporaryName(std::string_view name) {
  return name.size() == kTemporaryPrefix.size() + kUniquePart + kTemporarySuffix.size() &&
         name.starts_with(kTemporaryPrefix) && name.ends_with(kTemporarySuffix);
}

// What the conversion writes: nothing yet, or an MPEG-4 file, which starts with its "ftyp" box.
bool holdsOurContent(int fd) {
  char head[8] = {};
  const ssize_t read = ::pread(fd, head, sizeof head, 0);
  return read == 0 || (read == sizeof head && std::memcmp(head + 4, "ftyp", 4) == 0);
}

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

  std::optional<Error> run() {
    if (auto failed = createTemporary()) return failed;
    if (auto failed = copyPackets()) return failed;
    // Someone removed the temporary file while it was written: the copy is not where it would be
    // renamed from.
    if (!sameFile(lock_.get(), temporary_)) return fail(AVERROR(ENOENT), "keeping the temporary file");
    FileDescriptor written(::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!written) return fail(AVERROR(errno), "opening the copy to sync it");
    if (const int ret = syncFile(written.get()); ret < 0) return fail(ret, "syncing the copy");
    if (const int ret = written.close(); ret < 0) return fail(ret, "closing the copy");
    if (::rename(temporary_.c_str(), source_.c_str()) != 0)
      return fail(AVERROR(errno), "replacing the recording");
    temporary_.clear();
    syncDirectory(source_);
    return std::nullopt;
  }

 private:
  Error fail(int code, const std::string& step) const {
    return error(code, "Could not convert " + quoted(source_) + " to a plain file: " + step);
  }

  std::optional<Error> createTemporary() {
    const std::filesystem::path directory = directoryOf(source_);
    const std::string name =
        std::string(kTemporaryPrefix) + std::string(kUniquePart, 'X') + std::string(kTemporarySuffix);
    const long nameMax = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    if (nameMax > 0 && static_cast<std::size_t>(nameMax) < name.size()) {
      return fail(AVERROR(ENAMETOOLONG), "naming a temporary file in a directory whose names are this short");
    }
    std::string pattern = (directory / name).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    FileDescriptor fd(::mkstemps(buffer.data(), static_cast<int>(kTemporarySuffix.size())));
    if (!fd) return fail(AVERROR(errno), "creating a temporary file");
    temporary_ = buffer.data();
    // Held until the rename: a cleaner of interrupted conversions leaves a held file alone.
    if (::flock(fd.get(), LOCK_EX) != 0) return fail(AVERROR(errno), "locking the temporary file");
    // mkstemp makes it private; the replacement keeps the permissions the recording had.
    struct stat status {};
    if (::stat(source_.c_str(), &status) != 0 || ::fchmod(fd.get(), status.st_mode & 07777) != 0) {
      return fail(AVERROR(errno), "giving the temporary file the recording's permissions");
    }
    lock_ = std::move(fd);
    return std::nullopt;
  }

  std::optional<Error> copyPackets() {
    AVFormatContext* rawInput = nullptr;
    int ret = avformat_open_input(&rawInput, fileUrl(source_).c_str(), nullptr, nullptr);
    if (ret < 0) return fail(ret, "opening the recording");
    InputContextPtr input(rawInput);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
      return fail(AVERROR_INVALIDDATA, "finding the recording's one audio track");
    }
    AVStream* inStream = input->streams[0];

    AVFormatContext* rawOutput = nullptr;
    ret = avformat_alloc_output_context2(&rawOutput, container_, nullptr, fileUrl(temporary_).c_str());
    if (ret < 0) return fail(ret, "setting up the copy");
    OutputContextPtr output(rawOutput);
    AVStream* outStream = avformat_new_stream(output.get(), nullptr);
    if (outStream == nullptr) return fail(AVERROR(ENOMEM), "adding the track to the copy");
    ret = avcodec_parameters_copy(outStream->codecpar, inStream->codecpar);
    if (ret < 0) return fail(ret, "adding the track to the copy");
    outStream->codecpar->codec_tag = 0;
    outStream->time_base = timeBase_;
    ret = avio_open(&output->pb, fileUrl(temporary_).c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) return fail(ret, "opening the temporary file");
    Dictionary options;
    ret = options.set("movflags", "+faststart");
    if (ret < 0) return fail(ret, "setting the copy's options");
    ret = avformat_write_header(output.get(), options.get());
    if (ret < 0) return fail(ret, "writing the copy's header");
    if (options.count() != 0) return fail(AVERROR_OPTION_NOT_FOUND, "setting the copy's options");

    PacketPtr current(av_packet_alloc());
    PacketPtr next(av_packet_alloc());
    if (!current || !next) return fail(AVERROR(ENOMEM), "allocating packets");
    // Only the end of the file ends the copy; a read error must not pass for it.
    int readError = 0;
    auto read = [&input, &readError](AVPacket* packet) {
      const int result = av_read_frame(input.get(), packet);
      if (result < 0 && result != AVERROR_EOF) readError = result;
      return result >= 0;
    };
    bool haveCurrent = read(current.get());
    std::optional<std::int64_t> firstDts;
    std::int64_t end = 0;
    while (haveCurrent) {
      const bool haveNext = read(next.get());
      if (readError < 0) return fail(readError, "reading the recording");
      if (current->dts == AV_NOPTS_VALUE) return fail(AVERROR_INVALIDDATA, "reading the recording's timing");
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
      ret = av_interleaved_write_frame(output.get(), current.get());
      if (ret < 0) return fail(ret, "writing the copy");
      std::swap(current, next);
      av_packet_unref(next.get());
      haveCurrent = haveNext;
    }
    if (readError < 0) return fail(readError, "reading the recording");
    // The copy replaces the recording only if it holds every frame that was written.
    if (end < totalFrames_) return fail(AVERROR_INVALIDDATA, "finding every written frame in the recording");
    ret = av_write_trailer(output.get());
    if (ret >= 0 && output->pb->error < 0) ret = output->pb->error;
    if (ret < 0) return fail(ret, "writing the end of the copy");
    ret = avio_closep(&output->pb);
    if (ret < 0) return fail(ret, "closing the copy");
    return std::nullopt;
  }

  std::filesystem::path source_;
  const AVOutputFormat* container_;
  AVRational timeBase_;
  std::int64_t priming_;
  std::int64_t totalFrames_;
  std::string temporary_;
  FileDescriptor lock_;  // the temporary file, locked
};

}  // namespace

std::optional<Error> convertToPlainFile(const std::filesystem::path& source, const AVOutputFormat* container,
                                        int sampleRate, std::int64_t priming, std::int64_t totalFrames) {
  return PlainFileConversion(source, container, sampleRate, priming, totalFrames).run();
}

void removeInterruptedConversions(const std::filesystem::path& directory) {
  std::error_code failed;
  for (std::filesystem::directory_iterator entry(directory, failed), end; !failed && entry != end;
       entry.increment(failed)) {
    if (!isTemporaryName(entry->path().filename().string())) continue;
    FileDescriptor fd(::open(entry->path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    // A conversion that runs holds its file; once this lock is ours, none will.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    if (sameFile(fd.get(), entry->path()) && holdsOurContent(fd.get())) ::unlink(entry->path().c_str());
  }
}

}  // namespace platform::av
