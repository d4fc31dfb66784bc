// The context-menu actions of the drive: manual locks, forced listings and crawls here, the
// rest through the desktop application's service (none on Linux).
#include "fileprovider/Provider.hpp"

namespace tarnix::fileprovider {

void Provider::makeActions() {
  contextMenuHandler_ = std::make_shared<ContextMenuActionsHandler>(
      drive_, distributedNotificationCenter_, logger_.child("ContextMenuActionsHandler"));
  CustomActionHandler::Services services;
  services.syncItemIdentifier = [converter = converter_](const fp::ItemIdentifier& identifier) {
    return converter->syncItemIdentifier(identifier);
  };
  services.lock = [locking = locking_.contextMenuLockingService](const auto& files,
                                                                 auto completion) {
    locking->lock(files, std::move(completion));
  };
  services.unlock = [locking = locking_.contextMenuLockingService](const auto& files,
                                                                   auto completion) {
    locking->unlock(files, std::move(completion));
  };
  services.crawl = [crawler = std::weak_ptr(listingCrawler_)](const auto& folders,
                                                              auto completion) {
    auto self = crawler.lock();
    if (!self) return completion(fp::Error(fp::FileProviderErrorCode::cannotSynchronize));
    // Done when every folder below the selection was listed.
    self->add(folders, [completion] { completion(std::nullopt); });
  };
  services.forceRefresh = [scheduler = std::weak_ptr(listingScheduler_), converter = converter_](
                              const auto& folders, auto completion) {
    auto self = scheduler.lock();
    if (!self) return completion(fp::Error(fp::FileProviderErrorCode::cannotSynchronize));
    if (folders.empty()) return completion(std::nullopt);
    struct Pending {
      std::mutex mutex;
      std::size_t outstanding;
      std::optional<fp::Error> error;
    };
    auto pending = std::make_shared<Pending>();
    pending->outstanding = folders.size();
    for (const auto& folder : folders) {
      self->triggerListing(common::SyncItemIdentifier(folder), ListingOrigin::enumerator,
                           /*force=*/true, /*forceRefreshLocks=*/true,
                           [pending, completion, converter](ListingResult<void> listed) {
                             std::optional<fp::Error> error;
                             {
                               std::lock_guard lock(pending->mutex);
                               if (!listed && !pending->error) {
                                 const auto* sync = listed.error().syncError();
                                 pending->error =
                                     sync ? converter->convert(*sync)
                                          : fp::Error(fp::FileProviderErrorCode::serverUnreachable);
                               }
                               if (--pending->outstanding != 0) return;
                               error = pending->error;
                             }
                             completion(error);
                           });
    }
  };
  customActionHandler_ = std::make_shared<CustomActionHandler>(
      std::move(services), contextMenuHandler_, logger_.child("FileProviderActionHandler"));
}

}  // namespace tarnix::fileprovider
