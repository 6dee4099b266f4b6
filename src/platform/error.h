// An error as the platform services report it: a domain, a code and a text that says what
// happened (the library's own words where a library failed).
#pragma once

#include <string>
#include <utility>

namespace platform {

class Error {
 public:
  Error() = default;
  Error(std::string domain, int code, std::string message)
      : domain_(std::move(domain)), code_(code), message_(std::move(message)) {}

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  // The text meant for people; what the recorder prints and reports.
  const std::string& localizedDescription() const { return message_; }
  // The textual description used in plain output lines.
  std::string description() const { return message_; }

 private:
  std::string domain_;
  int code_ = 0;
  std::string message_;
};

}  // namespace platform
