// The libraries' own diagnostics stay off standard error, which the program keeps silent.
#pragma once

namespace platform {

// Sends libpulse's log (which it writes to standard error even in a client, e.g. about a missing
// cookie file or shared memory it cannot set up) to the system log instead. Call at the start of
// the process, before any other thread and before any sound server connection.
void keepLibraryLogsOffStandardError();

}  // namespace platform
