#include "platform/dispatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio/async_result.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
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

// Read inside the async-signal handler, so a plain lock-free atomic rather than the relay.
std::atomic<int> signalPipeWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// Signals travel from the async-signal handler through a pipe to one reader thread, which posts
// their work to one strand, so the work keeps the order in which the signals were received.
// asio's signal_set does not keep it: it hands out signals of different numbers that are pending
// together in registration order, and two sets' completions race on the pool, so a pause sent
// right after a resume could be handled before it and leave the recording paused.
class SignalRelay {
 public:
  // The first call creates the relay; received: the signals that only its thread receives.
  static SignalRelay& instance(const sigset_t* received = nullptr) {
    // Never destroyed: the reader thread runs until the process ends.
    static SignalRelay* relay = new SignalRelay(received);
    return *relay;
  }

  void handle(int signo, std::function<void(int)> handler) {
    {
      std::lock_guard lock(mutex_);
      handlers_[signo] = std::make_shared<std::function<void(int)>>(std::move(handler));
    }
    struct sigaction action {};
    action.sa_handler = &SignalRelay::onSignal;
    // No signal may interrupt the handler before its write: the later one would be written first.
    sigfillset(&action.sa_mask);
    // A signal only the relay receives interrupts nothing but its read, which must then return:
    // ThreadSanitizer runs a handler only once the interrupted call has returned. Any other
    // signal may land on any thread, whose calls resume.
    action.sa_flags = received_ && sigismember(&*received_, signo) ? 0 : SA_RESTART;
    sigaction(signo, &action, nullptr);
  }

 private:
  explicit SignalRelay(const sigset_t* received)
      : strand_(asio::make_strand(DispatchQueue::global().executor())),
        received_(received ? std::optional<sigset_t>(*received) : std::nullopt) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
    readFd_ = fds[0];
    signalPipeWriteFd.store(fds[1]);
    // A full pipe drops the signal rather than blocking inside the handler.
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);

    std::thread([this] {
      // The one thread that receives them, even if whoever started the process blocked them.
      if (received_) pthread_sigmask(SIG_UNBLOCK, &*received_, nullptr);
      relay();
    }).detach();
  }

  static void onSignal(int signo) {
    const int savedErrno = errno;
    const unsigned char number = static_cast<unsigned char>(signo);
    [[maybe_unused]] ssize_t written = write(signalPipeWriteFd.load(), &number, 1);
    errno = savedErrno;
  }

  void relay() {
    for (;;) {
      unsigned char number;
      ssize_t got = read(readFd_, &number, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got != 1) return;
      std::shared_ptr<std::function<void(int)>> handler;
      {
        std::lock_guard lock(mutex_);
        handler = handlers_[number];
      }
      // Posted from this one thread, the work runs on the strand in arrival order.
      if (handler) asio::post(strand_, [handler, signo = int{number}] { (*handler)(signo); });
    }
  }

  Strand strand_;
  const std::optional<sigset_t> received_;
  int readFd_ = -1;
  std::mutex mutex_;
  std::array<std::shared_ptr<std::function<void(int)>>, 256> handlers_;
};

}  // namespace

void receiveSignalsOnOneThread(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : signals) sigaddset(&set, signo);
  // Blocked before the relay starts its threads and the pool's, which inherit the mask.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  SignalRelay::instance(&set);
}

void handleSignal(int signo, std::function<void(int)> handler) {
  SignalRelay::instance().handle(signo, std::move(handler));
}

}  // namespace platform
