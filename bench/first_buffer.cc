// Time from the start of the content query to the first sample buffer at the output, in the
// situations users meet, against parec (10 ms latency, a plain connect) as the peer in the same
// run and on the same server.
//
//   first_buffer [STARTS]     (default 20 starts per situation and contender)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <random>
#include <thread>

#include "platform/screen_capture.h"
#include "support/sound_server.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::SoundServer;
using testsupport::SoundServerKind;

constexpr auto kGiveUp = 5s;

class FirstBuffer : public platform::SCStreamOutput {
 public:
  void stream(platform::SCStream&, const platform::CMSampleBufferRef&,
              platform::SCStreamOutputType) override {
    if (!arrived_.exchange(true)) promise_.set_value(Clock::now());
  }
  std::future<Clock::time_point> future() { return promise_.get_future(); }

 private:
  std::atomic<bool> arrived_{false};
  std::promise<Clock::time_point> promise_;
};

// Milliseconds from the content query to the first buffer; negative on failure.
double oursOnce() {
  auto output = std::make_shared<FirstBuffer>();
  auto arrived = output->future();
  auto streamHolder = std::make_shared<std::promise<platform::SCStreamRef>>();
  auto streamFuture = streamHolder->get_future();
  const auto t0 = Clock::now();
  platform::ScreenCaptureService::system().getShareableContent(
      true, true,
      [output, streamHolder](platform::SCShareableContentRef content, std::optional<platform::Error>) {
        if (!content || content->displays().empty()) {
          streamHolder->set_value(nullptr);
          return;
        }
        platform::SCStreamConfiguration configuration;
        configuration.setCapturesAudio(true);
        auto stream = platform::ScreenCaptureService::system().makeStream(
            platform::SCContentFilter(content->displays().front(), {}, {}), configuration, {});
        platform::Error error("", 0, "");
        stream->addStreamOutput(output, platform::SCStreamOutputType::audio,
                                &platform::DispatchQueue::global(), &error);
        stream->startCapture([](std::optional<platform::Error>) {});
        streamHolder->set_value(stream);
      });
  if (streamFuture.wait_for(kGiveUp) != std::future_status::ready) return -1;
  auto stream = streamFuture.get();
  if (!stream || arrived.wait_for(kGiveUp) != std::future_status::ready) return -1;
  return std::chrono::duration<double, std::milli>(arrived.get() - t0).count();
}

// Milliseconds from spawning parec to its first byte of audio; negative on failure.
double parecOnce(const SoundServer& server) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<std::string> env;
  for (char** entry = environ; *entry; ++entry) {
    if (!std::string_view(*entry).starts_with("PULSE_SERVER=")) env.emplace_back(*entry);
  }
  env.push_back("PULSE_SERVER=" + server.pulseServer());
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{"parec",        "--device=out.monitor", "--format=float32le",
                                "--rate=48000", "--channels=2",         "--latency-msec=10",
                                "--raw"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  pid_t pid;
  const auto t0 = Clock::now();
  const int rc = posix_spawnp(&pid, "parec", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  double result = -1;
  if (rc == 0) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kGiveUp).count())) == 1) {
      char byte;
      if (read(fds[0], &byte, 1) == 1)
        result = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  close(fds[0]);
  return result;
}

struct Figures {
  double median = 0;
  double max = 0;
  int failures = 0;
};

Figures summarise(std::vector<double> values) {
  Figures figures;
  figures.failures =
      static_cast<int>(std::count_if(values.begin(), values.end(), [](double v) { return v < 0; }));
  std::erase_if(values, [](double v) { return v < 0; });
  if (values.empty()) return figures;
  std::sort(values.begin(), values.end());
  figures.median = values[values.size() / 2];
  figures.max = values.back();
  return figures;
}

struct Situation {
  const char* name;
  SoundServerKind kind;
  int idleSuspendSeconds;  // -1: the script's default
  int playerLatencyMs;     // -1: nothing plays; 0: a player at the server's default latency
  bool waitForSuspension;
};

bool outputSuspended(const SoundServer& server) {
  std::string sinks;
  testsupport::runWithPulseServer(server.pulseServer(), {"pactl", "list", "short", "sinks"}, &sinks);
  return sinks.find("SUSPENDED") != std::string::npos;
}

void run(const Situation& situation, int starts) {
  SoundServer server;
  if (!server.start(situation.kind, 1, situation.idleSuspendSeconds)) {
    std::printf("%-44s could not start the server\n", situation.name);
    return;
  }
  server.setProcessEnvironment();
  std::unique_ptr<testsupport::TonePlayer> player;
  if (situation.playerLatencyMs >= 0) {
    player =
        std::make_unique<testsupport::TonePlayer>(server, "out", 440, 48000, 2, situation.playerLatencyMs);
    // Until the output has woken to the player's latency, it is still in its idle block.
    std::this_thread::sleep_for(2500ms);
  }
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pauseMs(100, 2100);
  auto settle = [&] {
    if (situation.waitForSuspension) {
      for (int i = 0; i < 400 && !outputSuspended(server); ++i) std::this_thread::sleep_for(10ms);
    } else {
      // Idle outputs wake on their own timer: start at varying points of it.
      std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(random)));
    }
  };
  std::vector<double> ours, peer;
  for (int i = 0; i < starts; ++i) {
    settle();
    ours.push_back(oursOnce());
    settle();
    peer.push_back(parecOnce(server));
  }
  const auto a = summarise(ours);
  const auto b = summarise(peer);
  std::printf(
      "%-44s ours %7.1f / %7.1f ms (%d failed)   parec %7.1f / %7.1f ms (%d failed)   ratio median %.3f max "
      "%.3f\n",
      situation.name, a.median, a.max, a.failures, b.median, b.max, b.failures,
      b.median > 0 ? a.median / b.median : 0, b.max > 0 ? a.max / b.max : 0);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int starts = argc > 1 ? std::atoi(argv[1]) : 20;
  std::printf("first buffer after the start of the content query: median / max of %d starts\n", starts);
  const Situation situations[] = {
      {"PipeWire, idle null output", SoundServerKind::pipewire, -1, -1, false},
      {"PulseAudio, suspended output", SoundServerKind::pulse, 1, -1, true},
      {"PulseAudio, idle output, not suspended", SoundServerKind::pulse, 0, -1, false},
      {"PulseAudio, default-latency player playing", SoundServerKind::pulse, 0, 0, false},
      {"PulseAudio, 20 ms player playing", SoundServerKind::pulse, 0, 20, false},
  };
  for (const auto& situation : situations) run(situation, starts);
  // The pool and the service outlive main by design; end without static destructors.
  std::fflush(stdout);
  _exit(0);
}
