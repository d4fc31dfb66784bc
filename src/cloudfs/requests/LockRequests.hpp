#pragma once
// Taking, renewing and releasing a cloud lock on a file, by its group id or its cloud path.
// All four are POST "application/json"; lock requests name the locking applications in
// "X-Tarnix-Client-App-Name" and "X-Tarnix-Client-App-Version" ("|"-joined, sanitised).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "common/ItemLocks.hpp"

namespace tarnix::cloudfs {

/// What a lock request carries besides the file.
struct LockRequestOptions {
  std::vector<common::LockingApplicationData> lockingApplications;
  /// Seconds; null on the wire when absent.
  std::optional<std::int64_t> lockTimeout;
  /// Present when renewing a lock this client holds.
  std::optional<std::string> lockToken;
  std::optional<std::string> collaborationToken;
};

/// The shared shape of the four lock requests.
class LockActionRequest : public CloudFSRequestPrototype {
 public:
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  std::expected<std::optional<std::string>, CloudFSError> body() const override;

  /// "lock" or "unlock".
  virtual std::string_view action() const = 0;
  LockRequestOptions options;
};

class LockFileByIdRequest final : public LockActionRequest {
 public:
  LockFileByIdRequest(std::string groupID, LockRequestOptions options);
  std::string groupID;
  /// "/api/v1/fs/ids/file/" + group id.
  std::string path() const override;
  std::string_view action() const override { return "lock"; }
};

class LockFileByPathRequest final : public LockActionRequest {
 public:
  LockFileByPathRequest(std::string cloudPath, LockRequestOptions options);
  std::string cloudPath;
  /// "/api/v1/fs/" + the encoded cloud path.
  std::string path() const override;
  std::string_view action() const override { return "lock"; }
};

class UnlockFileByIdRequest final : public LockActionRequest {
 public:
  UnlockFileByIdRequest(std::string groupID, std::optional<std::string> lockToken);
  std::string groupID;
  std::string path() const override;
  std::string_view action() const override { return "unlock"; }
};

class UnlockFileByPathRequest final : public LockActionRequest {
 public:
  UnlockFileByPathRequest(std::string cloudPath, std::optional<std::string> lockToken);
  std::string cloudPath;
  std::string path() const override;
  std::string_view action() const override { return "unlock"; }
};

}  // namespace tarnix::cloudfs
