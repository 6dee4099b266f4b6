// The capture service against private PulseAudio and PipeWire servers.
#include "platform/screen_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
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
  // A player with room to spare: at 20 ms it falls behind on a busy machine and leaves silence.
  testsupport::TonePlayer tone(server_, "out", 1000, 48000, 2, 200);
  ASSERT_TRUE(
      output_->waitForSamples([](const std::vector<float>& s) { return audibleSamples(s) >= 24000; }, 15s))
      << "no tone arrived";
  const double frequency = estimateFrequency(output_->firstChannel(), 48000);
  EXPECT_NEAR(frequency, 1000, 20);
}

double hostSeconds() { return platform::CMClockGetTime(platform::CMClockGetHostTimeClock()).seconds(); }

// A stop cuts the audio where it was asked for: what was captured before it is delivered, nothing
// captured between the stop and the restart is, and what follows the restart is.
TEST_P(CaptureTest, StopHaltsDeliveriesAndStartResumesThem) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output_->waitFor(5));

  const double stopAsked = hostSeconds();
  auto stopped = testsupport::stopAndWait(*stream);
  const double stopAnswered = hostSeconds();
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(*stopped);
  constexpr double kFrame = 1.0 / 48000;
  ASSERT_TRUE(output_->waitForDelivery([&](const auto& d) { return d.end >= stopAsked - kFrame; }))
      << "the audio up to the stop never came";

  const double restartAsked = hostSeconds();
  auto restarted = testsupport::startAndWait(*stream);
  ASSERT_TRUE(restarted);
  EXPECT_FALSE(*restarted);
  ASSERT_TRUE(output_->waitForDelivery([&](const auto& d) { return d.start >= restartAsked - kFrame; }))
      << "no audio after the restart";
  // Capture times are estimates smoothed over the chunks' arrivals, which may run a little ahead
  // of them: a chunk that arrived before the stop was seen stamped to end up to 1.4 ms after it.
  constexpr double kStampSlack = 0.005;
  for (const auto& delivery : output_->deliveries()) {
    EXPECT_TRUE(delivery.end <= stopAnswered + kStampSlack || delivery.start >= restartAsked - kFrame)
        << "captured while stopped: " << delivery.start << ".." << delivery.end << " stop " << stopAsked
        << ".." << stopAnswered << " restart " << restartAsked;
  }
  EXPECT_EQ(delegate_->calls(), 0);
}

// A faulty player's NaN passes a float output untouched; the capture hands on silence in its place.
TEST_P(CaptureTest, NonFiniteSamplesArriveAsSilence) {
  startServer(1);
  server_.pactl({"load-module", "module-null-sink", "sink_name=float", "format=float32le"});
  // The default output, since a capture follows the default.
  server_.pactl({"set-default-sink", "float"});
  platform::SCStreamRef stream;
  for (int i = 0; i < 100 && !stream; ++i) {
    auto answer = testsupport::queryContent();
    if (answer && answer->content && answer->content->displays().size() == 2 &&
        answer->content->displays().front()->name == "float") {
      stream = makeStream("float");
    }
  }
  ASSERT_TRUE(stream) << "the float output never appeared";
  auto started = testsupport::startAndWait(*stream);
  ASSERT_TRUE(started && !*started);
  testsupport::TonePlayer tone(server_, "float", 1000, 48000, 2, 20, true);
  ASSERT_TRUE(
      output_->waitForSamples([](const std::vector<float>& s) { return audibleSamples(s) >= 24000; }, 15s))
      << "no tone arrived";
  const auto samples = output_->firstChannel();
  EXPECT_TRUE(std::all_of(samples.begin(), samples.end(), [](float s) { return std::isfinite(s); }));
}

// Whatever sample format an output has, a full-scale tone arrives as float at full scale and at its
// frequency: the capture reads the monitor in its own format and converts it.
TEST_P(CaptureTest, EverySampleFormatOfAnOutputArrivesAsTheSameFloatTone) {
  startServer(1);
  for (const std::string format : {"s16le", "s24le", "s24-32le", "s32le", "float32le"}) {
    SCOPED_TRACE(format);
    std::string sink = format;
    std::erase(sink, '-');
    server_.pactl({"load-module", "module-null-sink", "sink_name=" + sink, "format=" + format, "rate=48000"});
    // The default output, since a capture follows the default.
    server_.pactl({"set-default-sink", sink});
    output_ = std::make_shared<RecordingOutput>();
    platform::SCStreamRef stream;
    for (int i = 0; i < 100 && !stream; ++i) {
      auto answer = testsupport::queryContent();
      if (answer && answer->content && !answer->content->displays().empty() &&
          answer->content->displays().front()->name == sink) {
        stream = makeStream(sink);
      }
    }
    ASSERT_TRUE(stream) << "the output never appeared";
    auto started = testsupport::startAndWait(*stream);
    ASSERT_TRUE(started && !*started);
    testsupport::TonePlayer tone(server_, sink, 1000);
    ASSERT_TRUE(
        output_->waitForSamples([](const std::vector<float>& s) { return audibleSamples(s) >= 24000; }, 15s))
        << "no tone arrived";
    const auto samples = output_->firstChannel();
    float peak = 0;
    for (float sample : samples) peak = std::max(peak, std::fabs(sample));
    EXPECT_NEAR(peak, 1.0f, 0.02f);
    // The last quarter second only: a player that falls behind on a busy machine leaves silence.
    EXPECT_NEAR(estimateFrequency({samples.end() - 12000, samples.end()}, 48000), 1000, 20);
    tone.stop();
    testsupport::stopAndWait(*stream);
  }
}

// A start the server refuses (the output went away between the query and the start) is the start's
// error alone: the stream never ran, so it has not stopped either.
TEST_P(CaptureTest, RefusedStartIsTheStartsErrorOnly) {
  startServer(1);
  auto display = std::make_shared<platform::SCDisplay>(platform::SCDisplay{"out", "", "gone.monitor"});
  SCStreamConfiguration configuration;
  configuration.setCapturesAudio(true);
  auto stream = platform::ScreenCaptureService::system().makeStream(SCContentFilter(display, {}, {}),
                                                                    configuration, delegate_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto started = testsupport::startAndWait(*stream);
    ASSERT_TRUE(started);
    EXPECT_TRUE(*started);
  }
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

// A server that stops answering (here held still) ends the capture with an error in bounded time,
// even while the capture is stopped and expects no audio.
TEST_P(CaptureTest, FrozenServerStopsTheStreamWithAnError) {
  auto stream = startCapturing();
  ASSERT_TRUE(stream);
  ASSERT_TRUE(output_->waitFor(3));
  auto stopped = testsupport::stopAndWait(*stream);
  ASSERT_TRUE(stopped && !*stopped);
  // The process that answers clients is the last one the script started.
  std::ifstream pids(server_.dir() + "/server/pids");
  pid_t pid = 0;
  for (pid_t next; pids >> next;) pid = next;
  ASSERT_GT(pid, 0);
  ::kill(pid, SIGSTOP);
  const bool called = delegate_->waitForCall(15s);
  ::kill(pid, SIGCONT);
  ASSERT_TRUE(called);
  EXPECT_NE(delegate_->firstError()->description().find("stopped answering"), std::string::npos)
      << delegate_->firstError()->description();
}

TEST_P(CaptureTest, RemovedOutputGivesWayToAnotherAndTheLastOneFailsTheStream) {
  startServer(2);
  auto stream = makeStream("out");
  ASSERT_TRUE(stream);
  auto started = testsupport::startAndWait(*stream);
  ASSERT_TRUE(started && !*started);
  ASSERT_TRUE(output_->waitFor(3));

  server_.pactl({"unload-module", server_.moduleOf("out")});
  // The same stream goes on with what the output that is left plays.
  testsupport::TonePlayer tone(server_, "out2", 1000);
  ASSERT_TRUE(
      output_->waitForSamples([](const std::vector<float>& s) { return audibleSamples(s) >= 4800; }, 10s))
      << "nothing from out2";
  EXPECT_EQ(delegate_->calls(), 0);
  EXPECT_FALSE(output_->overlapped());

  tone.stop();
  server_.pactl({"unload-module", server_.moduleOf("out2")});
  ASSERT_TRUE(delegate_->waitForCall());
  // Nothing records any more: no other source stands in for the outputs.
  EXPECT_EQ(sourceOutputsAfterSettling(), "");
  const auto afterFailure = output_->count();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(output_->count(), afterFailure);
  EXPECT_EQ(delegate_->calls(), 1);
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
