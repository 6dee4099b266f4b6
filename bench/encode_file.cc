// Encodes raw interleaved float32 PCM from a file into an .m4a through the platform's file
// writer, the way a recording delivers it: 10 ms chunks, each made into a sample buffer and
// written through a PCM buffer laid over it. Prints how long finishing the file took.
// --paced: in real time, 100 ms of audio at a time, as a steady recording gets it; the encoder
// then starts each batch with cold caches, which costs a live recorder more than an offline one.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/av_audio.h"
#include "platform/core_media.h"

namespace {

constexpr std::size_t kChunkFrames = 480;
constexpr std::size_t kPacedBatchFrames = 4800;

// The process's peak resident memory so far (VmHWM), in KiB.
long peakRssKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int usage() {
  std::cerr << "usage: encode_file [--paced] INPUT.f32le OUTPUT.m4a [RATE] [CHANNELS]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace platform;
  const bool paced = argc > 1 && std::string(argv[1]) == "--paced";
  if (paced) {
    --argc;
    ++argv;
  }
  if (argc < 3) return usage();
  const int rate = argc > 3 ? std::atoi(argv[3]) : 48000;
  const int channels = argc > 4 ? std::atoi(argv[4]) : 2;
  std::ifstream input(argv[1], std::ios::binary);
  if (!input) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 1;
  }

  const AVAudioSettings settings{{AVFormatIDKey, kAudioFormatMPEG4AAC},
                                 {AVSampleRateKey, rate},
                                 {AVNumberOfChannelsKey, channels},
                                 {AVEncoderBitRateKey, 128000}};
  Error error;
  auto file = AVAudioFile::initForWriting(argv[2], settings, AVAudioPCMFormatFloat32, false, &error);
  if (!file) {
    std::cerr << error.localizedDescription() << "\n";
    return 1;
  }

  std::vector<float> chunk(kChunkFrames * static_cast<std::size_t>(channels));
  std::int64_t pts = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (;;) {
    if (paced && pts > 0 && pts % static_cast<std::int64_t>(kPacedBatchFrames) == 0) {
      std::this_thread::sleep_until(begin + std::chrono::microseconds(pts * 1000000 / rate));
    }
    input.read(reinterpret_cast<char*>(chunk.data()),
               static_cast<std::streamsize>(chunk.size() * sizeof(float)));
    const auto frames = static_cast<std::size_t>(input.gcount()) / (sizeof(float) * channels);
    if (frames == 0) break;
    auto sample = makeAudioSampleBuffer(chunk.data(), frames, rate, channels, CMTimeMake(pts, rate));
    pts += static_cast<std::int64_t>(frames);
    bool written = false;
    sample->withAudioBufferList(
        kCFAllocatorDefault, 0,
        [&](AudioBufferList& list, const CMBlockBufferRef&) {
          auto format = AVAudioFormat::initStandardFormatWithSampleRate(rate, channels);
          auto pcm = AVAudioPCMBuffer::initWithPCMFormat(format, &list, nullptr);
          written = pcm && file->writeFromBuffer(*pcm, &error);
        },
        nullptr);
    if (!written) {
      std::cerr << "write failed: " << error.localizedDescription() << "\n";
      return 1;
    }
  }

  const long peakBeforeFinish = peakRssKib();
  const auto start = std::chrono::steady_clock::now();
  const bool finished = file->finish(&error);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::cerr << "frames=" << file->length() << " finish_seconds=" << took.count()
            << " peak_rss_kib_before_finish=" << peakBeforeFinish << " peak_rss_kib=" << peakRssKib() << "\n";
  if (!finished) {
    std::cerr << "finish failed: " << error.localizedDescription() << "\n";
    return 1;
  }
  return 0;
}
