#pragma once
// Metadata of a folder (and optionally its entries) from the file-system interface, by id or by
// path.

#include <cstdint>
#include <optional>
#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

struct FolderMetadataOptions {
  enum class SortDirection { ascending, descending };
  enum class SortBy { name, lastModified, uploadedBy, customMetadata };

  bool includePermissions = false;
  bool includeLocks = false;
  bool includeCollaboration = false;
  bool listEntries = false;
  std::optional<std::int64_t> offset;
  std::optional<std::int64_t> count;
  SortDirection sortDirection = SortDirection::ascending;
  std::optional<SortBy> sortBy;

  /// "include_perm", "include_locks", "include_collaboration", "list_content" (always), then
  /// "offset", "count", "sort_direction" (descending only), "sort_by" when set.
  std::vector<URLQueryItem> queryItems() const;
};

class FolderMetadataRequest final : public CloudFSRequestPrototype {
 public:
  FolderMetadataRequest(std::string folderID, FolderMetadataOptions options = {})
      : folderID(std::move(folderID)), options(options) {}

  std::string folderID;
  FolderMetadataOptions options;

  std::string path() const override;
  std::vector<URLQueryItem> queryItems() const override { return options.queryItems(); }
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

class ItemMetadataByPathRequest final : public CloudFSRequestPrototype {
 public:
  ItemMetadataByPathRequest(std::string encodedPath, FolderMetadataOptions options = {})
      : encodedPath(std::move(encodedPath)), options(options) {}

  /// Percent-encoded cloud path ("/Shared/a%20b").
  std::string encodedPath;
  FolderMetadataOptions options;

  std::string path() const override { return "/api/v1/fs" + encodedPath; }
  std::vector<URLQueryItem> queryItems() const override { return options.queryItems(); }
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

}  // namespace tarnix::cloudfs
