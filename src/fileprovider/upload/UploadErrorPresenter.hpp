#pragma once
// Turns upload failures into user notifications (category "UPLOAD_FAILED"). Nothing is shown
// for cancelled uploads, nor while the cloud's host cannot be reached (the upload is tried
// again when the network returns).
//
// Thread-safe: no mutable state.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "cloudfs/NetworkReachability.hpp"
#include "fileprovider/cloud/SyncCloudError.hpp"

namespace tarnix::fileprovider {

inline constexpr const char* kUploadFailedCategory = "UPLOAD_FAILED";

struct UploadFailureNotification {
  std::string categoryIdentifier = kUploadFailedCategory;
  std::string driveIdentifier;
  std::string title;
  std::string body;
  bool operator==(const UploadFailureNotification&) const = default;
};

/// The notification for `error` on `filename`, none for failures that are not shown.
std::optional<UploadFailureNotification> uploadFailureNotification(
    const std::string& driveIdentifier, const std::string& filename, const SyncCloudError& error);

class UploadErrorPresenter {
 public:
  using UserNotificationCenter = std::function<void(const UploadFailureNotification&)>;

  UploadErrorPresenter(std::string driveIdentifier, std::string host,
                       std::shared_ptr<cloudfs::NetworkReachability> networkStatusMonitor,
                       UserNotificationCenter userNotificationCenter, base::Logger logger);

  void presentUploadError(const std::string& filename, const SyncCloudError& error) const;

 private:
  std::string driveIdentifier_;
  std::string host_;
  std::shared_ptr<cloudfs::NetworkReachability> networkStatusMonitor_;
  UserNotificationCenter userNotificationCenter_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
