// The response channel: every outcome the controlling program acts on is one compact JSON line
// on standard output; a few progress and error lines are plain text on the same stream.
//
// May be called from any thread. Each line is written and flushed as one unit, so lines never
// interleave. Once the reader of standard output has gone, nothing more is written.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace ResponseHandler {

using Response = std::map<std::string, std::string>;

// Written when a response cannot be serialised (a value that is not UTF-8).
inline constexpr std::string_view kSerializationFailedText = R"({"code": "JSON_SERIALIZATION_FAILED"})";

// The response's line: compact JSON with every "/" written as "\/"; the fallback text when it
// cannot be serialised. No line feed.
std::string serializedLine(const Response& response);

// Writes the response's line and flushes; with shouldExitProcess the process then ends with
// status 0 and the call does not return.
void returnResponse(const Response& response, bool shouldExitProcess = true);

// A plain text line, flushed like a response.
void printLine(std::string_view text);

// Ends the process with status 0 after flushing standard output, without running static
// destructors that would race threads still at work.
[[noreturn]] void exitProcess();

}  // namespace ResponseHandler
