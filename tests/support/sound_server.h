// Private sound servers for tests (PulseAudio, or PipeWire with its pulse server), each in its own
// temporary directory, started and stopped through tests/support/sound-server; and tone players.
//
// Thread contract: a SoundServer and a TonePlayer are used by one thread at a time.
// setProcessEnvironment() changes this process's environment: call it while no other thread
// reads the environment (before the code under test connects).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

enum class SoundServerKind { pulse, pipewire };
std::string toString(SoundServerKind kind);
inline void PrintTo(SoundServerKind kind, std::ostream* os) { *os << toString(kind); }

// A PULSE_SERVER value where nothing listens.
std::string unreachablePulseServer();

// Points libpulse in this process at server (a PULSE_SERVER value) and only there.
void setPulseServerEnvironment(const std::string& server);

// Runs argv with PULSE_SERVER=server added to this process's environment; its stdout in *output.
// The exit status, or -1 when it could not be run.
int runWithPulseServer(const std::string& server, const std::vector<std::string>& argv,
                       std::string* output = nullptr);

class SoundServer {
 public:
  SoundServer() = default;
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;
  ~SoundServer();  // stops the server and removes its directory

  // outputs null outputs named out, out2, ...; idleSuspendSeconds 0 keeps idle outputs awake
  // (PulseAudio only; negative: the script's default).
  testing::AssertionResult start(SoundServerKind kind, int outputs = 1, int idleSuspendSeconds = -1);
  void stop();
  // SIGKILL: the server dies without a goodbye.
  void kill();

  bool running() const { return running_; }
  const std::string& dir() const { return dir_; }
  // "unix:/.../native"
  const std::string& pulseServer() const { return pulseServer_; }
  // "PULSE_SERVER=unix:/.../native"
  std::string env() const { return "PULSE_SERVER=" + pulseServer_; }
  void setProcessEnvironment() const { setPulseServerEnvironment(pulseServer_); }

  // pactl against this server; its stdout, trailing newline removed. Fails the test on error.
  std::string pactl(const std::vector<std::string>& args) const;
  // The module index of the null output named sink, for unloading it; empty when there is none.
  std::string moduleOf(const std::string& sink) const;

 private:
  testing::AssertionResult script(const std::vector<std::string>& args, std::string* output) const;

  std::string dir_;
  std::string pulseServer_;
  bool running_ = false;
};

// Plays a sine tone into a sink until destroyed (or stop()), with latencyMs of buffering (0: the
// server's default, as most players ask). Needs sox and pacat.
class TonePlayer {
 public:
  // withNaN: the first sample of every 10 ms is NaN, as a faulty player would send (on a float
  // output the server passes it on).
  TonePlayer(const SoundServer& server, const std::string& sink, double frequency, int rate = 48000,
             int channels = 2, int latencyMs = 20, bool withNaN = false);
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;
  ~TonePlayer();
  bool running() const { return pid_ > 0; }
  void stop();

 private:
  pid_t pid_ = -1;
};

}  // namespace testsupport
