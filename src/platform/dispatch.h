// Where work runs: the process-wide global concurrent queue (a thread pool), one-shot delayed
// work on it, a counting semaphore, fire-and-forget asynchronous tasks (coroutines on the pool).
// Signals are in platform/signals.h.
//
// The pool lives until the process ends and is never destroyed, so that ending the process from
// any thread cannot race its shutdown.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <semaphore>

#include "platform/error.h"

namespace platform {

class DispatchQueue {
 public:
  using Executor = asio::thread_pool::executor_type;

  // The global concurrent queue of default priority. Created on first use.
  static DispatchQueue& global();

  void async(std::function<void()> work);
  // Runs work once, delay from now on the monotonic clock.
  void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> work);
  Executor executor();

  explicit DispatchQueue(std::size_t threads);

 private:
  asio::thread_pool pool_;
};

class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(std::ptrdiff_t count) : semaphore_(count) {}
  void signal() { semaphore_.release(); }
  void wait() { semaphore_.acquire(); }
  // False when the timeout passed first.
  bool wait(std::chrono::steady_clock::duration timeout) { return semaphore_.try_acquire_for(timeout); }

 private:
  std::counting_semaphore<> semaphore_;
};

// An asynchronous task: a coroutine that runs on the global queue.
template <typename T = void>
using Task = asio::awaitable<T>;

// Starts task on the global queue and returns at once; nobody waits for it.
void detachTask(Task<> task);

// A platform completion that reports success (no error) or an error, once.
using Completion = std::function<void(std::optional<Error>)>;

// Suspends the calling task until the completion handed to start has been called, then resumes
// it on the global queue (never on the caller of the completion) with the completion's error.
Task<std::optional<Error>> awaitCompletion(std::function<void(Completion)> start);

}  // namespace platform
