// The AAC file writer, judged by FFmpeg's own tools: format, length and content of finished files,
// and what is left on the disk when the process dies or the disk refuses data mid-recording.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/av_audio.h"
#include "support/child_process.h"
#include "support/media_probe.h"
#include "support/temp_dir.h"

namespace platform {
namespace {

using testing_support::decodeAudio;
using testing_support::limitFileSize;
using testing_support::probeAudio;
using testing_support::runInChild;
using testing_support::TempDir;
using testing_support::toneFrequency;
using testing_support::topLevelBoxes;

constexpr int kRate = 48000;
constexpr double kToneHz = 1000;
constexpr double kOneAacFrame = 1024.0 / kRate;

const AVAudioSettings kSettings{{AVFormatIDKey, kAudioFormatMPEG4AAC},
                                {AVSampleRateKey, kRate},
                                {AVNumberOfChannelsKey, 2},
                                {AVEncoderBitRateKey, 128000}};

bool contains(const std::vector<std::string>& items, const std::string& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

std::vector<std::string> directoryEntries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Writes a 1 kHz tone continuing from frame `start` in chunks of `chunkFrames` (not a divisor of
// the encoder's frame, so the writer has to regroup). Stops at the first failed write and returns
// the frames written before it.
struct ToneWriter {
  explicit ToneWriter(std::uint32_t chunkFrames, double rate = kRate, std::uint32_t channels = 2)
      : buffer(AVAudioPCMBuffer::initWithPCMFormat(
            AVAudioFormat::initStandardFormatWithSampleRate(rate, channels), chunkFrames)) {}

  std::int64_t write(AVAudioFile& file, std::int64_t frames, Error* error = nullptr) {
    std::int64_t written = 0;
    while (written < frames) {
      const auto chunk =
          static_cast<std::uint32_t>(std::min<std::int64_t>(buffer->frameCapacity(), frames - written));
      for (std::uint32_t i = 0; i < chunk; ++i) {
        const float value =
            0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * kToneHz * next / kRate));
        for (std::uint32_t c = 0; c < buffer->format()->channelCount(); ++c)
          buffer->floatChannelData(c)[i] = value;
        ++next;
      }
      buffer->setFrameLength(chunk);
      if (!file.writeFromBuffer(*buffer, error)) break;
      written += chunk;
    }
    return written;
  }

  AVAudioPCMBufferRef buffer;
  std::int64_t next = 0;
};

class AudioFileTest : public ::testing::Test {
 protected:
  std::filesystem::path path(const std::string& name = "recording.m4a") const { return dir.path() / name; }

  AVAudioFileRef create(const std::filesystem::path& file) {
    Error error;
    auto created = AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, &error);
    EXPECT_TRUE(created) << error.localizedDescription();
    return created;
  }

  // The decoded file holds the tone for `expectedFrames` frames, give or take `slack`.
  static void expectTone(const std::filesystem::path& file, std::int64_t expectedFrames, std::int64_t slack) {
    const std::vector<float> decoded = decodeAudio(file, 2);
    const auto frames = static_cast<std::int64_t>(decoded.size() / 2);
    EXPECT_NEAR(static_cast<double>(frames), static_cast<double>(expectedFrames), static_cast<double>(slack));
    EXPECT_NEAR(toneFrequency(decoded, 2, 0, kRate), kToneHz, 2.0);
    EXPECT_NEAR(toneFrequency(decoded, 2, 1, kRate), kToneHz, 2.0);
  }

  TempDir dir;
};

TEST_F(AudioFileTest, FinishedFileIsPlainAacOfTheWrittenLength) {
  const auto file = path();
  auto writer = create(file);
  ASSERT_TRUE(writer);
  struct stat created {};
  ASSERT_EQ(stat(file.c_str(), &created), 0);
  EXPECT_TRUE(contains(topLevelBoxes(file), "moov"));

  const std::int64_t frames = 3 * kRate + 777;
  ToneWriter tone(441);
  ASSERT_EQ(tone.write(*writer, frames), frames);
  EXPECT_EQ(writer->length(), frames);
  Error error;
  ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  EXPECT_TRUE(writer->finish(&error));

  const auto probed = probeAudio(file);
  ASSERT_TRUE(probed.ok) << probed.error;
  EXPECT_EQ(probed.codecName, "aac");
  EXPECT_EQ(probed.profile, "LC");
  EXPECT_EQ(probed.sampleRate, 48000);
  EXPECT_EQ(probed.channels, 2);
  EXPECT_NEAR(static_cast<double>(probed.bitRate), 128000, 16000);
  // Exact but for rounding; a missing edit list would show the priming, a whole frame.
  EXPECT_NEAR(probed.duration, static_cast<double>(frames) / kRate, kOneAacFrame / 2);
  expectTone(file, frames, 1024);

  // Plain, index first; no temporary file left; the permissions it was created with.
  const auto boxes = topLevelBoxes(file);
  EXPECT_FALSE(contains(boxes, "moof"));
  const auto moov = std::find(boxes.begin(), boxes.end(), "moov");
  EXPECT_LT(moov - boxes.begin(), std::find(boxes.begin(), boxes.end(), "mdat") - boxes.begin());
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"recording.m4a"});
  struct stat finished {};
  ASSERT_EQ(stat(file.c_str(), &finished), 0);
  EXPECT_EQ(finished.st_mode, created.st_mode);

  EXPECT_FALSE(writer->writeFromBuffer(*tone.buffer, &error));
}

TEST_F(AudioFileTest, ReleasingTheLastReferenceFinishesTheFile) {
  const auto file = path();
  {
    auto writer = create(file);
    ASSERT_TRUE(writer);
    ToneWriter tone(480);
    ASSERT_EQ(tone.write(*writer, kRate), kRate);
  }
  EXPECT_FALSE(contains(topLevelBoxes(file), "moof"));
  const auto probed = probeAudio(file);
  ASSERT_TRUE(probed.ok) << probed.error;
  EXPECT_NEAR(probed.duration, 1.0, kOneAacFrame);
}

// The owner may finish the file on another thread while a late write is under way: every write
// either lands in the finished file or is refused.
TEST_F(AudioFileTest, FinishOnAnotherThreadWhileWriting) {
  const auto file = path();
  auto writer = create(file);
  ASSERT_TRUE(writer);
  std::atomic<std::int64_t> accepted{0};
  std::thread late([&] {
    ToneWriter tone(480);
    while (accepted < 60 * kRate) {
      const std::int64_t written = tone.write(*writer, 480);
      if (written == 0) break;
      accepted += written;
    }
  });
  while (accepted < kRate / 2) std::this_thread::yield();
  Error error;
  EXPECT_TRUE(writer->finish(&error)) << error.localizedDescription();
  late.join();
  EXPECT_EQ(writer->length(), accepted.load());
  EXPECT_NEAR(probeAudio(file).duration, static_cast<double>(accepted.load()) / kRate, kOneAacFrame / 2);
}

// A file with no audio at all still holds its AAC track, of no duration: the fragmented layout
// keeps an empty track, which a plain file would drop.
TEST_F(AudioFileTest, FileWithoutAudioHasAnEmptyAacTrack) {
  const auto file = path();
  auto writer = create(file);
  ASSERT_TRUE(writer);
  Error error;
  ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  EXPECT_FALSE(writer->conversionError());
  const auto probed = probeAudio(file);
  ASSERT_TRUE(probed.ok) << probed.error;
  EXPECT_EQ(probed.codecName, "aac");
  EXPECT_EQ(probed.sampleRate, 48000);
  EXPECT_EQ(probed.channels, 2);
  EXPECT_EQ(probed.duration, 0);
  EXPECT_TRUE(decodeAudio(file, 2).empty());
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"recording.m4a"});
}

// The conversion's temporary name does not grow with the recording's: a name at the limit of
// the file system still ends as a plain file.
TEST_F(AudioFileTest, NameAtTheFileSystemsLimitIsConverted) {
  const std::string name = std::string(251, 'n') + ".m4a";
  ASSERT_EQ(name.size(), 255u);
  const auto file = path(name);
  auto writer = create(file);
  ASSERT_TRUE(writer);
  ToneWriter tone(480);
  ASSERT_EQ(tone.write(*writer, kRate), kRate);
  Error error;
  ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  const auto reason = writer->conversionError();
  EXPECT_FALSE(reason) << reason->localizedDescription();
  EXPECT_FALSE(contains(topLevelBoxes(file), "moof"));
  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{name});
}

// While a writer records into a path, a second one there is refused and the recording stays
// whole; once finished, it is an ordinary file that a new recording replaces.
TEST_F(AudioFileTest, PathThatIsBeingRecordedIsNotOverwritten) {
  const auto file = path();
  auto first = create(file);
  ASSERT_TRUE(first);
  ToneWriter tone(480);
  ASSERT_EQ(tone.write(*first, 2 * kRate), 2 * kRate);
  const auto sizeBefore = std::filesystem::file_size(file);

  Error error;
  EXPECT_FALSE(AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, &error));
  EXPECT_EQ(error.localizedDescription(),
            "Could not create '" + file.string() + "': the file is being recorded by another recorder");
  EXPECT_EQ(std::filesystem::file_size(file), sizeBefore);

  ASSERT_EQ(tone.write(*first, kRate), kRate);
  ASSERT_TRUE(first->finish(&error)) << error.localizedDescription();
  expectTone(file, 3 * kRate, 1024);

  auto second = create(file);
  ASSERT_TRUE(second);
  ToneWriter(480).write(*second, kRate);
  ASSERT_TRUE(second->finish(&error)) << error.localizedDescription();
  EXPECT_NEAR(probeAudio(file).duration, 1.0, kOneAacFrame / 2);
}

TEST_F(AudioFileTest, CreationFailsWithTheReason) {
  AVAudioSettings mp3 = kSettings;
  mp3[AVFormatIDKey] = 0x2e6d7033;  // '.mp3'
  AVAudioSettings noRate = kSettings;
  noRate.erase(AVSampleRateKey);
  const struct {
    const char* what;
    std::filesystem::path file;
    AVAudioSettings settings;
    AVAudioCommonFormat commonFormat;
    bool interleaved;
    std::string expected;
  } cases[] = {
      {"missing directory", path("missing/x.m4a"), kSettings, AVAudioPCMFormatFloat32, false,
       "Could not create '" + path("missing/x.m4a").string() +
           "': opening the file: No such file or directory"},
      {"not AAC", path(), mp3, AVAudioPCMFormatFloat32, false, "MPEG-4 AAC"},
      {"no sample rate", path(), noRate, AVAudioPCMFormatFloat32, false, "sample rate"},
      {"interleaved", path(), kSettings, AVAudioPCMFormatFloat32, true, "non-interleaved"},
      {"16-bit", path(), kSettings, AVAudioPCMFormatInt16, false, "32-bit float"},
      {"not MPEG-4", path("x.wav"), kSettings, AVAudioPCMFormatFloat32, false, "no MPEG-4 container"},
  };
  for (const auto& c : cases) {
    Error error;
    EXPECT_FALSE(AVAudioFile::initForWriting(c.file, c.settings, c.commonFormat, c.interleaved, &error))
        << c.what;
    EXPECT_NE(error.localizedDescription().find(c.expected), std::string::npos)
        << c.what << ": " << error.localizedDescription();
    EXPECT_TRUE(directoryEntries(dir.path()).empty()) << c.what;
  }
}

// A stereo 48 kHz buffer of a steady level with one bad sample.
AVAudioPCMBufferRef bufferWithSample(float bad) {
  auto buffer =
      AVAudioPCMBuffer::initWithPCMFormat(AVAudioFormat::initStandardFormatWithSampleRate(kRate, 2), 480);
  buffer->setFrameLength(480);
  for (std::uint32_t c = 0; c < 2; ++c) std::fill_n(buffer->floatChannelData(c), 480, 0.25f);
  buffer->floatChannelData(1)[100] = bad;
  return buffer;
}

TEST_F(AudioFileTest, RefusedBuffersDoNotSpoilTheFile) {
  const auto file = path();
  auto writer = create(file);
  ASSERT_TRUE(writer);
  ToneWriter tone(480);
  ASSERT_EQ(tone.write(*writer, kRate / 2), kRate / 2);

  const struct {
    const char* what;
    AVAudioPCMBufferRef buffer;
    std::string expected;
  } cases[] = {
      {"mono", ToneWriter(480, kRate, 1).buffer, "buffer of 48000 Hz, 1 channel(s)"},
      {"44100 Hz", ToneWriter(480, 44100, 2).buffer, "buffer of 44100 Hz, 2 channel(s)"},
      {"not a number", bufferWithSample(std::nanf("")), "not a number"},
      {"infinite", bufferWithSample(-std::numeric_limits<float>::infinity()), "not a number"},
  };
  for (const auto& c : cases) {
    c.buffer->setFrameLength(480);
    Error error;
    EXPECT_FALSE(writer->writeFromBuffer(*c.buffer, &error)) << c.what;
    EXPECT_NE(error.localizedDescription().find(c.expected), std::string::npos)
        << c.what << ": " << error.localizedDescription();
  }
  ASSERT_EQ(tone.write(*writer, kRate / 2), kRate / 2);
  EXPECT_EQ(writer->length(), kRate);
  Error error;
  ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  EXPECT_NEAR(probeAudio(file).duration, 1.0, kOneAacFrame / 2);
  expectTone(file, kRate, 1024);
}

TEST_F(AudioFileTest, KilledProcessLeavesEveryCompletedSecond) {
  const auto file = path();
  constexpr int kSeconds = 5;
  const auto child = runInChild([&] {
    Error error;
    auto writer = AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, &error);
    if (!writer) return;
    ToneWriter tone(480);
    tone.write(*writer, kSeconds * kRate);
    raise(SIGKILL);
  });
  ASSERT_EQ(child.termSignal, SIGKILL) << child.out << child.err;

  EXPECT_TRUE(contains(topLevelBoxes(file), "moof"));
  const auto probed = probeAudio(file);
  ASSERT_TRUE(probed.ok) << probed.error;
  EXPECT_EQ(probed.codecName, "aac");
  // Fragments of one second: all but the last, still open, are on the disk.
  expectTone(file, static_cast<std::int64_t>((kSeconds - 0.5) * kRate), kRate / 2 + 1024);
}

// In a child with a file-size limit (SIGXFSZ ignored, so writes fail with EFBIG).
TEST_F(AudioFileTest, FileSizeLimitFailsTheWriteThatMeetsIt) {
  const auto file = path();
  constexpr rlim_t kLimit = 64 * 1024;  // about 4 s of 128 kb/s
  const auto child = runInChild([&] {
    limitFileSize(kLimit);
    Error error;
    auto writer = AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, &error);
    if (!writer) return;
    ToneWriter tone(480);
    const std::int64_t written = tone.write(*writer, 20 * kRate, &error);
    std::printf("written=%lld\nwrite=%s\n", static_cast<long long>(written),
                error.localizedDescription().c_str());
    std::printf("again=%d\n", writer->writeFromBuffer(*tone.buffer, nullptr) ? 1 : 0);
    Error finishError;
    const bool finished = writer->finish(&finishError);
    std::printf("finished=%d\nfinish=%s\n", finished ? 1 : 0, finishError.localizedDescription().c_str());
  });
  ASSERT_TRUE(child.exited) << child.err;
  SCOPED_TRACE(child.out);
  std::map<std::string, std::string> report;
  for (const auto& line : child.lines()) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) report[line.substr(0, equals)] = line.substr(equals + 1);
  }
  const std::string expectedText = "Could not write to '" + file.string() + "': File too large";
  EXPECT_EQ(report["write"], expectedText);
  EXPECT_EQ(report["again"], "0");
  EXPECT_EQ(report["finished"], "0");
  EXPECT_EQ(report["finish"], expectedText);
  // The failure shows within a fragment or two of the limit, not seconds later.
  const double failedAt = std::stod(report["written"]) / kRate;
  EXPECT_GT(failedAt, 2.0);
  EXPECT_LT(failedAt, 6.0);

  EXPECT_LE(std::filesystem::file_size(file), kLimit);
  ASSERT_TRUE(probeAudio(file).ok);
  expectTone(file, static_cast<std::int64_t>((failedAt - 1) * kRate), kRate);
}

// A small file system of its own (needs the right to mount; skipped without it), unmounted at
// the end.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::filesystem::path& where, const std::string& size) : where_(where) {
    std::filesystem::create_directory(where_);
    mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::filesystem::path where_;
  bool mounted_ = false;
};

TEST_F(AudioFileTest, FullDiskFailsTheWriteThatMeetsIt) {
  SmallFileSystem disk(dir.path() / "disk", "64k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
  const auto file = dir.path() / "disk" / "recording.m4a";
  auto writer = create(file);
  ASSERT_TRUE(writer);
  ToneWriter tone(480);
  Error error;
  const double failedAt = static_cast<double>(tone.write(*writer, 20 * kRate, &error)) / kRate;
  EXPECT_EQ(error.localizedDescription(),
            "Could not write to '" + file.string() + "': No space left on device");
  EXPECT_GT(failedAt, 2.0);
  EXPECT_LT(failedAt, 6.0);
  EXPECT_FALSE(writer->finish(&error));
  expectTone(file, static_cast<std::int64_t>((failedAt - 1) * kRate), kRate);
}

// Room for the recording but not for a second copy of it: the fragmented file is the result.
TEST_F(AudioFileTest, FragmentedFileStaysWhenThereIsNoRoomToConvertIt) {
  SmallFileSystem disk(dir.path() / "disk", "256k");
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
  const auto file = dir.path() / "disk" / "recording.m4a";
  const std::int64_t frames = 9 * kRate;  // about 150 kB
  auto writer = create(file);
  ASSERT_TRUE(writer);
  ToneWriter tone(480);
  ASSERT_EQ(tone.write(*writer, frames), frames);
  Error error;
  EXPECT_TRUE(writer->finish(&error)) << error.localizedDescription();
  const auto reason = writer->conversionError();
  ASSERT_TRUE(reason);
  EXPECT_EQ(
      reason->localizedDescription().rfind("Could not convert '" + file.string() + "' to a plain file: ", 0),
      0u)
      << reason->localizedDescription();
  EXPECT_NE(reason->localizedDescription().find("No space left on device"), std::string::npos)
      << reason->localizedDescription();
  EXPECT_EQ(directoryEntries(file.parent_path()), std::vector<std::string>{"recording.m4a"});
  EXPECT_TRUE(contains(topLevelBoxes(file), "moof"));
  expectTone(file, frames + 1024, 1024);
}

// With no file descriptor to spare the conversion cannot even start; the complete fragmented
// file is the result, and that is a success.
TEST_F(AudioFileTest, FragmentedFileStaysWhenItCannotBeConverted) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer's runtime needs file descriptors of its own";
#endif
  const auto file = path();
  const std::int64_t frames = 2 * kRate + 100;
  const auto child = runInChild([&] {
    Error error;
    auto writer = AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, &error);
    if (!writer) return;
    ToneWriter tone(480);
    tone.write(*writer, frames);
    const rlimit noNewFiles{0, 0};
    setrlimit(RLIMIT_NOFILE, &noNewFiles);
    const bool finished = writer->finish(&error);
    const auto reason = writer->conversionError();
    std::printf("finished=%d %s\n%s\n", finished ? 1 : 0, error.localizedDescription().c_str(),
                reason ? reason->localizedDescription().c_str() : "converted");
  });
  ASSERT_TRUE(child.exited) << child.err;
  EXPECT_EQ(child.out, "finished=1 \nCould not convert '" + file.string() +
                           "' to a plain file: creating a temporary file: Too many open files\n");

  EXPECT_EQ(directoryEntries(dir.path()), std::vector<std::string>{"recording.m4a"});
  EXPECT_TRUE(contains(topLevelBoxes(file), "moof"));
  ASSERT_TRUE(probeAudio(file).ok);
  // Without an edit list the priming stays in the decoded audio.
  expectTone(file, frames + 1024, 1024);
}

// What a conversion killed midway leaves: a file of the conversion's temporary name.
const std::string kLeftoverName = ".system-audio-recorder-a1B2c3.part";

// A finish removes the leftovers of killed conversions in its directory, and nothing else:
// not a file of another name, not one that holds something else, not one a conversion holds.
TEST_F(AudioFileTest, FinishRemovesOnlyLeftoversOfKilledConversions) {
  const auto sample = path("sample.m4a");
  {
    auto writer = create(sample);
    ASSERT_TRUE(writer);
    ToneWriter(480).write(*writer, kRate);
  }
  std::string mpeg4Start(4096, '\0');
  std::ifstream(sample, std::ios::binary)
      .read(mpeg4Start.data(), static_cast<std::streamsize>(mpeg4Start.size()));
  ASSERT_EQ(mpeg4Start.substr(4, 4), "ftyp");

  const struct {
    std::string name;
    std::string content;
    bool held;
    bool removed;
  } cases[] = {
      {kLeftoverName, mpeg4Start, false, true},
      {".system-audio-recorder-Zz9yY8.part", "", false, true},
      {".system-audio-recorder-q0q0q0.part", mpeg4Start, true, false},
      {".system-audio-recorder-notes.part", "not a recording", false, false},
      {".system-audio-recorder-b2C3d4.part", "not a recording", false, false},
      {"recording.m4a.Ab12Cd", mpeg4Start, false, false},
  };
  std::vector<int> held;
  for (const auto& c : cases) {
    std::ofstream(path(c.name), std::ios::binary) << c.content;
    if (c.held) {
      held.push_back(open(path(c.name).c_str(), O_RDONLY | O_CLOEXEC));
      ASSERT_EQ(flock(held.back(), LOCK_EX), 0);
    }
  }

  auto writer = create(path());
  ASSERT_TRUE(writer);
  Error error;
  ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  for (const auto& c : cases) {
    EXPECT_EQ(std::filesystem::exists(path(c.name)), !c.removed) << c.name;
  }
  for (int fd : held) close(fd);
}

// A process killed while it converts leaves the temporary file; while it runs, no other finish
// touches it, and the next finish after its end removes it. The conversion is held at a point
// where it has begun: the recording's name leads to a FIFO that nobody writes.
TEST_F(AudioFileTest, LeftoverOfAKilledConversionGoesAtTheNextFinish) {
  const auto file = path();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto writer = AVAudioFile::initForWriting(file, kSettings, AVAudioPCMFormatFloat32, false, nullptr);
    if (!writer) _exit(1);
    ToneWriter(480).write(*writer, kRate);
    if (rename(file.c_str(), path("moved.m4a").c_str()) != 0 || mkfifo(file.c_str(), 0600) != 0) _exit(2);
    writer->finish(nullptr);
    _exit(3);
  }
  auto leftovers = [&] {
    std::vector<std::string> found;
    for (const auto& name : directoryEntries(dir.path())) {
      if (name.starts_with(".system-audio-recorder-")) found.push_back(name);
    }
    return found;
  };
  int status = 0;
  while (leftovers().empty()) {
    ASSERT_EQ(waitpid(child, &status, WNOHANG), 0) << "the child ended before converting: " << status;
    std::this_thread::yield();
  }
  const auto leftover = leftovers();

  auto finishAnother = [&](const std::string& name) {
    auto writer = create(path(name));
    ASSERT_TRUE(writer);
    ToneWriter(480).write(*writer, kRate / 2);
    Error error;
    ASSERT_TRUE(writer->finish(&error)) << error.localizedDescription();
  };
  finishAnother("during.m4a");
  EXPECT_EQ(leftovers(), leftover) << "a running conversion's file was removed";

  kill(child, SIGKILL);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(leftovers(), leftover);
  finishAnother("after.m4a");
  EXPECT_TRUE(leftovers().empty());
  expectTone(path("moved.m4a"), kRate, kRate / 2 + 1024);
}

}  // namespace
}  // namespace platform
