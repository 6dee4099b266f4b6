#include "support/media_probe.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "support/child_process.h"

namespace testing_support {

namespace {

long numberIn(const nlohmann::json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return 0;
  if (found->is_number()) return found->get<long>();
  if (found->is_string()) return std::stol(found->get<std::string>());
  return 0;
}

}  // namespace

ProbedAudio probeAudio(const std::filesystem::path& file) {
  ProbedAudio probed;
  const ChildResult run = runProgram(
      {"/usr/bin/ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", file.string()});
  if (!run.exited || run.exitStatus != 0) {
    probed.error = run.err;
    return probed;
  }
  const auto json = nlohmann::json::parse(run.out, nullptr, false);
  if (json.is_discarded() || !json.contains("streams") || !json.contains("format")) {
    probed.error = "unreadable ffprobe output: " + run.out;
    return probed;
  }
  for (const auto& stream : json["streams"]) {
    if (stream.value("codec_type", "") != "audio") continue;
    probed.codecName = stream.value("codec_name", "");
    probed.profile = stream.value("profile", "");
    probed.sampleRate = static_cast<int>(numberIn(stream, "sample_rate"));
    probed.channels = static_cast<int>(numberIn(stream, "channels"));
    probed.bitRate = numberIn(stream, "bit_rate");
    probed.duration = std::stod(json["format"].value("duration", "0"));
    probed.ok = true;
    return probed;
  }
  probed.error = "no audio stream";
  return probed;
}

std::vector<float> decodeAudio(const std::filesystem::path& file, int channels) {
  const ChildResult run = runProgram({"/usr/bin/ffmpeg", "-v", "error", "-i", file.string(), "-f", "f32le",
                                      "-ac", std::to_string(channels), "-"});
  std::vector<float> samples(run.out.size() / sizeof(float));
  if (!samples.empty()) std::memcpy(samples.data(), run.out.data(), samples.size() * sizeof(float));
  return samples;
}

double toneFrequency(const std::vector<float>& interleaved, int channels, int channel, double sampleRate,
                     std::size_t skipFrames) {
  const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
  if (frames <= skipFrames + 1) return 0;
  // Hysteresis: quantisation noise around zero, and the near-silent padding after the end of
  // the audio, must not count as crossings.
  constexpr float kArmBelow = -0.05f;
  std::size_t first = 0, last = 0, crossings = 0;
  bool armed = false;
  for (std::size_t frame = skipFrames; frame < frames; ++frame) {
    const float sample = interleaved[frame * channels + channel];
    if (sample < kArmBelow) {
      armed = true;
    } else if (armed && sample >= 0) {
      armed = false;
      if (crossings == 0) first = frame;
      last = frame;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return static_cast<double>(crossings - 1) * sampleRate / static_cast<double>(last - first);
}

std::vector<std::string> topLevelBoxes(const std::filesystem::path& file) {
  std::vector<std::string> boxes;
  std::ifstream in(file, std::ios::binary);
  const auto fileSize = static_cast<std::uint64_t>(std::filesystem::file_size(file));
  std::uint64_t offset = 0;
  while (offset + 8 <= fileSize) {
    unsigned char header[16];
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in.read(reinterpret_cast<char*>(header), 8)) break;
    std::uint64_t size = (std::uint64_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
    boxes.emplace_back(reinterpret_cast<char*>(header + 4), 4);
    if (size == 1) {
      if (!in.read(reinterpret_cast<char*>(header + 8), 8)) break;
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | header[i];
    } else if (size == 0) {
      size = fileSize - offset;
    }
    if (size < 8) break;
    offset += size;
  }
  return boxes;
}

}  // namespace testing_support
