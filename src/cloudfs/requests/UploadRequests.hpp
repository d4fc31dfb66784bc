#pragma once
// Uploads of file content by cloud path: the whole file in one request, or one chunk of a
// resumable chunked upload; and the latest metadata of a file by its path.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "base/Date.hpp"
#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

/// POST "/api/v1/fs-content" + the encoded path; the body is the file's bytes.
class UploadFileByPathRequest final : public CloudFSRequestPrototype {
 public:
  /// The cloud path, not encoded.
  std::string cloudPath;
  std::optional<std::string> sha512Checksum;
  std::optional<base::Date> lastModified;
  std::optional<std::string> previousEntryID;
  std::optional<std::string> lockToken;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  /// Uploads may take long without an answer while the server stores the file.
  double timeoutInterval() const override { return 300; }
};

/// POST "/api/v1/fs-content-chunked" + the encoded path; the body is the chunk's bytes.
class ChunkUploadByPathRequest final : public CloudFSRequestPrototype {
 public:
  std::string cloudPath;
  /// From the answer to chunk 1; sent from chunk 2 on.
  std::optional<std::string> uploadID;
  std::optional<bool> isLastChunk;
  std::optional<std::string> previousEntryID;
  std::optional<base::Date> lastModified;
  std::int64_t chunkNumber = 1;
  std::string chunkChecksum;
  std::int64_t originalFileSize = 0;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  HTTPHeaders headers() const override;
  double timeoutInterval() const override { return 300; }
};

/// GET "/api/v1/fs" + the encoded path: the file's metadata with its current version.
class LatestFileMetadataByPathRequest final : public CloudFSRequestPrototype {
 public:
  explicit LatestFileMetadataByPathRequest(std::string cloudPath)
      : cloudPath(std::move(cloudPath)) {}
  std::string cloudPath;

  std::string path() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

/// The answer to a single upload and to the last chunk of a chunked one.
struct UploadFileByPathResponse {
  std::string path;
  std::string groupID;
  std::string entryID;
  std::optional<std::string> checksum;
  /// Set when the cloud kept the upload under another name because of a conflict.
  std::optional<std::string> conflictResolutionPath;

  static std::expected<UploadFileByPathResponse, CloudFSError> decode(
      const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
