// The right to record what the machine plays: granted when at least one output's monitor can
// be recorded. Both calls are bounded in time and may be called from any thread.
#pragma once

namespace platform {

// Asks nobody: connects without autospawn.
bool CGPreflightScreenCaptureAccess();
// May start the user's sound server (autospawn allowed), then answers as the preflight does.
bool CGRequestScreenCaptureAccess();

}  // namespace platform
