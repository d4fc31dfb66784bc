#pragma once
// The provider's answer to the framework's thumbnail requests: each identifier is resolved to
// a stored item and its thumbnail fetched by the SyncThumbnailLoader; failures reach the
// framework through the converter.
//
// Threads: `fetchThumbnails` may be called from any thread. The per-thumbnail handler runs
// once per identifier and then the completion handler once, all on the SyncThumbnailLoader's
// callback queue, one after another.

#include <memory>
#include <vector>

#include "base/Logger.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "fileprovider/thumbnails/SyncThumbnailLoader.hpp"
#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// A failed thumbnail as the framework sees it: sync and store errors as the converter makes
/// them, a cancellation as the user-cancelled error, other transport failures wrapped.
fp::Error convertThumbnailError(const FileProviderConverter& converter,
                                const SyncThumbnailError& error);

class ThumbnailLoader {
 public:
  ThumbnailLoader(std::shared_ptr<SyncThumbnailLoader> syncThumbnailLoader,
                  std::shared_ptr<const FileProviderConverter> converter, base::Logger logger);

  /// Identifiers that name no stored item get the non-existent-item error; folders and files
  /// without an allowed extension get no data and no error. The progress counts one unit per
  /// identifier; cancelling it cancels the fetches still running (they answer with the
  /// user-cancelled error).
  fp::ProgressPtr fetchThumbnails(
      const std::vector<fp::ItemIdentifier>& identifiers, fp::ThumbnailSize requestedSize,
      fp::ReplicatedExtension::PerThumbnailCompletion perThumbnailCompletionHandler,
      fp::ReplicatedExtension::ErrorCompletion completionHandler);

  const std::shared_ptr<SyncThumbnailLoader>& syncThumbnailLoader() const {
    return syncThumbnailLoader_;
  }

 private:
  std::shared_ptr<SyncThumbnailLoader> syncThumbnailLoader_;
  std::shared_ptr<const FileProviderConverter> converter_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
