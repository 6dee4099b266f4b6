// The final form of a recording: the fragmented MPEG-4 file that the writer leaves is copied into
// a plain one (index at the front, edit list hiding the encoder's priming). Internal to the
// platform layer; called by the writer only, on the thread that finishes the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/error.h"

struct AVOutputFormat;

namespace platform::av {

// Replaces `source` atomically by its plain copy. None on success; otherwise the reason, with the
// source untouched and no temporary file left (a kill midway leaves one, which the next
// removeInterruptedConversions in that directory removes).
std::optional<Error> convertToPlainFile(const std::filesystem::path& source, const AVOutputFormat* container,
                                        int sampleRate, std::int64_t priming, std::int64_t totalFrames);

// Removes the temporary files that killed conversions left in `directory`: only files named as
// this writer names them, holding nothing or the start of an MPEG-4 file, that no running
// conversion holds.
void removeInterruptedConversions(const std::filesystem::path& directory);

}  // namespace platform::av
