#include "fileprovider/listing/ListingScheduler.hpp"

#include <ranges>

namespace tarnix::fileprovider {

using common::SyncError;
using common::SyncFolderIdentifier;
using common::SyncItem;

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

ListingResult<void> voidResult(const ListingResult<ListingMetadata>& result) {
  if (!result) return std::unexpected(result.error());
  return {};
}

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  for (auto part : std::views::split(path, '/')) {
    std::string text(part.begin(), part.end());
    if (!text.empty()) parts.push_back(std::move(text));
  }
  return parts;
}

std::string parentPath(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

std::shared_ptr<ListingScheduler> ListingScheduler::make(Collaborators collaborators,
                                                         base::Logger logger) {
  auto scheduler =
      std::shared_ptr<ListingScheduler>(new ListingScheduler(collaborators, std::move(logger)));
  scheduler->coordinator_ = ListingCoordinator::make(scheduler->notifyQueue_,
                                                     scheduler->logger_.child("ListingCoordinator"),
                                                     collaborators.maxActiveListings);
  scheduler->coordinator_->setDelegate(scheduler);
  return scheduler;
}

ListingScheduler::ListingScheduler(Collaborators collaborators, base::Logger logger)
    : online_(std::move(collaborators.listingServiceForOnlineRealm)),
      offline_(std::move(collaborators.listingServiceForOfflineRealm)),
      metadataStorage_(std::move(collaborators.listingMetadataStorage)),
      itemStorage_(std::move(collaborators.itemStorage)),
      logger_(std::move(logger)) {}

void ListingScheduler::triggerListing(const common::SyncItemIdentifier& identifier,
                                      ListingOrigin origin, bool force, bool forceRefreshLocks,
                                      ListingCompletion completion) {
  base::LoggerMetadata metadata{{"itemID", identifier.description()},
                                {"origin", std::string(description(origin))},
                                {"force", force}};
  TLOG_DEBUG(logger_, "Listing triggered", metadata);
  SyncFolderIdentifier folder;
  if (const auto* isFolder = identifier.folder()) {
    folder = *isFolder;
  } else {
    auto file = itemStorage_->item(identifier);
    if (!file) {
      metadata.set("error", file.error().description());
      logger_.error("Listing failed", std::move(metadata));
      if (completion) completion(std::unexpected(ListingError(file.error())));
      return;
    }
    folder = file->parentItemIdentifier;
  }
  trigger(ListingRequest::byIdentifier(folder, forceRefreshLocks), origin, force,
          [logger = logger_, metadata = std::move(metadata),
           completion = std::move(completion)](ListingResult<void> result) mutable {
            if (!result && !result.error().isCancellation()) {
              metadata.set("error", result.error().description());
              logger.error("Listing failed", std::move(metadata));
            }
            if (completion) completion(std::move(result));
          });
}

void ListingScheduler::trigger(ListingRequest request, ListingOrigin origin, bool force,
                               ListingCompletion completion) {
  if (!completion) completion = [](ListingResult<void>) {};
  coordinator_->add(std::move(request), origin, force, std::move(completion));
}

void ListingScheduler::stop() {
  coordinator_->stop();
  for (const auto& service : {online_, offline_}) {
    if (service) service->stop();
  }
  coordinator_->waitUntilIdle();
  serialQueue_.drain();
}

void ListingScheduler::listingCoordinator(const ListingRequest& request, ListingOrigin origin,
                                          bool force, ListingCompletion completionHandler) {
  serialQueue_.async([self = shared_from_this(), request, origin, force,
                      completion = std::move(completionHandler)]() mutable {
    std::visit(
        Overloaded{
            [&](const ListingRequest::ByIdentifier& r) {
              self->listFolder(r.folderIdentifier, origin, force, r.forceRefreshLocks,
                               std::move(completion));
            },
            [&](const ListingRequest::ByIdentifierOnRealmChange& r) {
              // The stored state of the other realm is doubtful: list unconditionally.
              self->listFolder(r.folderIdentifier, origin, true, false, std::move(completion));
            },
            [&](const ListingRequest::ByIdentifierOnMove& r) {
              auto item = self->itemStorage_->item(r.itemIdentifier);
              if (!item) {
                completion(std::unexpected(ListingError(item.error())));
                return;
              }
              // Both the old and the new parent are refreshed, one after the other.
              const auto oldParent = item->parentItemIdentifier;
              const auto newParent = r.newParent;
              std::weak_ptr<ListingScheduler> weak = self;
              self->listFolder(
                  oldParent, origin, true, false,
                  [weak, newParent, oldParent, origin,
                   completion = std::move(completion)](ListingResult<void> first) mutable {
                    auto scheduler = weak.lock();
                    if (!scheduler || !newParent || *newParent == oldParent) {
                      completion(std::move(first));
                      return;
                    }
                    scheduler->serialQueue_.async([scheduler, newParent, origin,
                                                   completion = std::move(completion)]() mutable {
                      scheduler->listFolder(*newParent, origin, true, false, std::move(completion));
                    });
                  });
            },
            [&](const ListingRequest::ByPath& r) {
              self->listPath(r.path, origin, force, std::move(completion));
            },
            [&](const ListingRequest::ByPathExclusive& r) {
              self->listPath(r.path, origin, true, std::move(completion));
            },
            [&](const ListingRequest::ByPathOnMove& r) {
              std::weak_ptr<ListingScheduler> weak = self;
              auto target = parentPath(r.target);
              self->listPath(
                  parentPath(r.source), origin, true,
                  [weak, target, origin,
                   completion = std::move(completion)](ListingResult<void>) mutable {
                    auto scheduler = weak.lock();
                    if (!scheduler) {
                      completion(std::unexpected(
                          ListingError(ListingUnavailable{"the listing scheduler is gone"})));
                      return;
                    }
                    scheduler->serialQueue_.async(
                        [scheduler, target, origin, completion = std::move(completion)]() mutable {
                          scheduler->listPath(target, origin, true, std::move(completion));
                        });
                  });
            },
        },
        request.value);
  });
}

void ListingScheduler::listFolder(const SyncFolderIdentifier& folder, ListingOrigin origin,
                                  bool force, bool forceRefreshLocks,
                                  ListingCompletion completion) {
  auto item = itemStorage_->item(common::SyncItemIdentifier(folder));
  if (!item) {
    completion(std::unexpected(ListingError(item.error())));
    return;
  }
  const bool offline = item->itemRealm == common::SyncItemRealm::offline;
  auto service = offline ? offline_ : online_;
  TLOG_DEBUG(logger_, "Listing folder",
             {{"itemID", folder.description()},
              {"itemRealm", offline ? "offline" : "online"},
              {"origin", std::string(description(origin))},
              {"force", force}});
  if (!service) {
    completion(std::unexpected(
        ListingError(ListingUnavailable{"no listing service serves the " +
                                        std::string(offline ? "offline" : "online") + " realm"})));
    return;
  }
  std::optional<ListingMetadata> metadata;
  if (auto stored = metadataStorage_->metadata(folder)) {
    metadata = std::move(*stored);
  } else {
    // Without the bookkeeping the folder is simply listed in full.
    logger_.warning("Reading listing metadata failed",
                    {{"itemID", folder.description()}, {"error", stored.error().description()}});
  }
  std::weak_ptr<ListingScheduler> weak = weak_from_this();
  const auto parent = item->parentItemIdentifier;
  service->refreshListing(
      *item, origin, force, forceRefreshLocks, std::move(metadata),
      [weak, parent, origin,
       completion = std::move(completion)](ListingResult<ListingMetadata> result) mutable {
        const auto* sync = result ? nullptr : result.error().syncError();
        if (sync && sync->code() == SyncError::Code::permissionDenied) {
          if (auto scheduler = weak.lock(); scheduler && parent != SyncFolderIdentifier::zero()) {
            scheduler->logger_.warning("Lost permission for folder, refreshing the parent.",
                                       {{"itemID", parent.description()}});
            scheduler->triggerListing(common::SyncItemIdentifier(parent), origin, false, false);
          }
        }
        completion(voidResult(result));
      });
}

void ListingScheduler::listPath(std::string path, ListingOrigin origin, bool force,
                                ListingCompletion completion) {
  // Paths are taken relative to the drive root; a full cloud path below it is accepted too.
  const auto& start = itemStorage_->cloudStartPath();
  if (!start.empty() && start != "/" && path.starts_with(start) &&
      (path.size() == start.size() || path[start.size()] == '/')) {
    path = path.substr(start.size());
  }
  auto root = itemStorage_->rootItem();
  if (!root) {
    completion(std::unexpected(ListingError(root.error())));
    return;
  }
  walk(std::move(*root), components(path), origin, force, std::move(completion));
}

void ListingScheduler::walk(SyncItem folder, std::vector<std::string> remaining,
                            ListingOrigin origin, bool force, ListingCompletion completion) {
  std::weak_ptr<ListingScheduler> weak = weak_from_this();
  const auto identifier = *folder.itemIdentifier.folder();
  listFolder(
      identifier, origin, force, false,
      [weak, identifier, remaining = std::move(remaining), origin, force,
       completion = std::move(completion)](ListingResult<void> result) mutable {
        auto scheduler = weak.lock();
        if (!result || remaining.empty() || !scheduler) {
          completion(std::move(result));
          return;
        }
        scheduler->serialQueue_.async([scheduler, identifier, remaining = std::move(remaining),
                                       origin, force,
                                       completion = std::move(completion)]() mutable {
          auto child = scheduler->itemStorage_->childItem(identifier, remaining.front());
          if (!child) {
            completion(std::unexpected(ListingError(child.error())));
            return;
          }
          if (!*child) {
            completion(std::unexpected(ListingError(SyncError(SyncError::Code::pathNotFound))));
            return;
          }
          remaining.erase(remaining.begin());
          if (!(*child)->isFolder()) {
            // A file at the end of the path: its folder is what was listed.
            if (remaining.empty()) {
              completion({});
            } else {
              completion(std::unexpected(ListingError(SyncError(SyncError::Code::pathNotFound))));
            }
            return;
          }
          scheduler->walk(std::move(**child), std::move(remaining), origin, force,
                          std::move(completion));
        });
      });
}

}  // namespace tarnix::fileprovider
