#include "platform/dispatch.h"

#include <algorithm>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
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

}  // namespace platform
