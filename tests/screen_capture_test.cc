// The capture service against private PulseAudio and PipeWire servers.
#include "platform/screen_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "support/capture_probe.h"
#include "support/sound_server.h"

namespace {

using namespace std::chrono_literals;
using platform::SCContentFilter;
using platform::SCStreamConfiguration;
using platform::SCStreamOutputType;
using testsupport::RecordingDelegate;
using testsupport::RecordingOutput;
using testsupport::SoundServer;
using testsupport::SoundServerKind;

std::vector<std::string> names(const platform::SCShareableContent& content) {
  std::vector<std::string> result;
  for (const auto& display : content.displays()) result.push_back(display->name);
  return result;
}

// Zero crossings of the samples after the first non-silent one, as a frequency.
double estimateFrequency(const std::vector<float>& samples, double sampleRate) {
  std::size_t start = 0;
  while (start < samples.size() && std::fabs(samples[start]) < 0.05f) ++start;
  std::size_t crossings = 0;
  for (std::size_t i = start + 1; i < samples.size(); ++i) {
    if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
  }
  const double seconds = static_cast<double>(samples.size() - start) / sampleRate;
  return seconds > 0 ? static_cast<double>(crossings) / 2.0 / seconds : 0;
}

std::size_t audibleSamples(const std::vector<float>& samples) {
  std::size_t start = 0;
  while (start < samples.size() && std::fabs(samples[start]) < 0.05f) ++start;
  return samples.size() - start;
}

class CaptureTest : public testing::TestWithParam<SoundServerKind> {
 protected:
  void startServer(int outputs) {
    ASSERT_TRUE(server_.start(GetParam(), outputs));
    server_.setProcessEnvironment();
  }

  // A server with one output "out" and a started stream on it; none on failure.
  platform::SCStreamRef startCapturing() {
    startServer(1);
    if (HasFatalFailure()) return nullptr;
    auto stream = makeStream("out");
    if (!stream) return nullptr;
    auto started = testsupport::startAndWait(*stream);
    EXPECT_TRUE(started && !*started) << "the start failed";
    return started && !*started ? stream : nullptr;
  }

  platform::SCStreamRef makeStream(const std::string& sink, std::int64_t rate = 48000,
                                   std::int64_t channels = 2) {
    auto answer = testsupport::queryContent();
    EXPECT_TRUE(answer && answer->content);
    if (!answer || !answer->content) return nullptr;
    for (const auto& display : answer->content->displays()) {
      if (display->name != sink) continue;
      SCStreamConfiguration configuration;
      configuration.setCapturesAudio(true);
      configuration.setSampleRate(rate);
      configuration.setChannelCount(channels);
      auto stream = platform::ScreenCaptureService::system().makeStream(SCContentFilter(display, {}, {}),
                                                                        configuration, delegate_);
      platform::Error error("", 0, "");
      EXPECT_TRUE(stream->addStreamOutput(output_, SCStreamOutputType::audio,
                                          &platform::DispatchQueue::global(), &error))
          << error.description();
      return stream;
    }
    ADD_FAILURE() << "no output named " << sink;
    return nullptr;
  }

  // What records on the server, once a departed client's streams are gone.
  std::string sourceOutputsAfterSettling() {
    std::string listed = server_.pactl({"list", "short", "source-outputs"});
    for (int i = 0; i < 50 && !listed.empty(); ++i) {
      std::this_thread::sleep_for(10ms);
      listed = server_.pactl({"list", "short", "source-outputs"});
    }
    return listed;
  }

  SoundServer server_;
  std::shared_ptr<RecordingOutput> output_ = std::make_shared<RecordingOutput>();
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_P(CaptureTest, ListsOutputsWithTheDefaultFirst) {
  startServer(2);
  auto first = testsupport::queryContent();
  ASSERT_TRUE(first);
  ASSERT_TRUE(first->content) << (first->error ? first->error->description() : "");
  EXPECT_EQ(first->calls, 1);
  EXPECT_FALSE(first->calledInsideTheCall);
  EXPECT_EQ(names(*first->content), (std::vector<std::string>{"out", "out2"}));
  for (const auto& display : first->content->displays()) {
    EXPECT_EQ(display->monitorSourceName, display->name + ".monitor");
  }

  server_.pactl({"set-default-sink", "out2"});
  // PipeWire applies a new default asynchronously.
  for (int i = 0; i < 100 && server_.pactl({"get-default-sink"}) != "out2"; ++i)
    std::this_thread::sleep_for(10ms);
  auto second = testsupport::queryContent();
  ASSERT_TRUE(second && second->content);
  EXPECT_EQ(names(*second->content), (std::vector<std::string>{"out2", "out"}));
}

TEST_P(CaptureTest, ServerWithoutOutputsGivesAnEmptyList) {
  startServer(0);
  auto answer = testsupport::queryContent();
  ASSERT_TRUE(answer);
  ASSERT_TRUE(answer->content) << (answer->error ? answer->error->description() : "");
  EXPECT_TRUE(answer->content->displays().empty());
  EXPECT_FALSE(answer->error);
}

TEST(CaptureWithoutServer, NoContentWhenNoServerListens) {
  testsupport::setPulseServerEnvironment(testsupport::unreachablePulseServer());
  auto answer = testsupport::queryContent();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->calls, 1);
  EXPECT_FALSE(answer->calledInsideTheCall);
  EXPECT_FALSE(answer->content);
  ASSERT_TRUE(answer->error);
  EXPECT_NE(answer->error->description().find("Connection refused"), std::string::npos)
      << answer->error->description();
}

TEST(CaptureOutputs, OnlyOneAudioOutputIsAccepted) {
  auto display =
      std::make_shared<platform::SCDisplay>(platform::SCDisplay{"out", "Null Output", "out.monitor"});
  auto stream = platform::ScreenCaptureService::system().makeStream(SCContentFilter(display, {}, {}),
                                                                    SCStreamConfiguration(), {});
  auto first = std::make_shared<RecordingOutput>();
  auto second = std::make_shared<RecordingOutput>();
  auto* queue = &platform::DispatchQueue::global();
  platform::Error error("", 0, "");
  EXPECT_FALSE(stream->addStreamOutput(first, SCStreamOutputType::screen, queue, &error));
  EXPECT_TRUE(stream->addStreamOutput(first, SCStreamOutputType::audio, queue, &error));
  EXPECT_FALSE(stream->addStreamOutput(second, SCStreamOutputType::audio, queue, &error));
  EXPECT_FALSE(error.description().empty());
}

TEST_P(CaptureTest, DeliversFloatBuffersInTheConfiguredFormat) {
  startServer(1);
  const struct {
    std::int64_t rate;
    std::int64_t channels;
  } cases[] = {{48000, 2}, {44100, 1}};
  for (const auto& format : cases) {
    SCOPED_TRACE(testing::Message() << format.rate << " Hz, " << format.channels << " channels");
    output_ = std::make_shared<RecordingOutput>();
    auto stream = makeStream("out", format.rate, format.channels);
    ASSERT_TRUE(stream);
    auto started = testsupport::startAndWait(*stream);
    ASSERT_TRUE(started);
    ASSERT_FALSE(*started) << (*started)->description();
    ASSERT_TRUE(output_->waitFor(10));
    for (const auto& delivery : output_->deliveries()) {
      EXPECT_EQ(delivery.sampleRate, format.rate);
      EXPECT_EQ(delivery.channels, format.channels);
      EXPECT_TRUE(delivery.formatFlags & platform::kAudioFormatFlagIsFloat);
      EXPECT_TRUE(delivery.formatFlags & platform::kAudioFormatFlagIsNonInterleaved);
      EXPECT_EQ(delivery.buffers, format.channels);
      EXPECT_GT(delivery.frames, 0);
      EXPECT_TRUE(delivery.buffersMatchFrames);
    }
    EXPECT_FALSE(output_->overlapped());
    EXPECT_EQ(delegate_->calls(), 0);
  }
}

TEST_P(CaptureTest, ToneComesBackAtItsFrequency) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  testsupport::TonePlayer tone(server_, "out", 1000);
  ASSERT_TRUE(
      output_->waitForSamples([](const std::vector<float>& s) { return audibleSamples(s) >= 24000; }, 15s))
      << "no tone arrived";
  const double frequency = estimateFrequency(output_->firstChannel(), 48000);
  EXPECT_NEAR(frequency, 1000, 20);
}

TEST_P(CaptureTest, StopHaltsDeliveriesAndStartResumesThem) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output_->waitFor(5));

  auto stopped = testsupport::stopAndWait(*stream);
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(*stopped);
  // Deliveries already handed to the queue may still land.
  std::this_thread::sleep_for(100ms);
  const auto afterStop = output_->count();
  std::this_thread::sleep_for(400ms);
  EXPECT_EQ(output_->count(), afterStop);

  auto restarted = testsupport::startAndWait(*stream);
  ASSERT_TRUE(restarted);
  EXPECT_FALSE(*restarted);
  EXPECT_TRUE(output_->waitFor(afterStop + 5));
  EXPECT_EQ(delegate_->calls(), 0);
}

TEST_P(CaptureTest, KilledServerStopsTheStreamWithOneError) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output_->waitFor(3));

  server_.kill();
  ASSERT_TRUE(delegate_->waitForCall());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(delegate_->calls(), 1);
  EXPECT_NE(delegate_->firstError()->description().find("Connection terminated"), std::string::npos)
      << delegate_->firstError()->description();
  // A failed stream refuses a restart instead of pretending to capture.
  auto restarted = testsupport::startAndWait(*stream);
  ASSERT_TRUE(restarted);
  EXPECT_TRUE(*restarted);
}

TEST_P(CaptureTest, RemovedOutputFailsTheStreamInsteadOfMovingIt) {
  startServer(2);
  auto stream = makeStream("out");
  ASSERT_TRUE(stream);
  auto started = testsupport::startAndWait(*stream);
  ASSERT_TRUE(started && !*started);
  ASSERT_TRUE(output_->waitFor(3));

  const auto module = server_.moduleOf("out");
  ASSERT_FALSE(module.empty());
  server_.pactl({"unload-module", module});
  ASSERT_TRUE(delegate_->waitForCall());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(delegate_->calls(), 1);
  // Nothing records any more: not out2's monitor, not any other source.
  EXPECT_EQ(sourceOutputsAfterSettling(), "");
  const auto afterFailure = output_->count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(output_->count(), afterFailure);
}

TEST_P(CaptureTest, DestroyingARunningStreamIsClean) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output_->waitFor(3));
  stream.reset();
  const auto afterDestruction = output_->count();
  std::this_thread::sleep_for(200ms);
  EXPECT_LE(output_->count(), afterDestruction + 1);
  EXPECT_EQ(sourceOutputsAfterSettling(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, CaptureTest,
                         testing::Values(SoundServerKind::pulse, SoundServerKind::pipewire),
                         [](const auto& info) { return testsupport::toString(info.param); });

}  // namespace
