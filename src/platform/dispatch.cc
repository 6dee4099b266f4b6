#include "platform/dispatch.h"

#include <algorithm>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <thread>

namespace platform {

DispatchQueue::DispatchQueue(std::size_t threads) : pool_(threads) {}

DispatchQueue& DispatchQueue::global() {
  // Never destroyed: a thread may end the process while others still run work on the pool.
  static DispatchQueue* queue = new DispatchQueue(std::max(4u, std::thread::hardware_concurrency()));
  return *queue;
}

void DispatchQueue::async(std::function<void()> work) { asio::post(pool_, std::move(work)); }

void DispatchQueue::asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> work) {
  auto timer = std::make_shared<asio::steady_timer>(pool_.get_executor(), delay);
  timer->async_wait([timer, work = std::move(work)](const asio::error_code& error) {
    if (!error) work();
  });
}

DispatchQueue::Executor DispatchQueue::executor() { return pool_.get_executor(); }

void detachTask(Task<> task) {
  asio::co_spawn(DispatchQueue::global().executor(), std::move(task), asio::detached);
}

Task<std::optional<Error>> awaitCompletion(std::function<void(Completion)> start) {
  auto initiation = [start = std::move(start)](auto handler) mutable {
    // The completion may be copied by whoever holds it; the handler runs once.
    auto shared = std::make_shared<decltype(handler)>(std::move(handler));
    start([shared](std::optional<Error> error) {
      asio::post(DispatchQueue::global().executor(),
                 [shared, error = std::move(error)]() mutable { (*shared)(std::move(error)); });
    });
  };
  // Named, not a temporary of the co_await expression: g++ 12 may destroy such temporaries twice.
  auto completed = asio::async_initiate<const asio::use_awaitable_t<>&, void(std::optional<Error>)>(
      std::move(initiation), asio::use_awaitable);
  co_return co_await std::move(completed);
}

namespace {

using Strand = asio::strand<DispatchQueue::Executor>;

// All signal work runs on one strand, so that signals are handled one at a time, in order.
Strand& signalStrand() {
  static Strand* strand = new Strand(asio::make_strand(DispatchQueue::global().executor()));
  return *strand;
}

void waitForSignal(std::shared_ptr<asio::signal_set> set, std::shared_ptr<std::function<void(int)>> handler) {
  set->async_wait([set, handler](const asio::error_code& error, int signo) {
    if (error) return;
    (*handler)(signo);
    waitForSignal(set, handler);
  });
}

}  // namespace

void handleSignal(int signo, std::function<void(int)> handler) {
  auto set = std::make_shared<asio::signal_set>(signalStrand(), signo);
  waitForSignal(std::move(set), std::make_shared<std::function<void(int)>>(std::move(handler)));
}

}  // namespace platform
