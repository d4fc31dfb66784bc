#pragma once
// Thumbnails of files from the cloud, over the drive's cloud client: its session, its error
// mapping and its completion rules.
//
// Threads: any thread may call it; each completion runs exactly once, on the session's callback
// queue.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "fileprovider/cloud/SyncCloudClient.hpp"

namespace tarnix::fileprovider {

/// What the thumbnail loader needs of the cloud.
class ThumbnailCloudClient {
 public:
  virtual ~ThumbnailCloudClient() = default;
  /// The thumbnail image of `file` fitted into `width` x `height` pixels, of the file's stored
  /// content version when it has one (a file that moved on to another version gives
  /// noSuchItem). None when the server makes no thumbnail of the file: its source is too big
  /// (logged "Source file is too big to generate a thumbnail") or of a type it does not render.
  virtual cloudfs::CloudFSSessionTask downloadThumbnail(
      const common::SyncItem& file, std::int64_t width, std::int64_t height,
      SyncCloudClient::Completion<std::optional<std::string>> completionHandler) = 0;
};

class SyncCloudThumbnails final : public ThumbnailCloudClient {
 public:
  /// Completions keep the client alive until they have run.
  explicit SyncCloudThumbnails(std::shared_ptr<SyncCloudClient> cloudClient)
      : cloudClient_(std::move(cloudClient)) {}

  cloudfs::CloudFSSessionTask downloadThumbnail(
      const common::SyncItem& file, std::int64_t width, std::int64_t height,
      SyncCloudClient::Completion<std::optional<std::string>> completionHandler) override;

 private:
  std::shared_ptr<SyncCloudClient> cloudClient_;
};

/// The thumbnails of the drive's cloud client.
std::shared_ptr<ThumbnailCloudClient> makeThumbnailCloudClient(
    std::shared_ptr<SyncCloudClient> client);

}  // namespace tarnix::fileprovider
