// The recorder's logic against the fake capture service. Each run happens in a child process,
// since most outcomes end the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "fakes/fake_capture.h"
#include "platform/signals.h"
#include "recorder/recorder_cli.h"
#include "response/response_handler.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using fakes::FakeCaptureService;
using fakes::FakeStream;
using fakes::makeSampleBuffer;
using testing_support::ChildResult;
using testing_support::limitFileSize;
using testing_support::runInChild;
using testing_support::runProgram;
using testing_support::TempDir;

namespace {

struct Scenario {
  std::vector<std::string> arguments;
  std::function<void(FakeCaptureService&)> setUp = [](FakeCaptureService& service) {
    service.displays = FakeCaptureService::makeDisplays(1);
  };
  // Runs on its own thread while the recorder runs; it may end the run with a signal.
  std::function<void(FakeCaptureService&)> drive = [](FakeCaptureService&) {};
};

// Runs the recorder as the program's entry does, with the fake service.
ChildResult run(const Scenario& scenario) {
  ChildResult result = runInChild(
      [&] {
        platform::receiveSignalsOnOneThread({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2});
        FakeCaptureService service;
        scenario.setUp(service);
        auto recorder = RecorderCLI::init(scenario.arguments, service);
        std::thread([&] { scenario.drive(service); }).detach();
        recorder->executeRecordingProcess();
        ResponseHandler::exitProcess();
      },
      20s);
  EXPECT_EQ(result.err, "") << "nothing goes to standard error (sanitizer reports included)";
  EXPECT_FALSE(result.timedOut);
  return result;
}

std::vector<nlohmann::json> responses(const ChildResult& result) {
  std::vector<nlohmann::json> found;
  for (const auto& line : result.lines()) {
    if (!line.empty() && line[0] == '{') found.push_back(nlohmann::json::parse(line));
  }
  return found;
}

std::vector<std::string> codes(const ChildResult& result) {
  std::vector<std::string> found;
  for (const auto& response : responses(result)) found.push_back(response["code"]);
  return found;
}

int count(const ChildResult& result, const std::string& line) {
  auto lines = result.lines();
  return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

void waitForFile() {
  for (int i = 0; i < 500 && !RecorderCLI::audioFileForRecording(); ++i) std::this_thread::sleep_for(5ms);
}

// Waits for the capture to start, delivers a first buffer and waits for the watchdog to create
// the file.
std::shared_ptr<FakeStream> startRecording(FakeCaptureService& service) {
  auto stream = service.waitForStream();
  stream->waitForStarts(1);
  stream->deliver(makeSampleBuffer(480));
  waitForFile();
  return stream;
}

// Delivers seconds of audio in 10 ms buffers.
void deliverSeconds(FakeStream& stream, double seconds, float value = 0.25f) {
  for (int i = 0; i < static_cast<int>(seconds * 100 + 0.5); ++i)
    stream.deliver(makeSampleBuffer(480, 48000, 2, value));
}

double durationOf(const std::string& path) {
  ChildResult probe = runProgram(
      {"/usr/bin/ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path});
  return probe.out.empty() ? -1 : std::stod(probe.out);
}

constexpr double kAacFrame = 1024.0 / 48000;

// The recorder installs its SIGINT handler only after the content query has started, so a test
// that interrupts that early waits for the handler; the default action would end the child silently.
void interruptOnceHandled() {
  struct sigaction current {};
  for (int i = 0; i < 2000; ++i) {
    sigaction(SIGINT, nullptr, &current);
    if (current.sa_handler != SIG_DFL) break;
    std::this_thread::sleep_for(1ms);
  }
  kill(getpid(), SIGINT);
}

}  // namespace

TEST(Recorder, NoDisplayEndsTheRun) {
  struct Case {
    const char* label;
    std::optional<int> displays;  // none: the query fails
  };
  for (const Case& c : {Case{"query fails", std::nullopt}, Case{"no display", 0}}) {
    TempDir dir;
    Scenario scenario{{"prog", "--record", dir.str()}};
    scenario.setUp = [&](FakeCaptureService& service) {
      if (c.displays) service.displays = FakeCaptureService::makeDisplays(*c.displays);
    };
    ChildResult result = run(scenario);
    EXPECT_EQ(result.out, "{\"code\":\"NO_DISPLAY_FOUND\"}\n") << c.label;
    EXPECT_EQ(result.exitStatus, 0) << c.label;
  }
}

TEST(Recorder, CapturesTheFirstDisplayWithAudioConfiguration) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str()}};
  scenario.setUp = [](FakeCaptureService& service) {
    service.displays = FakeCaptureService::makeDisplays(3);
  };
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = service.waitForStream();
    stream->waitForStarts(1);
    const auto& configuration = stream->configuration;
    std::printf("display=%s excluded=%zu excepted=%zu audio=%d rate=%lld channels=%lld registrations=%d\n",
                stream->filter.display()->name.c_str(), stream->filter.excludingApplications().size(),
                stream->filter.exceptingWindows().size(), configuration.capturesAudio(),
                static_cast<long long>(configuration.sampleRate()),
                static_cast<long long>(configuration.channelCount()), stream->outputRegistrations());
    std::fflush(stdout);
    interruptOnceHandled();
  };
  ChildResult result = run(scenario);
  ASSERT_GE(result.lines().size(), 2u) << result.out;
  EXPECT_EQ(result.lines()[0],
            "display=out0 excluded=0 excepted=0 audio=1 rate=48000 channels=2 registrations=1");
  EXPECT_EQ(codes(result), std::vector<std::string>{"RECORDING_STOPPED"});
  EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "stopped before the watchdog: no file";
}

TEST(Recorder, RefusedCaptureEndsWithCaptureFailed) {
  struct Case {
    const char* label;
    bool refuseOutput;
    bool startRequested;
  };
  for (const Case& c : {Case{"output refused", true, false}, Case{"start refused", false, true}}) {
    TempDir dir;
    Scenario scenario{{"prog", "--record", dir.str()}};
    scenario.setUp = [&](FakeCaptureService& service) {
      service.displays = FakeCaptureService::makeDisplays(1);
      service.prepareStream = [&](FakeStream& stream) {
        if (c.refuseOutput) {
          stream.refuseOutput = platform::Error("Fake", 2, "refused");
        } else {
          stream.startOutcomes.push_back(platform::Error("Fake", 3, "refused"));
        }
        stream.onStartRequest = [] { std::printf("start requested\n"); };
      };
    };
    ChildResult result = run(scenario);
    EXPECT_EQ(result.out,
              std::string(c.startRequested ? "start requested\n" : "") + "{\"code\":\"CAPTURE_FAILED\"}\n")
        << c.label;
    EXPECT_EQ(result.exitStatus, 0) << c.label;
  }
}

TEST(Recorder, NoDeliveryBeforeTheDeadline) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str()}};
  auto started = std::chrono::steady_clock::now();
  ChildResult result = run(scenario);
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(result.out, "{\"code\":\"STREAM_FUNCTION_NOT_CALLED\"}\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_GE(elapsed, 450ms);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Recorder, RecordsOnlyWhatArrivesAfterTheFileExists) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "take"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = service.waitForStream();
    stream->waitForStarts(1);
    deliverSeconds(*stream, 0.2);  // before the deadline: marks the stream as working only
    stream->deliver(nullptr);
    waitForFile();
    deliverSeconds(*stream, 1.0);
    auto invalid = makeSampleBuffer(480);
    invalid->invalidate();
    stream->deliver(invalid);
    stream->deliver(makeSampleBuffer(480, 48000, 2, 0.f));
    kill(getpid(), SIGINT);
  };
  ChildResult result = run(scenario);
  auto found = responses(result);
  ASSERT_EQ(codes(result), (std::vector<std::string>{"RECORDING_STARTED", "RECORDING_STOPPED"}))
      << result.out;
  const std::string path = dir.str() + "/take.m4a";
  EXPECT_EQ(found[0]["path"], path);
  EXPECT_EQ(count(result, "Invalid sample buffer"), 2);
  EXPECT_NEAR(durationOf(path), 1.01, kAacFrame);
}

TEST(Recorder, ConcurrentDeliveriesAreAllWritten) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "many"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = startRecording(service);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { deliverSeconds(*stream, 0.5); });
    for (auto& thread : threads) thread.join();
    kill(getpid(), SIGINT);
  };
  ChildResult result = run(scenario);
  EXPECT_EQ(codes(result), (std::vector<std::string>{"RECORDING_STARTED", "RECORDING_STOPPED"}))
      << result.out;
  EXPECT_NEAR(durationOf(dir.str() + "/many.m4a"), 2.0, kAacFrame);
}

TEST(Recorder, MissingDirectoryFailsAtCreation) {
  TempDir dir;
  const std::string missing = dir.str() + "/missing";
  Scenario scenario{{"prog", "--record", missing, "--filename", "x"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = service.waitForStream();
    stream->waitForStarts(1);
    stream->deliver(makeSampleBuffer(480));
  };
  ChildResult result = run(scenario);
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_EQ(lines[0].rfind("Error creating audio file: ", 0), 0u) << lines[0];
  auto response = nlohmann::json::parse(lines[1]);
  EXPECT_EQ(response["code"], "AUDIO_FILE_CREATION_FAILED");
  EXPECT_EQ(response["path"], missing + "/x.m4a");
  EXPECT_EQ(lines[0], "Error creating audio file: " + response["error"].get<std::string>());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(Recorder, FailedWriteKeepsTheAudioWrittenBefore) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "full"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = startRecording(service);
    limitFileSize(200 * 1024);  // about 12 s of audio at 128 kb/s
    deliverSeconds(*stream, 60);
    std::printf("all written\n");
  };
  ChildResult result = run(scenario);
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), 3u) << result.out;
  EXPECT_EQ(lines[1].rfind("Error writing audio buffer: ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "{\"code\":\"AUDIO_BUFFER_WRITE_FAILED\"}");
  EXPECT_EQ(result.exitStatus, 0);
  double duration = durationOf(dir.str() + "/full.m4a");
  EXPECT_GT(duration, 5.0);
  EXPECT_LT(duration, 15.0);
}

TEST(Recorder, StreamFailureReportsAndReturns) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "cut"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = startRecording(service);
    deliverSeconds(*stream, 1.0);
    stream->failWith(platform::Error("Fake", 4, "Connection terminated"));
    deliverSeconds(*stream, 0.5);  // after the teardown: dropped
  };
  ChildResult result = run(scenario);
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), 2u) << result.out;
  EXPECT_EQ(lines[1], "{\"code\":\"STREAM_ERROR\"}");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NEAR(durationOf(dir.str() + "/cut.m4a"), 1.0, kAacFrame);
}

// The disk fills as the last samples are written: the end is reported as a failure, never as a
// clean stop, and the audio up to the last complete fragment stays playable.
TEST(Recorder, FailedFinishIsReported) {
  struct Case {
    const char* label;
    bool streamFails;  // otherwise SIGINT
  };
  for (const Case& c : {Case{"interrupted", false}, Case{"stream failed", true}}) {
    TempDir dir;
    const std::string path = dir.str() + "/last.m4a";
    Scenario scenario{{"prog", "--record", dir.str(), "--filename", "last"}};
    scenario.drive = [&](FakeCaptureService& service) {
      auto stream = startRecording(service);
      deliverSeconds(*stream, 1.5);  // one fragment on disk, half a second still to write
      limitFileSize(std::filesystem::file_size(path) + 256);
      if (c.streamFails) {
        stream->failWith(platform::Error("Fake", 4, "Connection terminated"));
      } else {
        kill(getpid(), SIGINT);
      }
    };
    ChildResult result = run(scenario);
    auto lines = result.lines();
    if (c.streamFails) {
      ASSERT_EQ(lines.size(), 3u) << result.out;
      EXPECT_EQ(lines[1], "{\"code\":\"STREAM_ERROR\"}");
      EXPECT_EQ(lines[2].rfind("Error finishing audio file: ", 0), 0u) << lines[2];
    } else {
      ASSERT_EQ(lines.size(), 2u) << result.out;  // no RECORDING_STOPPED for a broken file
      auto response = nlohmann::json::parse(lines[1]);
      EXPECT_EQ(response["code"], "AUDIO_FILE_FINISH_FAILED");
      EXPECT_EQ(response["path"], path);
      EXPECT_NE(response["error"].get<std::string>().find("File too large"), std::string::npos);
      EXPECT_TRUE(response.contains("timestamp"));
    }
    EXPECT_EQ(result.exitStatus, 0) << c.label;
    const double duration = durationOf(path);
    EXPECT_GE(duration, 0.9) << c.label;
    EXPECT_LT(duration, 1.5) << c.label;
  }
}

TEST(Recorder, PauseAndResume) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "paused"}};
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = startRecording(service);
    deliverSeconds(*stream, 1.0);
    auto capturedBeforeThePause = makeSampleBuffer(14400);  // 0.3 s
    kill(getpid(), SIGUSR1);
    // Each repeat once the first was handled: two pending instances of a signal are one.
    while (stream->stopRequests() < 1) std::this_thread::sleep_for(1ms);
    kill(getpid(), SIGUSR1);                  // ignored
    stream->deliver(capturedBeforeThePause);  // arrives late, but is recorded
    deliverSeconds(*stream, 0.5);             // captured after the pause: not recorded
    kill(getpid(), SIGUSR2);
    stream->waitForStarts(2);
    kill(getpid(), SIGUSR2);  // ignored
    deliverSeconds(*stream, 0.7);
    std::printf("starts=%d stops=%d\n", stream->startRequests(), stream->stopRequests());
    kill(getpid(), SIGINT);  // waits for the restart's line
  };
  ChildResult result = run(scenario);
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), 5u) << result.out;
  EXPECT_EQ(lines[1], "Recording paused.");
  // The restart's line and the test's own come from different threads, in either order.
  EXPECT_EQ(std::set<std::string>(lines.begin() + 2, lines.begin() + 4),
            (std::set<std::string>{"Recording resumed.", "starts=2 stops=1"}));
  EXPECT_EQ(nlohmann::json::parse(lines[4])["code"], "RECORDING_STOPPED");
  EXPECT_NEAR(durationOf(dir.str() + "/paused.m4a"), 2.0, kAacFrame);
}

// A pause before the first buffer: the recording still starts, holds nothing until the resume,
// and the stream is not stopped, so the start watchdog sees it deliver.
class PauseBeforeTheFirstBuffer : public testing::TestWithParam<bool> {};

TEST_P(PauseBeforeTheFirstBuffer, StartsAndRecordsFromTheResume) {
  const bool streamExists = GetParam();
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "early"}};
  auto pause = [] {
    kill(getpid(), SIGUSR1);
    while (!RecorderCLI::shared()->isPaused()) std::this_thread::sleep_for(1ms);
  };
  scenario.setUp = [&](FakeCaptureService& service) {
    service.displays = FakeCaptureService::makeDisplays(1);
    if (!streamExists) service.beforeContent = pause;
  };
  scenario.drive = [&](FakeCaptureService& service) {
    auto stream = service.waitForStream();
    stream->waitForStarts(1);
    if (streamExists) pause();
    std::printf("stops=%d\n", stream->stopRequests());
    deliverSeconds(*stream, 0.1);
    waitForFile();
    deliverSeconds(*stream, 1.0);  // paused: the stream runs, nothing is written
    kill(getpid(), SIGUSR2);       // a start request to the running stream
    stream->waitForStarts(2);
    deliverSeconds(*stream, 0.6);
    kill(getpid(), SIGINT);  // waits for the restart's line
  };
  ChildResult result = run(scenario);
  EXPECT_EQ(count(result, "stops=0"), 1) << result.out;
  EXPECT_EQ(count(result, "Recording paused."), 1) << result.out;
  EXPECT_EQ(count(result, "Recording resumed."), 1) << result.out;
  EXPECT_EQ(codes(result), (std::vector<std::string>{"RECORDING_STARTED", "RECORDING_STOPPED"}));
  EXPECT_NEAR(durationOf(dir.str() + "/early.m4a"), 0.6, kAacFrame);
}

INSTANTIATE_TEST_SUITE_P(Recorder, PauseBeforeTheFirstBuffer, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "AfterTheStreamStarted" : "BeforeTheStreamExists";
                         });

TEST(Recorder, RefusedRestartEndsWithResumeError) {
  TempDir dir;
  Scenario scenario{{"prog", "--record", dir.str(), "--filename", "refused"}};
  scenario.setUp = [](FakeCaptureService& service) {
    service.displays = FakeCaptureService::makeDisplays(1);
    service.prepareStream = [](FakeStream& stream) {
      stream.startOutcomes = {std::nullopt, platform::Error("Fake", 5, "The output is gone")};
    };
  };
  scenario.drive = [](FakeCaptureService& service) {
    auto stream = startRecording(service);
    deliverSeconds(*stream, 1.0);
    kill(getpid(), SIGUSR1);
    while (stream->stopRequests() < 1) std::this_thread::sleep_for(1ms);
    kill(getpid(), SIGUSR2);
  };
  ChildResult result = run(scenario);
  auto lines = result.lines();
  ASSERT_EQ(lines.size(), 4u) << result.out;
  EXPECT_EQ(lines[1], "Recording paused.");
  EXPECT_EQ(lines[2], "Error resuming recording: The output is gone");
  EXPECT_EQ(lines[3], R"({"code":"RESUME_ERROR","error":"The output is gone"})");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NEAR(durationOf(dir.str() + "/refused.m4a"), 1.0, kAacFrame);
}
