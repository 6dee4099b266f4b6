// The watch of the sound server's default output, against private PulseAudio and PipeWire servers.
#include "platform/pulse/output_watch.h"

#include <gtest/gtest.h>

#include "support/sound_server.h"

namespace {

using namespace std::chrono_literals;
using platform::pulse::OutputWatch;
using platform::pulse::PulseConnection;
using platform::pulse::WatchedOutput;
using testsupport::SoundServer;
using testsupport::SoundServerKind;

class OutputWatchTest : public testing::TestWithParam<SoundServerKind> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.start(GetParam(), 2, 0));
    server_.setProcessEnvironment();
    platform::Error error;
    connection_ = PulseConnection::connect(false, 5s, &error);
    ASSERT_TRUE(connection_) << error.description();
    PulseConnection::Lock lock(*connection_);
    watch_ = OutputWatch::start(
        *connection_,
        [this](const OutputWatch& watch) {
          reports_.push_back(watch.current());
          connection_->signal();
        },
        &error);
    ASSERT_TRUE(watch_) << error.description();
  }

  void TearDown() override {
    if (!connection_) return;
    {
      PulseConnection::Lock lock(*connection_);
      watch_.reset();
    }
    connection_.reset();
  }

  // Waits until the last report satisfies pred; the reports so far when it does not.
  testing::AssertionResult waitForReport(
      const std::function<bool(const std::optional<WatchedOutput>&)>& pred) {
    PulseConnection::Lock lock(*connection_);
    if (connection_->waitUntil([&] { return !reports_.empty() && pred(reports_.back()); },
                               PulseConnection::Clock::now() + 5s)) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "reports: " << describe();
  }

  testing::AssertionResult waitForOutput(const std::string& sink) {
    return waitForReport([&](const auto& output) {
      return output && output->sinkName == sink && output->monitorSourceName == sink + ".monitor";
    });
  }

  // Asks once more and waits for that answer: every event sent before is then accounted for.
  testing::AssertionResult settle() {
    std::size_t before;
    {
      PulseConnection::Lock lock(*connection_);
      before = reports_.size();
      watch_->refresh();
    }
    PulseConnection::Lock lock(*connection_);
    if (connection_->waitUntil([&] { return reports_.size() > before; },
                               PulseConnection::Clock::now() + 5s)) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "no answer to a refresh";
  }

  // Reported once per change, not once per event; the last report answers settle().
  void expectEachReportAChange() {
    const auto all = reports();
    for (std::size_t i = 1; i + 1 < all.size(); ++i) EXPECT_NE(all[i], all[i - 1]) << "report " << i;
  }

  std::vector<std::optional<WatchedOutput>> reports() {
    PulseConnection::Lock lock(*connection_);
    return reports_;
  }

  // With the lock held.
  std::string describe() const {
    std::string text;
    for (const auto& output : reports_) {
      text += output ? output->sinkName + "(" + output->monitorSourceName +
                           (output->suspended ? ", suspended" : "") + ")"
                     : std::string("none");
      text += " ";
    }
    return text;
  }

  SoundServer server_;
  std::unique_ptr<PulseConnection> connection_;
  std::unique_ptr<OutputWatch> watch_;
  std::vector<std::optional<WatchedOutput>> reports_;  // guarded by the mainloop lock
};

TEST_P(OutputWatchTest, FollowsTheDefaultOutput) {
  ASSERT_TRUE(waitForOutput("out"));
  {
    PulseConnection::Lock lock(*connection_);
    EXPECT_EQ(watch_->serverName().find("PipeWire") != std::string::npos,
              GetParam() == SoundServerKind::pipewire)
        << watch_->serverName();
  }
  server_.pactl({"set-default-sink", "out2"});
  ASSERT_TRUE(waitForOutput("out2"));
  server_.pactl({"set-default-sink", "out"});
  ASSERT_TRUE(waitForOutput("out"));
  ASSERT_TRUE(settle());
  expectEachReportAChange();
}

TEST_P(OutputWatchTest, RapidSwitchesEndOnTheLastDefault) {
  server_.pactl({"load-module", "module-null-sink", "sink_name=out3"});
  ASSERT_TRUE(waitForOutput("out"));
  // The last default is named once only, so that its report cannot be an earlier one.
  for (const char* sink : {"out2", "out", "out2", "out3"}) server_.pactl({"set-default-sink", sink});
  ASSERT_TRUE(waitForOutput("out3"));
  ASSERT_TRUE(settle());
  const auto all = reports();
  ASSERT_TRUE(all.back());
  EXPECT_EQ(all.back()->sinkName, "out3");
  expectEachReportAChange();
}

TEST_P(OutputWatchTest, RemovedOutputsGiveWayAndNeverToAnInput) {
  // A microphone that is the default input must never stand in for an output.
  const auto fifo = server_.dir() + "/mic";
  server_.pactl({"load-module", "module-pipe-source", "file=" + fifo, "source_name=mic", "format=s16le",
                 "rate=48000", "channels=2"});
  server_.pactl({"set-default-source", "mic"});
  ASSERT_TRUE(waitForOutput("out"));

  server_.pactl({"unload-module", server_.moduleOf("out")});
  ASSERT_TRUE(waitForOutput("out2"));
  server_.pactl({"unload-module", server_.moduleOf("out2")});
  ASSERT_TRUE(waitForReport([](const auto& output) { return !output; }));
  ASSERT_TRUE(settle());
  for (const auto& output : reports()) {
    if (output) {
      EXPECT_NE(output->monitorSourceName, "mic");
    }
  }
  EXPECT_FALSE(reports().back());

  // An output that comes back is followed again.
  server_.pactl({"load-module", "module-null-sink", "sink_name=out3"});
  ASSERT_TRUE(waitForOutput("out3"));
}

TEST_P(OutputWatchTest, SeesEveryChangeOfTheOutput) {
  ASSERT_TRUE(waitForOutput("out"));
  // A player keeps the output running, as a recording does.
  testsupport::TonePlayer player(server_, "out", 440);
  ASSERT_TRUE(waitForReport([](const auto& output) { return output && !output->suspended; }));
  const auto before = reports().back()->changes;
  // PipeWire suspends for a moment only: the count shows it where the state may not.
  server_.pactl({"suspend-sink", "out", "1"});
  ASSERT_TRUE(waitForReport([&](const auto& output) { return output && output->changes > before; }));
  server_.pactl({"suspend-sink", "out", "0"});
  ASSERT_TRUE(waitForReport(
      [](const auto& output) { return output && output->sinkName == "out" && !output->suspended; }));
}

INSTANTIATE_TEST_SUITE_P(Servers, OutputWatchTest,
                         testing::Values(SoundServerKind::pulse, SoundServerKind::pipewire),
                         [](const auto& info) { return testsupport::toString(info.param); });

}  // namespace
