#pragma once
// Item metadata from the file-system index, by item id or by path, with the fields asked for.

#include <set>
#include <string>
#include <string_view>

#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::cloudfs {

enum class FSIRequestField {
  self,
  path,
  name,
  id,
  permission,
  hasSubfolders,
  contents,
  contentSource,
  folderDesc,
  linkAccessType,
  permissionOptions,
  createdTimestamp,
  bookmarked,
  lastModifiedTimestamp,
  type,
  owner,
  notes,
  entryId,
  revisions,
  searchQuery,
  mimeType,
  icon,
  size,
  lastModified,
  lock,
  parentId,
  isHlsPossible,
  checksum,
  revisionId,
  collaboration,
  previewRestrictions,
  documentRoomRestrictions,
  standardUserHasAccess,
  projectFolder,
  documentRoom,
  crossDomainFolder,
  activeLinks,
  knowledgeBaseFolder,
};

/// The wire name: the case name in upper snake case ("ENTRY_ID", "LINK_ACCESS_TYPE").
std::string_view wireName(FSIRequestField field);

inline constexpr std::string_view kFSIItemQueryContentType =
    "application/vnd.tarnix.fsi.item.query+json; v=1";

class FSIItemMetadataByIDRequest final : public CloudFSRequestPrototype {
 public:
  FSIItemMetadataByIDRequest(common::CloudItemIdentifier itemIdentifier,
                             std::set<FSIRequestField> fields)
      : itemIdentifier(std::move(itemIdentifier)), fields(std::move(fields)) {}

  common::CloudItemIdentifier itemIdentifier;
  std::set<FSIRequestField> fields;

  /// "/rest/public/2.0/fsi/folder/ID" or ".../file/ID".
  std::string path() const override;
  /// One "fields" item per field, in declaration order.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  HTTPHeaders headers() const override;
};

class FSIItemMetadataByPathRequest final : public CloudFSRequestPrototype {
 public:
  FSIItemMetadataByPathRequest(std::string path, std::set<FSIRequestField> fields)
      : cloudPath(std::move(path)), fields(std::move(fields)) {}

  std::string cloudPath;
  std::set<FSIRequestField> fields;

  std::string path() const override { return "/rest/public/1.0/fsi"; }
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  /// {"_method": "GET", "path": path}.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

}  // namespace tarnix::cloudfs
