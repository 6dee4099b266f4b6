// Whether recording what the machine plays is allowed, asked afresh on every call.
#pragma once

#include <functional>

namespace PermissionsRequester {

// Calls completion exactly once, on the calling thread, before returning: true when access is
// present, or was requested and granted. The request is not made when access is present.
void requestScreenCaptureAccess(const std::function<void(bool)>& completion);

}  // namespace PermissionsRequester
