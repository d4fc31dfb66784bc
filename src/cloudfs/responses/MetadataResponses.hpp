#pragma once
// Metadata answers: folders and files of the file-system interface (snake_case keys) and file
// versions of the file-system index (camel case keys).

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

namespace detail {
class JSONFields;
}

struct FileMetadataResponse {
  struct Version {
    std::string entryID;
    std::string checksum;
    std::string lastModified;
    std::int64_t uploaded = 0;
    std::string uploadedBy;
    std::int64_t size = 0;
    bool operator==(const Version&) const = default;
  };
  /// The cloud lock on the file ("lock").
  struct Lock {
    std::optional<std::int64_t> ownerID;
    std::optional<std::string> firstName;
    std::optional<std::string> lastName;
    std::optional<std::string> email;
    std::optional<std::int64_t> lockDate;        // milliseconds since 1970
    std::optional<std::int64_t> lockExpiryDate;  // milliseconds since 1970
    std::optional<std::string> collaboration;
    bool operator==(const Lock&) const = default;
  };

  std::string path;
  std::int64_t numVersions = 0;
  std::string groupID;
  std::string parentID;
  std::optional<std::vector<Version>> versions;
  std::optional<std::string> permission;
  bool locked = false;
  std::optional<Lock> lock;
  std::string entryID;
  std::string checksum;
  std::string lastModified;
  std::int64_t uploaded = 0;
  std::optional<std::string> uploadedBy;
  std::int64_t size = 0;
  std::optional<std::int64_t> ownerID;
  std::optional<std::string> firstName;
  std::optional<std::string> lastName;
  std::optional<std::string> email;
  std::optional<std::string> collaboration;

  static std::expected<FileMetadataResponse, CloudFSError> decode(const CloudFSResponse& response);
  static FileMetadataResponse decode(detail::JSONFields& fields);
};

struct FolderMetadataResponse {
  struct FolderEntry {
    std::string path;
    std::string folderID;
    std::string permission;
    std::int64_t lastModified = 0;
    std::int64_t uploaded = 0;
    bool operator==(const FolderEntry&) const = default;
  };

  std::string path;
  std::string folderID;
  std::optional<std::string> parentID;
  std::optional<std::string> permission;
  std::int64_t lastModified = 0;
  std::int64_t uploaded = 0;
  std::optional<std::string> description;
  std::optional<bool> allowLinks;
  std::optional<bool> restrictMoveDelete;
  std::optional<std::vector<FileMetadataResponse>> files;
  std::optional<std::vector<FolderEntry>> folders;

  static std::expected<FolderMetadataResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

struct FSIItemMetadataVersionResponse {
  struct Owner {
    std::int64_t id = 0;
    std::string username;
    std::string firstName;
    std::string lastName;
    std::string email;
    bool operator==(const Owner&) const = default;
  };

  std::string name;
  std::string groupID;
  std::string entryID;
  std::string checksum;
  std::int64_t lastModifiedTimestamp = 0;  // milliseconds since 1970
  Owner owner;

  static std::expected<FSIItemMetadataVersionResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
