#pragma once
// Lock requests of one drive: takes, renews and releases cloud locks on files and checks who
// holds a file's lock. Cloud failures become LockingError values, logged once here.
//
// Threads: any thread may call; each completion runs exactly once, on the session's callback
// queue. Virtual so that the locking service can be tested against a fake cloud.

#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Logger.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "cloudfs/requests/LockRequests.hpp"
#include "cloudfs/responses/LockResponses.hpp"
#include "common/LockingError.hpp"
#include "common/SyncItem.hpp"

namespace tarnix::fileprovider {

/// Who may do what with a file, and who holds its lock (a lock check's answer).
struct LockCloudPresence {
  common::SyncItemPermission permission = common::SyncItemPermission::none;
  std::optional<common::CloudLockInfo> lockInfo;
  std::string fileName;
  bool operator==(const LockCloudPresence&) const = default;
};

template <class T>
using LockingResult = std::expected<T, common::LockingError>;

/// Always held by a shared_ptr: requests in flight keep it alive.
class LockingCloudClient : public std::enable_shared_from_this<LockingCloudClient> {
 public:
  /// `cloudErrorHandler` may be null.
  LockingCloudClient(std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
                     std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler,
                     base::Logger logger);
  virtual ~LockingCloudClient() = default;

  /// Takes or (with `options.lockToken`) renews the lock of `file` (by its group id, else by
  /// `cloudPath` when given). `debugLocation` names the caller in the logs.
  virtual void lockFile(const common::SyncItem& file, std::optional<std::string> cloudPath,
                        cloudfs::LockRequestOptions options, std::string_view debugLocation,
                        std::function<void(LockingResult<cloudfs::LockFileResponse>)> completion);
  /// Releases the lock `token` of `file`. "File lock for user / lock token not found" is
  /// lockNotFound.
  virtual void unlockFile(const common::SyncItem& file, std::optional<std::string> token,
                          std::function<void(LockingResult<void>)> completion);
  /// The file's metadata with its lock.
  virtual void checkLockPresence(const common::SyncItem& file,
                                 std::function<void(LockingResult<LockCloudPresence>)> completion);

 protected:
  LockingCloudClient() = default;

 private:
  common::LockingError errorFor(const cloudfs::CloudFSResponse& response, bool unlocking) const;
  common::LockingError errorFor(const cloudfs::CloudFSSessionError& error) const;

  std::shared_ptr<cloudfs::CloudFSSession> cfsSession_;
  std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler_;
  base::Logger logger_ = base::Logger::null();
};

}  // namespace tarnix::fileprovider
