#pragma once
// What a drive does about cloud failures that concern more than one request.

#include "cloudfs/CloudFSSession.hpp"

namespace tarnix::cloudfs {

class DriveCloudErrorHandler {
 public:
  virtual ~DriveCloudErrorHandler() = default;

  /// The cloud rejected the drive's credentials: the account needs signing in again.
  virtual void authenticationDidExpire() = 0;
  /// Whether `error` means the cloud could not be reached (no route, refused, name unknown,
  /// time-out, lost connection). A cancellation never is.
  virtual bool isConnectivityFailure(const CloudFSSessionError& error) const {
    auto* transportError = std::get_if<URLError>(&error);
    return transportError && transportError->isConnectivityFailure();
  }
};

}  // namespace tarnix::cloudfs
