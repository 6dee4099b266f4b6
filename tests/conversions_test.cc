#include "media/conversions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fakes/fake_capture.h"
#include "media/date_formatting.h"

using namespace platform;
using fakes::makeSampleBuffer;

namespace {

CMSampleBufferRef bufferWith(CMFormatDescriptionRef description, CMBlockBufferRef data, std::int64_t frames) {
  CMSampleTimingInfo timing{CMTimeMake(1, 48000), CMTimeMake(0, 48000), kCMTimeInvalid};
  CMSampleBufferRef buffer;
  EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, data, data != nullptr, nullptr, nullptr, description,
                                 frames, 1, &timing, 0, nullptr, &buffer),
            noErr);
  return buffer;
}

}  // namespace

TEST(AsPCMBuffer, RefusesWhatIsNotFloatAudio) {
  auto good = makeSampleBuffer(64);
  ASSERT_TRUE(good);
  auto video = std::make_shared<CMFormatDescription>(CMMediaType::video);
  struct Case {
    const char* label;
    CMSampleBufferRef buffer;
  };
  const Case cases[] = {
      {"no format description", bufferWith(nullptr, good->dataBuffer(), 64)},
      {"not an audio description", bufferWith(video, good->dataBuffer(), 64)},
      {"no buffer list (no data)", bufferWith(good->formatDescription(), nullptr, 64)},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(c.buffer) << c.label;
    EXPECT_EQ(media::asPCMBuffer(*c.buffer), nullptr) << c.label;
  }
}

TEST(AsPCMBuffer, KeepsTheBuffersOwnRateAndChannels) {
  auto mono = makeSampleBuffer(441, 44100, 1);
  auto pcm = media::asPCMBuffer(*mono);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->format()->sampleRate(), 44100);
  EXPECT_EQ(pcm->format()->channelCount(), 1u);
  EXPECT_EQ(pcm->format()->commonFormat(), AVAudioPCMFormatFloat32);
  EXPECT_EQ(pcm->frameLength(), 441u);
}

TEST(AsPCMBuffer, SharesTheSampleBuffersBytes) {
  auto stereo = makeSampleBuffer(1024, 48000, 2, 0.5f);
  auto pcm = media::asPCMBuffer(*stereo);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->frameLength(), 1024u);
  ASSERT_EQ(pcm->audioBufferList()->mNumberBuffers(), 2u);
  EXPECT_FALSE(pcm->format()->isInterleaved());

  float* right = pcm->floatChannelData(1);
  right[7] = -0.75f;
  bool seen = false;
  Error error;
  ASSERT_TRUE(stereo->withAudioBufferList(
      kCFAllocatorDefault, 0,
      [&](AudioBufferList& list, const CMBlockBufferRef&) {
        auto* samples = static_cast<float*>(list.mBuffers[1].mData);
        EXPECT_EQ(samples, right);
        seen = samples[7] == -0.75f;
        samples[8] = 0.125f;
      },
      &error));
  EXPECT_TRUE(seen);
  EXPECT_EQ(right[8], 0.125f);
}

TEST(AsSampleBuffer, CopiesAndStampsOneSamplePerFrame) {
  auto format = AVAudioFormat::initStandardFormatWithSampleRate(48000, 2);
  auto pcm = AVAudioPCMBuffer::initWithPCMFormat(format, 1024);
  pcm->setFrameLength(1024);
  for (std::uint32_t c = 0; c < 2; ++c) {
    for (int i = 0; i < 1024; ++i) pcm->floatChannelData(c)[i] = static_cast<float>(i) / 1024;
  }
  auto before = CMClockGetTime(CMClockGetHostTimeClock()).seconds();
  auto first = media::asSampleBuffer(*pcm);
  auto second = media::asSampleBuffer(*pcm);
  auto after = CMClockGetTime(CMClockGetHostTimeClock()).seconds();
  ASSERT_TRUE(first && second);

  EXPECT_EQ(first->numSamples(), 1024);
  EXPECT_EQ(first->duration().value, 1);
  EXPECT_EQ(first->duration().timescale, 48000);
  EXPECT_FALSE(first->decodeTimeStamp().isValid());
  EXPECT_GE(first->presentationTimeStamp().seconds(), before);
  EXPECT_LE(second->presentationTimeStamp().seconds(), after);
  EXPECT_NE(first->presentationTimeStamp().value, second->presentationTimeStamp().value);

  pcm->floatChannelData(0)[5] = 99.f;  // the sample buffer holds a copy
  auto back = media::asPCMBuffer(*first);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->frameLength(), 1024u);
  EXPECT_EQ(back->floatChannelData(0)[5], 5.f / 1024);
  EXPECT_EQ(back->floatChannelData(1)[1023], 1023.f / 1024);
}

TEST(AsSampleBuffer, TimescaleFromTheRate) {
  struct Case {
    double rate;
    std::optional<std::int32_t> timescale;
  };
  // The standard format refuses rates it cannot play, so the description is made by hand.
  const Case cases[] = {{100.5, 100},        {100.9, 100},
                        {48000, 48000},      {INFINITY, std::nullopt},
                        {NAN, std::nullopt}, {2147483648.0, std::nullopt}};
  for (const Case& c : cases) {
    AudioStreamBasicDescription asbd =
        *AVAudioFormat::initStandardFormatWithSampleRate(48000, 2)->streamDescription();
    asbd.mSampleRate = c.rate;
    auto format = std::make_shared<AVAudioFormat>(AVAudioPCMFormatFloat32, asbd);
    auto pcm = AVAudioPCMBuffer::initWithPCMFormat(format, 16);
    ASSERT_TRUE(pcm) << c.rate;
    pcm->setFrameLength(16);
    auto sample = media::asSampleBuffer(*pcm);
    if (c.timescale) {
      ASSERT_TRUE(sample) << c.rate;
      EXPECT_EQ(sample->duration().timescale, *c.timescale) << c.rate;
    } else {
      EXPECT_EQ(sample, nullptr) << c.rate;
    }
  }
}

TEST(DateFormatting, FileNameAndTimestamp) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 2024-03-05 13:07:09 UTC is 14:07:09 in Berlin.
  auto instant = std::chrono::system_clock::from_time_t(1709644029) + std::chrono::milliseconds(870);
  EXPECT_EQ(media::toFormattedFileName(instant), "2024-03-05 14.07.09");
  EXPECT_EQ(media::toISO8601Timestamp(instant), "2024-03-05T13:07:09Z");
}
