#pragma once
// Answers of lock requests: the lock taken, or the holder that refused it.

#include <cstdint>
#include <expected>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"
#include "common/ItemLocks.hpp"

namespace tarnix::cloudfs {

/// {"lock_token": text, "timeout": seconds}.
struct LockFileResponse {
  std::string lockToken;
  std::int64_t timeout = 0;

  static std::expected<LockFileResponse, CloudFSError> decode(const CloudFSResponse& response);
};

/// {"lock_owner": {"id", "first_name", "last_name", "email"}, "can_unlock", "lock_date",
/// "lock_expiry_date"} (dates in milliseconds since 1970).
struct LockFileAlreadyLockedResponse {
  common::CloudLockOwner lockOwner;
  bool canUnlock = false;
  std::int64_t lockDate = 0;
  std::int64_t lockExpiryDate = 0;

  static std::expected<LockFileAlreadyLockedResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
