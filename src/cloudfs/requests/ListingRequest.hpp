#pragma once
// Conditional folder listings ("/rest/public/v1/fsc/folders"), by folder id or by path. With
// the entity tag of the previous listing the server may answer 304 Not Modified.

#include <optional>
#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

class ListingByIdRequest final : public CloudFSRequestPrototype {
 public:
  explicit ListingByIdRequest(std::string folderID) : folderID(std::move(folderID)) {}

  std::string folderID;
  std::optional<std::string> lastETag;
  bool includeChecksum = false;
  bool includeUploadedBy = false;
  bool includeCollaboration = false;
  bool includeStandardUser = false;
  bool includeProjectFolder = false;
  bool includeDocumentRoom = false;

  std::string path() const override;
  /// "includeChecksum", "includeUploadedBy", "includeCollaboration",
  /// "indicateStandardUsersAccess", "indicateProjectFolder", "indicateDocumentRoom" = "true",
  /// each only when set.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  /// "If-None-Match" = lastETag when there is one.
  HTTPHeaders headers() const override;
};

class ListingByPathRequest final : public CloudFSRequestPrototype {
 public:
  explicit ListingByPathRequest(std::string path) : cloudPath(std::move(path)) {}

  /// The cloud path, not encoded.
  std::string cloudPath;
  std::optional<std::string> lastETag;
  bool includeChecksum = false;
  bool includeUploadedBy = false;
  bool includeCollaboration = false;
  bool includeMoveDeletePermittedInfo = false;
  bool includeStandardUser = false;
  bool includeProjectFolder = false;

  std::string path() const override { return "/rest/public/v1/fsc/folders"; }
  /// "path" first, then the flags that are set.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  HTTPHeaders headers() const override;
};

}  // namespace tarnix::cloudfs
