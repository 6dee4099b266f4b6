#include "platform/signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/dispatch.h"

namespace platform {

namespace {

using Strand = asio::strand<DispatchQueue::Executor>;

// Read inside the async-signal handler, so a plain lock-free atomic rather than the relay.
std::atomic<int> signalPipeWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

// The relay's event for "standard output's reader has gone"; no signal has the number 0.
constexpr unsigned char kOutputReaderGone = 0;

std::atomic<bool> readerGone{false};

// Passes an event to the relay, if it exists; safe in an async-signal handler.
void relayEvent(unsigned char number) {
  const int fd = signalPipeWriteFd.load();
  if (fd >= 0) {
    [[maybe_unused]] ssize_t written = write(fd, &number, 1);
  }
}

void noteOutputReaderGone() {
  readerGone.store(true);
  relayEvent(kOutputReaderGone);
}

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

  void setHandler(unsigned char number, std::function<void(int)> handler) {
    std::lock_guard lock(mutex_);
    handlers_[number] = std::make_shared<std::function<void(int)>>(std::move(handler));
  }

  void handle(int signo, std::function<void(int)> handler) {
    setHandler(static_cast<unsigned char>(signo), std::move(handler));
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
    // A full pipe drops the event rather than blocking inside the handler.
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    signalPipeWriteFd.store(fds[1]);

    std::thread([this] {
      // The one thread that receives them, even if whoever started the process blocked them.
      if (received_) pthread_sigmask(SIG_UNBLOCK, &*received_, nullptr);
      relay();
    }).detach();
  }

  static void onSignal(int signo) {
    const int savedErrno = errno;
    relayEvent(static_cast<unsigned char>(signo));
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
        // The reader goes only once, though both the watch and failed writes may report it.
        handler = number == kOutputReaderGone ? std::exchange(handlers_[number], nullptr) : handlers_[number];
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

// Waits, without a time limit and without waking, until standard output's reading end closes:
// a pipe's write end then reports POLLERR, a socket POLLHUP, even with no event asked for.
void watchOutputReader() {
  pollfd output{STDOUT_FILENO, 0, 0};
  int ready;
  do {
    ready = poll(&output, 1, -1);
  } while (ready < 0 && errno == EINTR);
  // POLLNVAL (standard output closed by the process itself) is not the reader going.
  if (ready == 1 && (output.revents & (POLLERR | POLLHUP))) noteOutputReaderGone();
}

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

bool handleSignalUnlessIgnored(int signo, std::function<void(int)> handler) {
  struct sigaction current {};
  if (sigaction(signo, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) return false;
  handleSignal(signo, std::move(handler));
  return true;
}

void handleOutputReaderGone(std::function<void()> handler) {
  SignalRelay::instance().setHandler(kOutputReaderGone, [handler = std::move(handler)](int) { handler(); });
  // Gone already, before there was anyone to tell.
  if (readerGone.load()) relayEvent(kOutputReaderGone);

  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) == 0 && (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode))) {
    std::thread(watchOutputReader).detach();
  }
}

bool outputReaderGone() { return readerGone.load(); }

void reportOutputWriteError(int error) {
  if (error == EPIPE) noteOutputReaderGone();
}

}  // namespace platform
