#include "response/response_handler.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace ResponseHandler {

namespace {

void writeLine(std::string line) {
  line.push_back('\n');
  // One fwrite takes the stream's lock once: lines from several threads never interleave.
  std::fwrite(line.data(), 1, line.size(), stdout);
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
  std::fflush(stdout);
  if (shouldExitProcess) exitProcess();
}

void printLine(std::string_view text) { writeLine(std::string(text)); }

void exitProcess() {
  std::fflush(stdout);
  std::_Exit(0);
}

}  // namespace ResponseHandler
