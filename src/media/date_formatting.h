// Dates as the recorder writes them: the default file name and the responses' timestamps.
#pragma once

#include <chrono>
#include <string>

namespace media {

// "y-MM-dd HH.mm.ss" in the default locale, calendar and time zone, e.g. "2024-03-05 14.07.09".
std::string toFormattedFileName(std::chrono::system_clock::time_point date);

// ISO 8601 internet date-time in UTC with whole seconds, e.g. "2025-01-31T09:05:07Z".
std::string toISO8601Timestamp(std::chrono::system_clock::time_point date);

}  // namespace media
