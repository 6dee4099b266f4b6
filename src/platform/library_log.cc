#include "platform/library_log.h"

#include <cstdlib>

namespace platform {

void keepLibraryLogsOffStandardError() {
  // libpulse reads its log settings from the environment once, at its first message; its client
  // library has no public call for them. A target the user chose stays.
  ::setenv("PULSE_LOG_SYSLOG", "1", 0);
}

}  // namespace platform
