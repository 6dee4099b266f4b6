#include "support/sound_server.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

const char* const kScript = SAR_SOURCE_DIR "/tests/support/sound-server";

// The environment of this process with PULSE_SERVER replaced.
std::vector<std::string> environmentWith(const std::string& pulseServer) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::string_view(*entry).starts_with("PULSE_SERVER=")) continue;
    result.emplace_back(*entry);
  }
  if (!pulseServer.empty()) result.push_back("PULSE_SERVER=" + pulseServer);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnAttributes() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// Runs argv to its end; stdout and stderr together in *output. The exit status or -1.
int run(std::vector<std::string> argv, std::vector<std::string> environment, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  SpawnAttributes spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&spawn.actions, fds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  auto args = pointers(argv);
  auto env = pointers(environment);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &spawn.actions, &spawn.attributes, args.data(), env.data());
  close(fds[1]);
  std::string text;
  if (rc == 0) {
    char buffer[4096];
    for (;;) {
      ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n > 0) {
        text.append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
  }
  close(fds[0]);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (output != nullptr) *output = std::move(text);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::string toString(SoundServerKind kind) { return kind == SoundServerKind::pulse ? "pulse" : "pipewire"; }

std::string unreachablePulseServer() { return "unix:/nonexistent/sar-no-server/native"; }

void setPulseServerEnvironment(const std::string& server) {
  // Only PULSE_SERVER decides where libpulse connects; nothing else may steer it elsewhere.
  for (const char* name : {"PULSE_SINK", "PULSE_SOURCE", "PULSE_CLIENTCONFIG", "PULSE_RUNTIME_PATH"}) {
    unsetenv(name);
  }
  setenv("PULSE_SERVER", server.c_str(), 1);
}

int runWithPulseServer(const std::string& server, const std::vector<std::string>& argv, std::string* output) {
  return run(argv, environmentWith(server), output);
}

SoundServer::~SoundServer() {
  stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

testing::AssertionResult SoundServer::script(const std::vector<std::string>& args,
                                             std::string* output) const {
  std::vector<std::string> argv{kScript};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string text;
  int status = run(argv, environmentWith(""), &text);
  if (output != nullptr) *output = text;
  if (status != 0) return testing::AssertionFailure() << "sound-server " << args[0] << " failed: " << text;
  return testing::AssertionSuccess();
}

testing::AssertionResult SoundServer::start(SoundServerKind kind, int outputs, int idleSuspendSeconds) {
  if (running_) return testing::AssertionFailure() << "already running";
  if (dir_.empty()) {
    // Short: the socket path must fit in sockaddr_un.
    char pattern[] = "/tmp/sar-ss-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return testing::AssertionFailure() << "mkdtemp failed";
    dir_ = pattern;
  }
  std::vector<std::string> args{"start", toString(kind), dir_ + "/server", "--outputs",
                                std::to_string(outputs)};
  if (idleSuspendSeconds >= 0) {
    args.push_back("--idle-suspend");
    args.push_back(std::to_string(idleSuspendSeconds));
  }
  std::string text;
  auto result = script(args, &text);
  if (!result) return result;
  std::ifstream env(dir_ + "/server/env");
  std::string line;
  std::getline(env, line);
  if (!line.starts_with("PULSE_SERVER=")) return testing::AssertionFailure() << "no env file: " << text;
  pulseServer_ = line.substr(std::string("PULSE_SERVER=").size());
  running_ = true;
  return testing::AssertionSuccess();
}

void SoundServer::stop() {
  if (!running_) return;
  running_ = false;
  EXPECT_TRUE(script({"stop", dir_ + "/server"}, nullptr));
}

void SoundServer::kill() {
  if (!running_) return;
  running_ = false;
  EXPECT_TRUE(script({"kill", dir_ + "/server"}, nullptr));
}

std::string SoundServer::pactl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"pactl"};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string output;
  int status = runWithPulseServer(pulseServer_, argv, &output);
  EXPECT_EQ(status, 0) << "pactl failed: " << output;
  return trimmed(output);
}

std::string SoundServer::moduleOf(const std::string& sink) const {
  std::istringstream modules(pactl({"list", "short", "modules"}));
  std::string line;
  while (std::getline(modules, line)) {
    std::istringstream fields(line);
    std::string index, name, argument;
    fields >> index >> name;
    while (fields >> argument) {
      if (name == "module-null-sink" && argument == "sink_name=" + sink) return index;
    }
  }
  return "";
}

TonePlayer::TonePlayer(const SoundServer& server, const std::string& sink, double frequency, int rate,
                       int channels, int latencyMs, bool withNaN) {
  const std::string format = " -r " + std::to_string(rate) + " -c " + std::to_string(channels);
  const std::string chunk = std::to_string(rate / 100 * channels * 4);
  const std::string nan =
      withNaN ? " | perl -e '$|=1; binmode STDIN; binmode STDOUT; while (read(STDIN, $b, " + chunk +
                    ") == " + chunk + ") { substr($b, 0, 4) = pack(\"V\", 0x7fc00000); print $b }'"
              : std::string();
  std::string command =
      "exec 2>/dev/null; sox -n -t raw -e floating-point -b 32 -L" + format + " - synth 3600 sine " +
      std::to_string(frequency) + nan + " | exec pacat --playback --raw --device=" + sink +
      " --format=float32le --rate=" + std::to_string(rate) + " --channels=" + std::to_string(channels) +
      (latencyMs > 0 ? " --latency-msec=" + std::to_string(latencyMs) : std::string());
  std::vector<std::string> argv{"/bin/sh", "-c", command};
  auto environment = environmentWith(server.pulseServer());
  SpawnAttributes spawn;
  // Its own process group, so that stop() ends sox and pacat together.
  posix_spawnattr_setpgroup(&spawn.attributes, 0);
  posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  auto args = pointers(argv);
  auto env = pointers(environment);
  if (posix_spawn(&pid_, args[0], &spawn.actions, &spawn.attributes, args.data(), env.data()) != 0) {
    pid_ = -1;
    ADD_FAILURE() << "could not start the tone player";
  }
}

TonePlayer::~TonePlayer() { stop(); }

void TonePlayer::stop() {
  if (pid_ <= 0) return;
  ::kill(-pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace testsupport
