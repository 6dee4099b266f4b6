// Signal work: one at a time, in the order the signals arrived.
#include "platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
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
