#pragma once
// Changes to the cloud's namespace: create a folder, move or rename, copy, duplicate, delete.

#include <optional>
#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::cloudfs {

/// "application/vnd.tarnix.fs.extended+json; v=1".
inline constexpr std::string_view kFSExtendedContentType =
    "application/vnd.tarnix.fs.extended+json; v=1";

class CreateFolderRequest final : public CloudFSRequestPrototype {
 public:
  CreateFolderRequest(std::string parentID, std::string name)
      : parentID(std::move(parentID)), name(std::move(name)) {}

  std::string parentID;
  std::string name;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  /// {"action": "add_folder", "name": name}.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

class MoveItemRequest final : public CloudFSRequestPrototype {
 public:
  /// Collects a move; `build` gives none when neither a new parent nor a new name is set, as
  /// there is nothing to send then.
  struct Builder {
    common::CloudItemIdentifier sourceID;
    std::optional<std::string> newParentID;
    std::optional<std::string> name;
    std::optional<MoveItemRequest> build(std::optional<std::string> lockToken = std::nullopt) const;
  };

  explicit MoveItemRequest(common::CloudItemIdentifier sourceID) : sourceID(std::move(sourceID)) {}

  common::CloudItemIdentifier sourceID;
  std::optional<std::string> newParentID;
  std::optional<std::string> name;
  std::optional<std::string> lockToken;

  /// "/api/v1/fs/ids/folder/ID" or ".../file/ID".
  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  /// {"action": "move", "name", "destination_id", "lock_token"}, absent values left out.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

enum class PermissionHandling { keepOriginal, inheritFromParent };
/// "keep_original" or "inherit_from_parent".
std::string_view rawValue(PermissionHandling handling);

class CopyItemByIdRequest final : public CloudFSRequestPrototype {
 public:
  CopyItemByIdRequest(common::CloudItemIdentifier id, std::string destination,
                      std::optional<PermissionHandling> permissions = std::nullopt)
      : id(std::move(id)), destination(std::move(destination)), permissions(permissions) {}

  common::CloudItemIdentifier id;
  /// The cloud path of the copy.
  std::string destination;
  std::optional<PermissionHandling> permissions;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

class DuplicateItemRequest final : public CloudFSRequestPrototype {
 public:
  explicit DuplicateItemRequest(std::string sourceFilePath)
      : sourceFilePath(std::move(sourceFilePath)) {}

  std::string sourceFilePath;

  std::string path() const override { return "/rest/public/1.0/fsi"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

class DeleteFileRequest final : public CloudFSRequestPrototype {
 public:
  explicit DeleteFileRequest(std::string groupID, std::optional<std::string> entryID = std::nullopt,
                             std::optional<std::string> lockToken = std::nullopt)
      : groupID(std::move(groupID)), entryID(std::move(entryID)), lockToken(std::move(lockToken)) {}

  std::string groupID;
  /// The version that is meant to be deleted, sent as the query item "entry_id": the server
  /// refuses when the file has moved on to another version.
  std::optional<std::string> entryID;
  std::optional<std::string> lockToken;

  std::string path() const override;
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::delete_; }
  HTTPHeaders headers() const override;
};

class DeleteFolderRequest final : public CloudFSRequestPrototype {
 public:
  explicit DeleteFolderRequest(std::string folderID) : folderID(std::move(folderID)) {}

  std::string folderID;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::delete_; }
};

}  // namespace tarnix::cloudfs
