#include "response/response_handler.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/signals.h"

namespace ResponseHandler {

namespace {

// Flushed with every line, so that a controlling program reading a pipe sees each as it happens.
void writeLine(std::string line) {
  // Its reader gone, the controlling program is not there to read it; the stop is under way.
  if (platform::outputReaderGone()) return;
  line.push_back('\n');
  // Written and flushed under the stream's lock: lines from several threads never interleave.
  flockfile(stdout);
  const bool written =
      std::fwrite(line.data(), 1, line.size(), stdout) == line.size() && std::fflush(stdout) == 0;
  const int error = errno;
  funlockfile(stdout);
  if (!written) platform::reportOutputWriteError(error);
}

}  // namespace

std::string serializedLine(const Response& response) {
  std::string json;
  try {
    json = nlohmann::json(response).dump();  // strict: invalid UTF-8 throws
  } catch (const nlohmann::json::exception&) {
    return std::string(kSerializationFailedText);
  }
  // A "/" can only stand inside a string, so every one of them is escaped.
  std::string line;
  line.reserve(json.size() + 8);
  for (char c : json) {
    if (c == '/') line.push_back('\\');
    line.push_back(c);
  }
  return line;
}

void returnResponse(const Response& response, bool shouldExitProcess) {
  writeLine(serializedLine(response));
  if (shouldExitProcess) exitProcess();
}

void printLine(std::string_view text) { writeLine(std::string(text)); }

void exitProcess() {
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace ResponseHandler
