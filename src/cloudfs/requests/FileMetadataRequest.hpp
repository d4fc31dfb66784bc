#pragma once
// Metadata of a file: by group id from the file-system interface, by path from the file-system
// index.

#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

class FileMetadataRequest final : public CloudFSRequestPrototype {
 public:
  explicit FileMetadataRequest(std::string groupID, bool includePermission = false,
                               bool includeLocks = false, bool includeCollaboration = false,
                               bool listEntries = false)
      : groupID(std::move(groupID)),
        includePermission(includePermission),
        includeLocks(includeLocks),
        includeCollaboration(includeCollaboration),
        listEntries(listEntries) {}

  std::string groupID;
  bool includePermission;
  bool includeLocks;
  bool includeCollaboration;
  bool listEntries;

  std::string path() const override;
  /// Only the flags that are set, each as "true".
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

class FileMetadataByPathRequest final : public CloudFSRequestPrototype {
 public:
  explicit FileMetadataByPathRequest(std::string path, bool includeOwner = false)
      : cloudPath(std::move(path)), includeOwner(includeOwner) {}

  /// The cloud path, not encoded.
  std::string cloudPath;
  bool includeOwner;

  std::string path() const override { return "/rest/public/1.0/fsi"; }
  /// "path", "fields" = "PATH", and "fields" = "OWNER" when `includeOwner`.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

}  // namespace tarnix::cloudfs
