// Signal work: one at a time, in the order the signals arrived; the reader of standard output
// going away.
#include "platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <thread>

#include "response/response_handler.h"
#include "support/child_process.h"

using namespace std::chrono_literals;

TEST(Signals, WorkRunsOneAtATimeInArrivalOrder) {
  auto result = testing_support::runInChild([] {
    platform::receiveSignalsOnOneThread({SIGUSR1, SIGUSR2});
    std::atomic<bool> firstStarted{false};
    std::atomic<int> running{0};
    std::mutex mutex;
    std::string order;
    std::atomic<int> handled{0};
    auto handler = [&](int signo) {
      if (running.fetch_add(1) != 0) std::printf("overlap\n");
      if (!firstStarted.exchange(true)) std::this_thread::sleep_for(100ms);  // the others queue up behind it
      {
        std::lock_guard lock(mutex);
        order += signo == SIGUSR1 ? '1' : '2';
      }
      running.fetch_sub(1);
      handled.fetch_add(1);
    };
    platform::handleSignal(SIGUSR1, handler);
    platform::handleSignal(SIGUSR2, handler);
    kill(getpid(), SIGUSR1);
    while (!firstStarted) std::this_thread::sleep_for(1ms);
    // Each sent once the previous one was received, so that the kernel does not merge two pending
    // SIGUSR1 into one; the work of all three still waits behind the first.
    for (int signo : {SIGUSR1, SIGUSR2, SIGUSR1}) {
      kill(getpid(), signo);
      sigset_t pending;
      do {
        std::this_thread::sleep_for(1ms);
        sigpending(&pending);
      } while (sigismember(&pending, signo));
    }
    for (int i = 0; i < 2000 && handled < 4; ++i) std::this_thread::sleep_for(1ms);
    std::lock_guard lock(mutex);
    std::printf("%s\n", order.c_str());
    ResponseHandler::exitProcess();
  });
  EXPECT_EQ(result.out, "1121\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST(Signals, DefaultActionUntilHandled) {
  auto result = testing_support::runInChild([] {
    platform::receiveSignalsOnOneThread({SIGUSR1, SIGUSR2});
    kill(getpid(), SIGUSR1);
    std::this_thread::sleep_for(2s);
    std::printf("survived\n");
  });
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.termSignal, SIGUSR1);
}

TEST(Signals, IgnoredAtStartStaysIgnored) {
  auto result = testing_support::runInChild([] {
    signal(SIGHUP, SIG_IGN);  // as nohup leaves it
    platform::receiveSignalsOnOneThread({SIGHUP, SIGTERM});
    std::atomic<int> handled{0};
    auto handler = [&](int signo) {
      std::fprintf(stderr, "handled %d\n", signo);
      handled.fetch_add(1);
    };
    std::fprintf(stderr, "SIGHUP %d SIGTERM %d\n", platform::handleSignalUnlessIgnored(SIGHUP, handler),
                 platform::handleSignalUnlessIgnored(SIGTERM, handler));
    // An ignored signal is discarded when sent, so SIGTERM's work is the first and only.
    kill(getpid(), SIGHUP);
    kill(getpid(), SIGTERM);
    for (int i = 0; i < 2000 && handled < 1; ++i) std::this_thread::sleep_for(1ms);
    ResponseHandler::exitProcess();
  });
  EXPECT_EQ(result.err, "SIGHUP 0 SIGTERM 1\nhandled " + std::to_string(SIGTERM) + "\n");
  EXPECT_EQ(result.exitStatus, 0);
}

// Standard output is one end of a pipe or socket pair; the test plays the controlling program
// at the other end, which goes away. The handler runs once, whoever notices first, and nothing
// dies of SIGPIPE.
TEST(OutputReaderGone, NoticedByTheWatchOrByAWrite) {
  struct Case {
    const char* label;
    bool socket;
    bool shutReadingOnly;  // noticed by a write alone
  };
  for (const Case& c : {Case{"pipe closed", false, false}, Case{"socket closed", true, false},
                        Case{"socket shut for reading", true, true}}) {
    auto result = testing_support::runInChild([&c] {
      signal(SIGPIPE, SIG_IGN);
      platform::receiveSignalsOnOneThread({SIGUSR1});
      int ends[2];
      if ((c.socket ? socketpair(AF_UNIX, SOCK_STREAM, 0, ends) : pipe(ends)) != 0) std::abort();
      const int ours = c.socket ? ends[0] : ends[1], controller = c.socket ? ends[1] : ends[0];
      dup2(ours, STDOUT_FILENO);
      close(ours);
      std::atomic<int> gone{0};
      platform::handleOutputReaderGone([&] { gone.fetch_add(1); });
      std::atomic<bool> marker{false};
      platform::handleSignal(SIGUSR1, [&](int) { marker = true; });

      if (c.shutReadingOnly) {
        shutdown(controller, SHUT_RD);
        ResponseHandler::printLine("Recording paused.");
      } else {
        close(controller);
      }
      for (int i = 0; i < 2000 && gone < 1; ++i) std::this_thread::sleep_for(1ms);
      // Reported again; the work of a later signal runs after whatever that would cause.
      platform::reportOutputWriteError(EPIPE);
      ResponseHandler::returnResponse({{"code", "RECORDING_STOPPED"}}, false);
      kill(getpid(), SIGUSR1);
      for (int i = 0; i < 2000 && !marker; ++i) std::this_thread::sleep_for(1ms);
      std::fprintf(stderr, "gone %d, marked %d\n", gone.load(), platform::outputReaderGone());
      ResponseHandler::exitProcess();
    });
    EXPECT_EQ(result.err, "gone 1, marked 1\n") << c.label;
    EXPECT_TRUE(result.exited) << c.label << ": ended by signal " << result.termSignal;
  }
}
