#pragma once
// A folder listing ("/rest/public/v1/fsc/folders"): the folder and its direct children.

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

struct ListingResponse {
  struct File {
    std::string name;
    std::string groupID;
    std::string entryID;
    std::optional<std::string> checksum;
    std::int64_t size = 0;
    std::int64_t uploaded = 0;  // milliseconds since 1970
    std::optional<std::string> uploadedBy;
    std::int64_t lastModified = 0;  // milliseconds since 1970
    bool locked = false;
    std::optional<std::string> collaboration;
    bool operator==(const File&) const = default;
  };
  struct Folder {
    std::string name;
    std::string folderID;
    std::string permission;
    std::int64_t uploaded = 0;
    std::int64_t lastModified = 0;
    std::optional<bool> moveDeletePermitted;
    std::optional<std::map<std::string, bool>> visualIndicators;
    bool operator==(const Folder&) const = default;
  };

  std::string path;
  std::string folderID;
  std::optional<std::string> parentFolderID;
  std::string permission;
  std::int64_t uploaded = 0;
  std::int64_t lastModified = 0;
  std::optional<bool> moveDeletePermitted;
  std::vector<File> files;
  std::vector<Folder> folders;

  /// Decodes the JSON body; `missingBody` or `fieldParsingError(name)` otherwise.
  static std::expected<ListingResponse, CloudFSError> decode(const CloudFSResponse& response);
  /// The listing's entity tag ("ETag"); `missingHeader("ETag")` when absent.
  static std::expected<std::string, CloudFSError> entityTag(const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
