#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace testing_support {

std::vector<std::string> ChildResult::lines() const {
  std::vector<std::string> result;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

namespace {

// Forks; the child runs childMain with its output in pipes, the parent collects it.
ChildResult collect(const std::function<void()>& childMain, std::chrono::milliseconds timeLimit) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) std::abort();
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    close(outPipe[0]);
    close(outPipe[1]);
    close(errPipe[0]);
    close(errPipe[1]);
    childMain();
    std::fflush(stdout);
    _exit(kBodyReturned);
  }
  close(outPipe[1]);
  close(errPipe[1]);

  ChildResult result;
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  const auto deadline = std::chrono::steady_clock::now() + timeLimit;
  int open = 2;
  while (open > 0) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  // Output pipes close before the process is gone; give it the rest of the time to end.
  int status = 0;
  while (true) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    usleep(2000);
  }
  result.exited = WIFEXITED(status) && !result.timedOut;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

}  // namespace

ChildResult runInChild(const std::function<void()>& body, std::chrono::milliseconds timeLimit) {
  return collect(body, timeLimit);
}

void limitFileSize(std::uint64_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_FSIZE, &limit);
}

ChildResult runProgram(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& setEnv,
                       std::chrono::milliseconds timeLimit) {
  return collect(
      [&] {
        for (const auto& [name, value] : setEnv) {
          if (value.empty()) {
            unsetenv(name.c_str());
          } else {
            setenv(name.c_str(), value.c_str(), 1);
          }
        }
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
      },
      timeLimit);
}

}  // namespace testing_support
