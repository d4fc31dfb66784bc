#include "cloudfs/requests/ThumbnailRequests.hpp"

namespace tarnix::cloudfs {

std::string_view wireName(ThumbnailCropType cropType) {
  switch (cropType) {
    case ThumbnailCropType::proportional:
      return "proportional";
    case ThumbnailCropType::center:
      return "center";
  }
  return "proportional";
}

std::string DownloadThumbnailRequest::path() const {
  return "/api/v1/fs-content-download/thumbnail/ids/file/" + percentEncodePathSegment(groupID);
}

std::vector<URLQueryItem> DownloadThumbnailRequest::queryItems() const {
  std::vector<URLQueryItem> items{{"type", std::string(wireName(cropType))},
                                  {"width", std::to_string(width)},
                                  {"height", std::to_string(height)}};
  if (expectedEntryID) items.push_back({"entryId", *expectedEntryID});
  return items;
}

std::vector<URLQueryItem> GenerateThumbnailRequest::queryItems() const {
  std::vector<URLQueryItem> items{{"entryId", entryID},
                                  {"type", std::string(wireName(cropType))},
                                  {"w", std::to_string(width)},
                                  {"h", std::to_string(height)},
                                  {"thumbNail", queryBool(thumbnail)},
                                  {"preview", queryBool(preview)}};
  if (forceDownload) items.push_back({"forceDownload", "true"});
  if (format) items.push_back({"format", *format});
  return items;
}

}  // namespace tarnix::cloudfs
