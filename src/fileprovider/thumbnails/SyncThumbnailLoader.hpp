#pragma once
// Thumbnails of stored files from the cloud. The loader knows which file name extensions the
// cloud makes thumbnails of (the configuration's `thumbnailExtensions`, lower case, kept current
// as the configuration changes) and asks the cloud only for files with one of them.
//
// Threads: every member may be called from any thread. Its work runs on `syncQueue`
// ("com.tarnix.SyncThumbnailLoader"); every completion runs exactly once, on `callbackQueue`
// ("com.tarnix.SyncThumbnailLoader.callback").

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/thumbnails/SyncCloudThumbnails.hpp"

namespace tarnix::fileprovider {

/// The pixel box asked of the server.
struct ThumbnailDimensions {
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool operator==(const ThumbnailDimensions&) const = default;
};

/// The box for a requested size: a square whose side is the larger requested side rounded up
/// to a power of two, at least 64 and at most 1024 (sizes that are not positive numbers count
/// as 0). Few distinct sizes let the server reuse what it rendered; the server keeps the
/// image's proportions inside the box.
ThumbnailDimensions thumbnailDimensions(double width, double height);

/// The extension of `filename` in lower case: what follows its last '.', none when there is no
/// '.', the name starts with its only '.', or nothing follows it.
std::optional<std::string> lowercasedExtension(std::string_view filename);

/// A failure of one thumbnail: from the cloud, or from the item store.
using SyncThumbnailError = std::variant<SyncCloudError, common::ItemStoreError>;
/// The image; none when the item has no thumbnail (a folder, an extension the cloud makes no
/// thumbnails of, or a file the server does not render).
using SyncThumbnailResult = std::expected<std::optional<std::string>, SyncThumbnailError>;

/// One thumbnail being fetched.
class SyncThumbnailFetch {
 public:
  /// The completion gets the cancellation error, unless it has run already.
  void cancel();

 private:
  friend class SyncThumbnailLoader;
  std::mutex mutex_;
  bool cancelled_ = false;            // guarded
  cloudfs::CloudFSSessionTask task_;  // guarded
};

class SyncThumbnailLoader : public std::enable_shared_from_this<SyncThumbnailLoader> {
 public:
  using Completion = std::function<void(SyncThumbnailResult)>;

  /// Call `start` to follow the configuration.
  static std::shared_ptr<SyncThumbnailLoader> make(
      std::shared_ptr<common::SyncItemStorage> itemStorage,
      std::shared_ptr<ThumbnailCloudClient> cloudClient,
      std::shared_ptr<common::DriveConfigurationProvider> configurationProvider,
      base::Logger logger);

  /// Takes the allowed extensions from the configuration now and on every change.
  void start();
  /// Stops following the configuration.
  void stop();

  /// The extensions the cloud makes thumbnails of, lower case, without a leading '.'.
  std::vector<std::string> allowedFilenameExtensions() const;
  const std::shared_ptr<base::DispatchQueue>& callbackQueue() const { return callbackQueue_; }

  /// The thumbnail of the stored item `identifier` in the box `size`. An unknown item fails
  /// with noSuchItem; folders and files whose extension is not allowed get none at once.
  std::shared_ptr<SyncThumbnailFetch> fetchThumbnail(common::SyncItemIdentifier identifier,
                                                     ThumbnailDimensions size,
                                                     Completion completion);

 private:
  SyncThumbnailLoader(std::shared_ptr<common::SyncItemStorage> itemStorage,
                      std::shared_ptr<ThumbnailCloudClient> cloudClient,
                      std::shared_ptr<common::DriveConfigurationProvider> configurationProvider,
                      base::Logger logger);
  /// On syncQueue.
  void load(const common::SyncItemIdentifier& identifier, ThumbnailDimensions size,
            const std::shared_ptr<SyncThumbnailFetch>& fetch, Completion completion);
  void answer(Completion completion, SyncThumbnailResult result) const;

  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<ThumbnailCloudClient> cloudClient_;
  std::shared_ptr<common::DriveConfigurationProvider> configurationProvider_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> syncQueue_;
  std::shared_ptr<base::DispatchQueue> callbackQueue_;
  std::vector<std::string> allowedFilenameExtensions_;  // on syncQueue_
  std::mutex cancellableMutex_;
  std::shared_ptr<void> cancellable_;  // guarded by cancellableMutex_
};

}  // namespace tarnix::fileprovider
