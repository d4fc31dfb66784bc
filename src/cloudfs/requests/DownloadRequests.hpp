#pragma once
// Downloads of a file's contents, whole or a byte range: by group id, or by cloud path.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

/// A byte range of a file: `length` bytes from `location`.
struct ByteRange {
  std::int64_t location = 0;
  std::int64_t length = 0;

  /// One past the last byte.
  std::int64_t end() const { return location + length; }
  bool operator==(const ByteRange&) const = default;
};

/// "bytes=<first>-<last>" for `range`; a negative location, a length below 1, or a range whose
/// last byte does not fit in 64 bits is an error.
std::expected<std::string, CloudFSError> bytesHeader(const ByteRange& range);

class DownloadFileRequest final : public CloudFSRequestPrototype {
 public:
  explicit DownloadFileRequest(std::string groupID, std::optional<std::string> entryID = {},
                               std::optional<ByteRange> range = {})
      : groupID(std::move(groupID)), entryID(std::move(entryID)), range(range) {}

  std::string groupID;
  std::optional<std::string> entryID;
  std::optional<ByteRange> range;

  std::string path() const override;
  /// "entry_id" when an entry id is given.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  /// "Range" only for a valid range.
  HTTPHeaders headers() const override;
};

class DownloadFileByPathRequest final : public CloudFSRequestPrototype {
 public:
  /// `encodedPath` and `encodedNormalizedPath` are percent-encoded cloud paths starting with "/".
  DownloadFileByPathRequest(std::string encodedPath, std::string encodedNormalizedPath,
                            std::optional<std::string> entryID = {},
                            std::optional<ByteRange> range = {})
      : encodedPath(std::move(encodedPath)),
        encodedNormalizedPath(std::move(encodedNormalizedPath)),
        entryID(std::move(entryID)),
        range(range) {}

  std::string encodedPath;
  std::string encodedNormalizedPath;
  std::optional<std::string> entryID;
  std::optional<ByteRange> range;

  std::string path() const override { return "/api/v1/fs-content" + encodedPath; }
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  /// "X-Tarnix-Path" always; "Range" only for a valid range.
  HTTPHeaders headers() const override;
};

}  // namespace tarnix::cloudfs
