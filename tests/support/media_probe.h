// Looks at audio files from the outside, with FFmpeg's command-line tools (ffprobe, ffmpeg) as
// independent judges, and at the layout of MPEG-4 files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

struct ProbedAudio {
  bool ok = false;
  std::string error;  // what ffprobe said when !ok
  std::string codecName;
  std::string profile;
  int sampleRate = 0;
  int channels = 0;
  long bitRate = 0;     // the stream's, bits per second
  double duration = 0;  // the container's, seconds
};

// ffprobe -v error -show_streams -show_format -of json, first audio stream.
ProbedAudio probeAudio(const std::filesystem::path& file);

// The file decoded by ffmpeg to interleaved float32 with the given channel count; empty when
// ffmpeg decodes nothing.
std::vector<float> decodeAudio(const std::filesystem::path& file, int channels);

// The frequency of a steady tone (amplitude well above 0.05) in one channel of interleaved audio,
// from its rising zero crossings, skipping the first `skipFrames`.
double toneFrequency(const std::vector<float>& interleaved, int channels, int channel, double sampleRate,
                     std::size_t skipFrames = 2048);

// The types of the top-level boxes of an MPEG-4 file, in file order ("ftyp", "moov", "moof", ...).
std::vector<std::string> topLevelBoxes(const std::filesystem::path& file);

}  // namespace testing_support
