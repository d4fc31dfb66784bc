#include "fileprovider/listing/ListingService.hpp"

#include <set>
#include <utility>

#include "fileprovider/listing/ListingCloudItems.hpp"

namespace tarnix::fileprovider {

using common::SyncError;
using common::SyncItem;

namespace {

constexpr auto kStoredChildOptions = common::SyncItemReadOptions::skipExtendedAttributes |
                                     common::SyncItemReadOptions::skipSubscriptionState;

std::string identifierText(const SyncItem& item) {
  return item.itemIdentifier.description();
}

}  // namespace

ListingService::ListingService(Collaborators collaborators, base::Logger logger)
    : itemStorage_(std::move(collaborators.itemStorage)),
      cloudClient_(std::move(collaborators.cloudClient)),
      metadataStorage_(std::move(collaborators.metadataStorage)),
      lockRemovalDetector_(std::move(collaborators.lockRemovalDetector)),
      skipsService_(std::move(collaborators.skipsService)),
      deletionManager_(std::move(collaborators.deletionManager)),
      currentUserIdentifier_(collaborators.currentUserIdentifier),
      clock_(collaborators.clock ? std::move(collaborators.clock) : base::Clock::system()),
      logger_(std::move(logger)) {}

void ListingService::refreshListing(const SyncItem& folder, ListingOrigin origin, bool force,
                                    bool forceRefreshLocks, std::optional<ListingMetadata> metadata,
                                    Completion completionHandler) {
  serialQueue_.async([self = shared_from_this(), folder, origin, force, forceRefreshLocks,
                      metadata = std::move(metadata),
                      completionHandler = std::move(completionHandler)]() mutable {
    if (self->refuseWhenStopped(completionHandler)) return;
    auto& logger = self->logger_;
    const auto decision = decideListing(force, forceRefreshLocks, origin, metadata, self->now());
    if (decision != ListingDecision::list) {
      if (decision == ListingDecision::skipRecentlyListed) {
        TLOG_DEBUG(
            logger, "Refreshing folder from cloud was skipped",
            {{"itemID", identifierText(folder)}, {"origin", std::string(description(origin))}});
      }
      completionHandler(*metadata);
      return;
    }
    TLOG_DEBUG(logger, "Refreshinig folder from cloud ...",
               {{"itemID", identifierText(folder)},
                {"origin", std::string(description(origin))},
                {"force", force}});
    if (!folder.isFolder()) {
      completionHandler(
          std::unexpected(ListingError(SyncError(SyncError::Code::noCloudIdentifier))));
      return;
    }
    // A lock refresh must see the locks as they are now, whatever the folder's entity tag says.
    std::optional<std::string> previousVersion;
    if (metadata && !forceRefreshLocks) previousVersion = metadata->version;
    std::weak_ptr<ListingService> weak = self;
    auto task = std::make_shared<std::uint64_t>(0);
    auto listed = [weak, folder, metadata, forceRefreshLocks, task,
                   completionHandler](SyncCloudResult<SyncCloudListing> result) mutable {
      auto service = weak.lock();
      if (!service) {
        completionHandler(
            std::unexpected(ListingError(ListingUnavailable{"the listing service is gone"})));
        return;
      }
      service->serialQueue_.async([service, folder = std::move(folder),
                                   metadata = std::move(metadata), result = std::move(result), task,
                                   forceRefreshLocks,
                                   completionHandler = std::move(completionHandler)]() mutable {
        service->inFlight_.erase(*task);
        // Stopped meanwhile: what came back is not written.
        if (service->refuseWhenStopped(completionHandler)) return;
        service->listed(folder, std::move(metadata), std::move(result), forceRefreshLocks,
                        std::move(completionHandler));
      });
    };
    // The answer is handled on this queue, after this block: the task is known by then.
    if (!folder.cloudIdentifier && self->isDriveRoot(folder)) {
      *task = self->track(self->cloudClient_->enumerateDriveRoot(folder, std::move(listed)));
    } else {
      *task = self->track(
          self->cloudClient_->enumerateItems(folder, previousVersion, std::move(listed)));
    }
  });
}

void ListingService::stop() {
  auto running = serialQueue_.sync([this] {
    stopped_ = true;
    return std::exchange(inFlight_, {});
  });
  for (auto& [identifier, task] : running) task.cancel();
}

std::uint64_t ListingService::track(cloudfs::CloudFSSessionTask task) {
  const auto identifier = ++nextTask_;
  inFlight_.emplace(identifier, std::move(task));
  return identifier;
}

template <class Handler>
bool ListingService::refuseWhenStopped(Handler& completionHandler) {
  if (!stopped_) return false;
  completionHandler(
      std::unexpected(ListingError(ListingUnavailable{"the listing service is stopped"})));
  return true;
}

void ListingService::enumerateCloudItems(const SyncItem& parentItem,
                                         CloudItemsCompletion completionHandler) {
  serialQueue_.async([self = shared_from_this(), parentItem,
                      completionHandler = std::move(completionHandler)]() mutable {
    if (self->refuseWhenStopped(completionHandler)) return;
    if (!parentItem.isFolder()) {
      completionHandler(
          std::unexpected(ListingError(SyncError(SyncError::Code::noCloudIdentifier))));
      return;
    }
    std::weak_ptr<ListingService> weak = self;
    auto task = std::make_shared<std::uint64_t>(0);
    auto listed = [weak, task,
                   completionHandler](SyncCloudResult<SyncCloudListing> result) mutable {
      auto service = weak.lock();
      if (!service) {
        completionHandler(
            std::unexpected(ListingError(ListingUnavailable{"the listing service is gone"})));
        return;
      }
      service->serialQueue_.async([service, task, result = std::move(result),
                                   completionHandler = std::move(completionHandler)]() mutable {
        service->inFlight_.erase(*task);
        if (!result) return completionHandler(std::unexpected(ListingError(result.error())));
        // Asked without an entity tag, the cloud cannot answer "not modified".
        const auto* items = std::get_if<SyncCloudFolderItems>(&*result);
        if (!items) {
          return completionHandler(
              std::unexpected(ListingError(SyncError(SyncError::Code::badServerResponse))));
        }
        auto converted = cloudItems(*items);
        if (!converted) return completionHandler(std::unexpected(ListingError(converted.error())));
        completionHandler(std::move(*converted));
      });
    };
    if (!parentItem.cloudIdentifier && self->isDriveRoot(parentItem)) {
      *task = self->track(self->cloudClient_->enumerateDriveRoot(parentItem, std::move(listed)));
    } else {
      *task = self->track(
          self->cloudClient_->enumerateItems(parentItem, std::nullopt, std::move(listed)));
    }
  });
}

bool ListingService::isDriveRoot(const SyncItem& folder) {
  auto root = itemStorage_->rootItem();
  return root && root->itemIdentifier == folder.itemIdentifier;
}

void ListingService::listed(const SyncItem& folder, std::optional<ListingMetadata> metadata,
                            SyncCloudResult<SyncCloudListing> result, bool forceRefreshLocks,
                            Completion completionHandler) {
  auto outcome = [&]() -> ListingResult<ListingMetadata> {
    if (!result) return std::unexpected(ListingError(result.error()));
    if (std::holds_alternative<SyncCloudNotModified>(*result)) {
      // Only sent with a stored entity tag, so there is a stored row to refresh.
      ListingMetadata refreshed =
          metadata.value_or(ListingMetadata{*folder.itemIdentifier.folder(), {}, {}});
      refreshed.lastSynchronizationTime = now();
      if (auto stored = metadataStorage_->store(refreshed); !stored) {
        return std::unexpected(ListingError(common::ItemStoreError{stored.error()}));
      }
      return refreshed;
    }
    return applyListing(folder, std::move(std::get<SyncCloudFolderItems>(*result)));
  }();
  if (!outcome) {
    if (!outcome.error().isCancellation()) {
      logger_.error("Updating folder from cloud failed",
                    {{"itemID", identifierText(folder)}, {"error", outcome.error().description()}});
    }
    completionHandler(std::move(outcome));
    return;
  }
  // The listing is done once the holders of the folder's locks are named.
  nameLockHolders(folder, forceRefreshLocks,
                  [self = shared_from_this(), folder, metadata = std::move(*outcome),
                   completionHandler = std::move(completionHandler)]() mutable {
                    TLOG_DEBUG(self->logger_, "Updating folder from cloud done",
                               {{"itemID", identifierText(folder)}, {"version", metadata.version}});
                    completionHandler(std::move(metadata));
                  });
}

ListingResult<StoredListingState> readStoredListingState(common::SyncItemStorage& storage,
                                                         const SyncItem& folder,
                                                         const SyncCloudFolderItems& listing) {
  StoredListingState state;
  auto storedFolder = storage.item(folder.itemIdentifier);
  if (!storedFolder) return std::unexpected(ListingError(storedFolder.error()));
  state.folder = std::move(*storedFolder);
  auto children = storage.enumerateAllItems(*folder.itemIdentifier.folder(), kStoredChildOptions);
  if (!children) return std::unexpected(ListingError(children.error()));
  state.children = std::move(*children);
  std::set<common::CloudItemIdentifier> childIdentifiers;
  for (const auto& child : state.children) {
    if (child.cloudIdentifier) childIdentifiers.insert(*child.cloudIdentifier);
  }
  // Items listed here but stored elsewhere were moved into this folder.
  std::vector<common::CloudItemIdentifier> elsewhere;
  for (const auto* list : {&listing.childFolderItems, &listing.childFileItems}) {
    for (const auto& entry : *list) {
      if (entry.cloudIdentifier && !childIdentifiers.contains(*entry.cloudIdentifier)) {
        elsewhere.push_back(*entry.cloudIdentifier);
      }
    }
  }
  state.known = state.children;
  if (elsewhere.empty()) return state;
  auto items = storage.findAllByCloudIdentifier(elsewhere, kStoredChildOptions);
  if (!items) return std::unexpected(ListingError(items.error()));
  for (auto& item : *items) {
    if (item) state.known.push_back(std::move(*item));
  }
  return state;
}

ListingResult<ListingMetadata> ListingService::applyListing(const SyncItem& folder,
                                                            SyncCloudFolderItems listing) {
  logger_.info("Applying folder listing changes", {{"itemID", identifierText(folder)}});
  const auto& folderIdentifier = *folder.itemIdentifier.folder();
  auto stored = readStoredListingState(*itemStorage_, folder, listing);
  if (!stored) return std::unexpected(stored.error());

  auto version = listing.version;
  auto changes = computeListingChanges(stored->folder, std::move(listing), stored->children,
                                       stored->known, currentUserIdentifier_);
  if (!changes) {
    logger_.error("Listing has invalid entries",
                  {{"itemID", identifierText(folder)}, {"error", changes.error().description()}});
    return std::unexpected(ListingError(changes.error()));
  }
  if (changes->duplicateEntries > 0) {
    logger_.warning("Listing names one cloud item more than once",
                    {{"itemID", identifierText(folder)}, {"count", changes->duplicateEntries}});
  }
  auto& patch = changes->patch;
  patch.movedAwayItems = deletionManager_ ? deletionManager_->itemsGoneFromCloud(
                                                folderIdentifier, changes->vanishedItems)
                                          : changes->vanishedItems;
  logger_.info("Folder listing changes", {{"itemID", identifierText(folder)},
                                          {"created", patch.createdItems.size()},
                                          {"modified", patch.modifiedItems.size()},
                                          {"deleted", patch.movedAwayItems.size()},
                                          {"skipped", changes->unwantedItems.size()}});

  const ListingMetadata metadata{folderIdentifier, std::move(version), now()};
  common::SkipsChange skipsChange;
  const auto realm = stored->folder.itemRealm == common::SyncItemRealm::offline
                         ? common::SkippedItemRealm::offline
                         : common::SkippedItemRealm::online;
  auto written =
      itemStorage_->apply(patch, true, [&](common::Database& db) -> common::ItemStoreResult<void> {
        if (skipsService_) {
          auto reconciled = skipsService_->reconcileUnwantedCloudItems(db, folderIdentifier, realm,
                                                                       changes->unwantedItems);
          if (!reconciled) {
            return std::unexpected(common::ItemStoreError{reconciled.error().databaseError});
          }
          skipsChange = *reconciled;
        }
        if (auto stored = metadataStorage_->store(db, metadata); !stored) {
          return std::unexpected(common::ItemStoreError{stored.error()});
        }
        return {};
      });
  if (!written) return std::unexpected(ListingError(written.error()));

  if (skipsChange.changed && skipsService_) skipsService_->notifySkipsChanged();
  if (!changes->removedLocks.empty() && lockRemovalDetector_) {
    lockRemovalDetector_->cloudLocksRemoved(changes->removedLocks, patch.userLockRemovedRemotely);
  }
  const bool changed =
      !patch.createdItems.empty() || !patch.modifiedItems.empty() || !patch.movedAwayItems.empty();
  if (changed && changeHandler_) changeHandler_(folderIdentifier);
  return metadata;
}

}  // namespace tarnix::fileprovider
