// Runs code or a program in a child process and collects what it wrote and how it ended, so
// that tests can watch code that ends the process.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct ChildResult {
  std::string out;
  std::string err;
  bool exited = false;  // ended by exit; false: by a signal or the time limit
  int exitStatus = -1;
  int termSignal = 0;
  bool timedOut = false;

  std::vector<std::string> lines() const;  // standard output split at line feeds
};

// Status with which the child ends when body returns instead of ending the process itself.
inline constexpr int kBodyReturned = 99;

// Runs body in a forked child with its standard output and error captured. The parent must not
// have started threads that the child would need. The child is killed after the time limit.
ChildResult runInChild(const std::function<void()>& body,
                       std::chrono::milliseconds timeLimit = std::chrono::seconds(20));

// In a child: files may grow to at most bytes, and a write beyond fails with EFBIG instead of
// ending the process with SIGXFSZ.
void limitFileSize(std::uint64_t bytes);

// Runs a program with the given arguments, its environment changed by setEnv (an empty value
// unsets the variable).
ChildResult runProgram(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& setEnv = {},
                       std::chrono::milliseconds timeLimit = std::chrono::seconds(20));

}  // namespace testing_support
