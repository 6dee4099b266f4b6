#include "permissions/permissions_requester.h"

#include "platform/permissions.h"

namespace PermissionsRequester {

void requestScreenCaptureAccess(const std::function<void(bool)>& completion) {
  if (platform::CGPreflightScreenCaptureAccess()) {
    completion(true);
    return;
  }
  completion(platform::CGRequestScreenCaptureAccess());
}

}  // namespace PermissionsRequester
