#include "media/date_formatting.h"

#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>

#include <ctime>
#include <memory>

namespace media {

std::string toFormattedFileName(std::chrono::system_clock::time_point date) {
  UErrorCode status = U_ZERO_ERROR;
  // A new formatter each call: the locale or time zone may change while the process runs.
  icu::SimpleDateFormat formatter(icu::UnicodeString(u"y-MM-dd HH.mm.ss"), status);
  if (U_FAILURE(status)) return {};
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
  icu::UnicodeString text;
  formatter.format(static_cast<UDate>(ms), text);
  std::string name;
  text.toUTF8String(name);
  return name;
}

std::string toISO8601Timestamp(std::chrono::system_clock::time_point date) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(date));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace media
