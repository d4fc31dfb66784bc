#pragma once
// The enumerator of one container: its children page by page and the changes below it since
// an anchor, read from the item store only (never the network). While it lives it presents
// its container to the presentation tracker, which keeps presented folders fresh; a host can
// wait for the listing that the presentation started.
//
// Any thread may call it; every call answers its observer before returning.

#include <atomic>
#include <memory>

#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/items/CloudItemPresentationTracker.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "platform/fileprovider/Enumerator.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// Schedules cloud listings of folders; built by the listing service.
class ListingScheduler;

class Enumerator final : public fp::Enumerator {
 public:
  /// Reports the start of the presentation at once (when there is a tracker).
  Enumerator(std::shared_ptr<common::SyncItemStorage> itemStorage,
             std::shared_ptr<const FileProviderConverter> converter,
             std::shared_ptr<ListingScheduler> listingScheduler,
             std::shared_ptr<CloudItemPresentationTracker> presentationTracker, base::Logger logger,
             common::SyncItemIdentifier enumeratedItemIdentifier);
  ~Enumerator() override;

  const common::SyncItemIdentifier& enumeratedItemIdentifier() const {
    return enumeratedItemIdentifier_;
  }

  /// The first call ends the presentation; later calls do nothing.
  void invalidate() override;
  void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override;
  void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override;
  void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override;
  /// Completes when the presentation tracker says the listing this enumerator's presentation
  /// started has ended; a failure is converted as every error leaving the extension is.
  void waitForPresentationListing(
      std::function<void(std::optional<fp::Error>)> completion) override;

 private:
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<const FileProviderConverter> converter_;
  std::shared_ptr<ListingScheduler> listingScheduler_;
  std::shared_ptr<CloudItemPresentationTracker> presentationTracker_;
  base::Logger logger_;
  common::SyncItemIdentifier enumeratedItemIdentifier_;
  std::atomic<bool> alive_{true};
};

}  // namespace tarnix::fileprovider
