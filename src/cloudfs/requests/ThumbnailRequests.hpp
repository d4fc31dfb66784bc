#pragma once
// Thumbnails of a file's content: the current version's by group id, and the document
// service's rendering of one version ("/opendocument.do").

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

/// How the server fits the image into the requested box: scaled to fit, or filled and cut to
/// its centre.
enum class ThumbnailCropType { proportional, center };

/// "proportional" or "center".
std::string_view wireName(ThumbnailCropType cropType);

class DownloadThumbnailRequest final : public CloudFSRequestPrototype {
 public:
  DownloadThumbnailRequest(std::string groupID, std::optional<std::string> expectedEntryID,
                           ThumbnailCropType cropType, std::int64_t width, std::int64_t height)
      : groupID(std::move(groupID)),
        expectedEntryID(std::move(expectedEntryID)),
        cropType(cropType),
        width(width),
        height(height) {}

  std::string groupID;
  /// The version the thumbnail must show; the server refuses when the file has moved on.
  std::optional<std::string> expectedEntryID;
  ThumbnailCropType cropType;
  std::int64_t width;
  std::int64_t height;

  std::string path() const override;
  /// "type", "width", "height", then "entryId" when expected.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

class GenerateThumbnailRequest final : public CloudFSRequestPrototype {
 public:
  GenerateThumbnailRequest(std::string entryID, ThumbnailCropType cropType, std::int64_t width,
                           std::int64_t height, bool thumbnail, bool preview,
                           bool forceDownload = false,
                           std::optional<std::string> format = std::nullopt)
      : entryID(std::move(entryID)),
        cropType(cropType),
        width(width),
        height(height),
        thumbnail(thumbnail),
        preview(preview),
        forceDownload(forceDownload),
        format(std::move(format)) {}

  std::string entryID;
  ThumbnailCropType cropType;
  std::int64_t width;
  std::int64_t height;
  bool thumbnail;
  bool preview;
  bool forceDownload;
  /// The image format asked for; the server's default when none.
  std::optional<std::string> format;

  std::string path() const override { return "/opendocument.do"; }
  /// "entryId", "type", "w", "h", "thumbNail", "preview"; "forceDownload" = "true" only when
  /// set; "format" when given.
  std::vector<URLQueryItem> queryItems() const override;
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

}  // namespace tarnix::cloudfs
