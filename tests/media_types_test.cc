// The timed audio buffers, their descriptions and the PCM buffers laid over them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/av_audio.h"
#include "platform/core_media.h"

namespace platform {
namespace {

// Two channels of distinct, recognisable samples, and a list over them.
struct StereoPlanes {
  explicit StereoPlanes(std::size_t frames) : left(frames), right(frames) {
    for (std::size_t i = 0; i < frames; ++i) {
      left[i] = static_cast<float>(i);
      right[i] = -static_cast<float>(i) - 0.5f;
    }
    list.mBuffers = {{1, static_cast<std::uint32_t>(frames * sizeof(float)), left.data()},
                     {1, static_cast<std::uint32_t>(frames * sizeof(float)), right.data()}};
  }
  std::vector<float> left, right;
  AudioBufferList list;
};

AVAudioFormatRef stereo48k() { return AVAudioFormat::initStandardFormatWithSampleRate(48000, 2); }

TEST(AVAudioFormatTest, StandardFormatIsFloatNonInterleavedAndRefusesImpossibleValues) {
  const auto format = stereo48k();
  ASSERT_TRUE(format);
  EXPECT_EQ(format->commonFormat(), AVAudioPCMFormatFloat32);
  EXPECT_FALSE(format->isInterleaved());
  EXPECT_EQ(format->sampleRate(), 48000);
  EXPECT_EQ(format->channelCount(), 2u);
  EXPECT_EQ(format->streamDescription()->mBytesPerFrame, 4u);
  EXPECT_EQ(format->streamDescription()->mFormatID, kAudioFormatLinearPCM);
  EXPECT_TRUE(*format == *AVAudioFormat::initStandardFormatWithSampleRate(48000, 2));
  EXPECT_FALSE(*format == *AVAudioFormat::initStandardFormatWithSampleRate(44100, 2));
  EXPECT_FALSE(*format == *AVAudioFormat::initStandardFormatWithSampleRate(48000, 1));
  EXPECT_TRUE(AVAudioFormat::initStandardFormatWithSampleRate(100.5, kMaxChannels));

  const struct {
    double rate;
    std::uint32_t channels;
  } refused[] = {{0, 2},
                 {-48000, 2},
                 {std::nan(""), 2},
                 {std::numeric_limits<double>::infinity(), 2},
                 {48000, 0},
                 {48000, kMaxChannels + 1}};
  for (const auto& c : refused) {
    EXPECT_FALSE(AVAudioFormat::initStandardFormatWithSampleRate(c.rate, c.channels))
        << c.rate << " Hz, " << c.channels << " channels";
  }
}

TEST(AVAudioPCMBufferTest, NoCopyBufferSharesTheListsBytes) {
  StereoPlanes planes(256);
  int deallocations = 0;
  const AudioBufferList* deallocated = nullptr;
  {
    auto pcm =
        AVAudioPCMBuffer::initWithPCMFormat(stereo48k(), &planes.list, [&](const AudioBufferList* list) {
          ++deallocations;
          deallocated = list;
          EXPECT_EQ(list->mBuffers[1].mData, planes.right.data());
        });
    ASSERT_TRUE(pcm);
    EXPECT_EQ(pcm->frameLength(), 256u);
    EXPECT_EQ(pcm->frameCapacity(), 256u);
    EXPECT_EQ(pcm->floatChannelData(0), planes.left.data());

    pcm->floatChannelData(1)[7] = 42.0f;
    EXPECT_EQ(planes.right[7], 42.0f);
    planes.left[9] = -7.0f;
    EXPECT_EQ(pcm->floatChannelData(0)[9], -7.0f);
    EXPECT_EQ(deallocations, 0);
  }
  EXPECT_EQ(deallocations, 1);
  EXPECT_NE(deallocated, nullptr);
}

TEST(AVAudioPCMBufferTest, NoCopyRefusesListsThatDoNotFitTheFormat) {
  float a[8] = {}, b[8] = {}, c[8] = {};
  const struct {
    const char* what;
    std::vector<AudioBuffer> buffers;
  } cases[] = {
      {"one buffer for two channels", {{1, 32, a}}},
      {"three buffers for two channels", {{1, 32, a}, {1, 32, b}, {1, 32, c}}},
      {"no buffers", {}},
      {"null data", {{1, 32, a}, {1, 32, nullptr}}},
      {"unequal sizes", {{1, 32, a}, {1, 28, b}}},
      {"size not a whole number of frames", {{1, 30, a}, {1, 30, b}}},
  };
  for (const auto& testCase : cases) {
    AudioBufferList list;
    list.mBuffers = testCase.buffers;
    bool deallocated = false;
    EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(stereo48k(), &list, [&](const AudioBufferList*) {
      deallocated = true;
    })) << testCase.what;
    EXPECT_FALSE(deallocated) << testCase.what;
  }
  AudioBufferList fits;
  fits.mBuffers = {{1, 32, a}, {1, 32, b}};
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(nullptr, &fits, nullptr));
  EXPECT_FALSE(AVAudioPCMBuffer::initWithPCMFormat(stereo48k(), nullptr, nullptr));
}

TEST(AVAudioPCMBufferTest, OwningBufferStartsEmptyAndItsListFollowsTheFrameLength) {
  auto pcm = AVAudioPCMBuffer::initWithPCMFormat(stereo48k(), 100u);
  ASSERT_TRUE(pcm);
  EXPECT_EQ(pcm->frameCapacity(), 100u);
  EXPECT_EQ(pcm->frameLength(), 0u);
  ASSERT_EQ(pcm->audioBufferList()->mNumberBuffers(), 2u);
  EXPECT_NE(pcm->floatChannelData(0), pcm->floatChannelData(1));
  EXPECT_EQ(pcm->floatChannelData(1)[99], 0.0f);
  pcm->setFrameLength(60);
  EXPECT_EQ(pcm->audioBufferList()->mBuffers[1].mDataByteSize, 240u);
  pcm->setFrameLength(1000);
  EXPECT_EQ(pcm->frameLength(), 100u);
  EXPECT_EQ(pcm->audioBufferList()->mBuffers[0].mDataByteSize, 400u);
}

TEST(CMTimeTest, SecondsAndHostClock) {
  EXPECT_DOUBLE_EQ(CMTimeMake(3, 48000).seconds(), 3.0 / 48000);
  EXPECT_TRUE(std::isnan(kCMTimeInvalid.seconds()));
  EXPECT_FALSE(CMTimeMake(1, 0).isValid());

  const CMTime first = CMClockGetTime(CMClockGetHostTimeClock());
  const CMTime second = CMClockGetTime(CMClockGetHostTimeClock());
  EXPECT_EQ(first.timescale, 1'000'000'000);
  EXPECT_TRUE(first.isValid());
  EXPECT_LE(first.value, second.value);
}

TEST(CMAudioFormatDescriptionTest, CreatesOnlyPlainAudioDescriptions) {
  const AudioStreamBasicDescription asbd = makeFloatNonInterleavedDescription(48000, 2);
  const int someLayout = 0;
  CMFormatDescriptionRef description;
  ASSERT_EQ(CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr,
                                           &description),
            noErr);
  ASSERT_TRUE(description);
  EXPECT_EQ(description->mediaType(), CMMediaType::audio);
  EXPECT_EQ(description->audioStreamBasicDescription()->mChannelsPerFrame, 2u);
  EXPECT_FALSE(CMFormatDescription(CMMediaType::video, asbd).audioStreamBasicDescription());

  AudioStreamBasicDescription noRate = asbd;
  noRate.mSampleRate = 0;
  const struct {
    const char* what;
    const AudioStreamBasicDescription* asbd;
    std::size_t layoutSize;
    const void* layout;
    std::size_t cookieSize;
    const void* extensions;
  } refused[] = {
      {"no description", nullptr, 0, nullptr, 0, nullptr},
      {"a layout", &asbd, sizeof someLayout, &someLayout, 0, nullptr},
      {"a magic cookie", &asbd, 0, nullptr, 4, nullptr},
      {"extensions", &asbd, 0, nullptr, 0, &someLayout},
      {"no sample rate", &noRate, 0, nullptr, 0, nullptr},
  };
  for (const auto& c : refused) {
    CMFormatDescriptionRef out;
    EXPECT_NE(
        CMAudioFormatDescriptionCreate(kCFAllocatorDefault, c.asbd, c.layoutSize, c.layout, c.cookieSize,
                                       c.cookieSize ? &someLayout : nullptr, c.extensions, &out),
        noErr)
        << c.what;
    EXPECT_FALSE(out) << c.what;
  }
}

// A sample buffer of `frames` frames without data yet, as a PCM-to-sample conversion makes it.
CMSampleBufferRef emptyStereoSampleBuffer(std::int64_t frames) {
  const AudioStreamBasicDescription asbd = makeFloatNonInterleavedDescription(48000, 2);
  CMFormatDescriptionRef description;
  EXPECT_EQ(CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr,
                                           &description),
            noErr);
  const CMSampleTimingInfo timing{CMTimeMake(1, 48000), CMTimeMake(5, 48000), kCMTimeInvalid};
  CMSampleBufferRef buffer;
  EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, false, nullptr, nullptr, description, frames,
                                 1, &timing, 0, nullptr, &buffer),
            noErr);
  return buffer;
}

TEST(CMSampleBufferTest, CaptureChunkIsSplitIntoOneBufferPerChannelInOneBlock) {
  const float interleaved[] = {1, -1, 2, -2, 3, -3};
  const auto sample = makeAudioSampleBuffer(interleaved, 3, 48000, 2, CMTimeMake(960, 48000));
  ASSERT_TRUE(sample);
  EXPECT_TRUE(sample->dataIsReady());
  EXPECT_EQ(sample->numSamples(), 3);
  EXPECT_EQ(sample->presentationTimeStamp().value, 960);
  EXPECT_EQ(sample->duration().timescale, 48000);
  EXPECT_FALSE(sample->decodeTimeStamp().isValid());

  const auto* block = reinterpret_cast<const float*>(sample->dataBuffer()->data());
  EXPECT_EQ(std::vector<float>(block, block + 6), (std::vector<float>{1, 2, 3, -1, -2, -3}));

  bool ran = false;
  ASSERT_TRUE(sample->withAudioBufferList(
      kCFAllocatorDefault, 0,
      [&](AudioBufferList& list, const CMBlockBufferRef& memory) {
        ran = true;
        ASSERT_EQ(list.mNumberBuffers(), 2u);
        EXPECT_EQ(memory, sample->dataBuffer());
        EXPECT_EQ(list.mBuffers[0].mData, memory->data());
        EXPECT_EQ(list.mBuffers[1].mData, memory->data() + 12);
        EXPECT_EQ(list.mBuffers[1].mDataByteSize, 12u);
        EXPECT_EQ(list.mBuffers[1].mNumberChannels, 1u);
        // The PCM buffer over the list sees the sample buffer's own bytes.
        auto format = AVAudioFormat::initStandardFormatWithSampleRate(48000, 2);
        auto pcm = AVAudioPCMBuffer::initWithPCMFormat(format, &list, nullptr);
        ASSERT_TRUE(pcm);
        EXPECT_EQ(pcm->frameLength(), 3u);
        pcm->floatChannelData(1)[2] = 9;
        EXPECT_EQ(block[5], 9);
      },
      nullptr));
  EXPECT_TRUE(ran);

  EXPECT_TRUE(sample->isValid());
  sample->invalidate();
  EXPECT_FALSE(sample->isValid());

  EXPECT_FALSE(makeAudioSampleBuffer(interleaved, 3, 48000, 0, CMTimeMake(0, 48000)));
  EXPECT_FALSE(makeAudioSampleBuffer(interleaved, 3, 0, 2, CMTimeMake(0, 48000)));
}

TEST(CMSampleBufferTest, WithAudioBufferListFailsWithoutAudioData) {
  auto video = std::make_shared<const CMFormatDescription>(CMMediaType::video);
  CMSampleBufferRef videoSample;
  ASSERT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, std::make_shared<CMBlockBuffer>(64), true, nullptr,
                                 nullptr, video, 8, 0, nullptr, 0, nullptr, &videoSample),
            noErr);
  CMSampleBufferRef noDescription;
  ASSERT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, std::make_shared<CMBlockBuffer>(64), true, nullptr,
                                 nullptr, nullptr, 8, 0, nullptr, 0, nullptr, &noDescription),
            noErr);
  const struct {
    const char* what;
    CMSampleBufferRef sample;
  } cases[] = {{"no data", emptyStereoSampleBuffer(8)},
               {"a video description", videoSample},
               {"no description", noDescription}};
  for (const auto& c : cases) {
    Error error;
    bool ran = false;
    EXPECT_FALSE(c.sample->withAudioBufferList(
        kCFAllocatorDefault, 0, [&](AudioBufferList&, const CMBlockBufferRef&) { ran = true; }, &error))
        << c.what;
    EXPECT_FALSE(ran) << c.what;
    EXPECT_FALSE(error.localizedDescription().empty()) << c.what;
  }
}

TEST(CMSampleBufferTest, CreateRefusesCountsAndDataThatDoNotAddUp) {
  const AudioStreamBasicDescription asbd = makeFloatNonInterleavedDescription(48000, 2);
  CMFormatDescriptionRef description;
  ASSERT_EQ(CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &asbd, 0, nullptr, 0, nullptr, nullptr,
                                           &description),
            noErr);
  CMSampleBufferRef out;
  EXPECT_NE(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, false, nullptr, nullptr, description, -1, 0,
                                 nullptr, 0, nullptr, &out),
            noErr);
  EXPECT_NE(CMSampleBufferCreate(kCFAllocatorDefault, nullptr, false, nullptr, nullptr, description, 4, 1,
                                 nullptr, 0, nullptr, &out),
            noErr);
  // 8 stereo float frames need 64 bytes.
  EXPECT_EQ(CMSampleBufferCreate(kCFAllocatorDefault, std::make_shared<CMBlockBuffer>(63), true, nullptr,
                                 nullptr, description, 8, 0, nullptr, 0, nullptr, &out),
            kCMSampleBufferError_ArrayTooSmall);
  EXPECT_FALSE(out);
}

TEST(CMSampleBufferTest, SetDataFromListCopiesTheData) {
  StereoPlanes planes(16);
  const auto sample = emptyStereoSampleBuffer(16);
  EXPECT_FALSE(sample->dataIsReady());
  ASSERT_EQ(CMSampleBufferSetDataBufferFromAudioBufferList(sample, kCFAllocatorDefault, kCFAllocatorDefault,
                                                           0, &planes.list),
            noErr);
  EXPECT_TRUE(sample->dataIsReady());
  planes.left[3] = 1000;
  planes.right[15] = 1000;

  ASSERT_TRUE(sample->withAudioBufferList(
      kCFAllocatorDefault, 0,
      [&](AudioBufferList& list, const CMBlockBufferRef&) {
        ASSERT_EQ(list.mNumberBuffers(), 2u);
        EXPECT_NE(list.mBuffers[0].mData, planes.left.data());
        EXPECT_EQ(static_cast<float*>(list.mBuffers[0].mData)[3], 3.0f);
        EXPECT_EQ(static_cast<float*>(list.mBuffers[1].mData)[15], -15.5f);
      },
      nullptr));
  EXPECT_EQ(CMSampleBufferSetDataBufferFromAudioBufferList(sample, kCFAllocatorDefault, kCFAllocatorDefault,
                                                           0, &planes.list),
            kCMSampleBufferError_AlreadyHasDataBuffer);
}

TEST(CMSampleBufferTest, SetDataFromListRefusesListsThatDoNotMatchTheDescription) {
  float a[16] = {}, b[16] = {}, c[16] = {};
  const struct {
    const char* what;
    std::vector<AudioBuffer> buffers;
  } cases[] = {
      {"one buffer for two channels", {{2, 128, a}}},
      {"three buffers", {{1, 64, a}, {1, 64, b}, {1, 64, c}}},
      {"fewer bytes than frames", {{1, 64, a}, {1, 60, b}}},
      {"null data", {{1, 64, a}, {1, 64, nullptr}}},
      {"two channels in a buffer", {{2, 64, a}, {2, 64, b}}},
  };
  for (const auto& testCase : cases) {
    AudioBufferList list;
    list.mBuffers = testCase.buffers;
    const auto sample = emptyStereoSampleBuffer(16);
    EXPECT_NE(CMSampleBufferSetDataBufferFromAudioBufferList(sample, kCFAllocatorDefault, kCFAllocatorDefault,
                                                             0, &list),
              noErr)
        << testCase.what;
    EXPECT_FALSE(sample->dataIsReady()) << testCase.what;
  }
}

}  // namespace
}  // namespace platform
