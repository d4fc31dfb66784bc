// Naming the holders of cloud locks after a listing: the listing says only that a file is
// locked; the file's metadata with locks says who holds the lock.
#include "base/Mutex.hpp"
#include "fileprovider/listing/ListingService.hpp"

namespace tarnix::fileprovider {

using common::SyncItem;

namespace {

constexpr auto kStoredChildOptions = common::SyncItemReadOptions::skipExtendedAttributes |
                                     common::SyncItemReadOptions::skipSubscriptionState;

// The lock as the file's metadata describes it; none when the answer names no holder. A file
// found unlocked is left to the next listing, which tells its removal to whoever listens.
std::optional<common::CloudLockInfo> lockFromMetadata(const cloudfs::FileMetadataResponse& answer,
                                                      const common::CloudLockInfo& stored) {
  if (!answer.locked || !answer.lock || !answer.lock->ownerID) return std::nullopt;
  common::CloudLockInfo lock;
  lock.collaborationToken = stored.collaborationToken;
  const auto& holder = *answer.lock;
  lock.identifier = *holder.ownerID;
  lock.firstName = holder.firstName.value_or("");
  lock.lastName = holder.lastName.value_or("");
  lock.email = holder.email;
  if (holder.collaboration) lock.collaborationToken = holder.collaboration;
  return lock;
}

// Answers collected from requests that complete in any order.
struct HolderRequests {
  base::Mutex mutex;
  std::size_t outstanding TARNIX_GUARDED_BY(mutex) = 0;
  std::vector<std::pair<SyncItem, cloudfs::FileMetadataResponse>> answers TARNIX_GUARDED_BY(mutex);
};

}  // namespace

void ListingService::nameLockHolders(const SyncItem& folder, bool everyLock,
                                     std::function<void()> done) {
  const auto* folderIdentifier = folder.itemIdentifier.folder();
  if (!folderIdentifier) return done();
  auto children = itemStorage_->enumerateAllItems(*folderIdentifier, kStoredChildOptions);
  if (!children) {
    logger_.warning("Reading locked files failed", {{"itemID", folder.itemIdentifier.description()},
                                                    {"error", children.error().description()}});
    return done();
  }
  std::vector<SyncItem> locked;
  for (auto& child : *children) {
    if (child.isFolder() || !child.lockInfo || !child.cloudIdentifier) continue;
    if (everyLock || !child.lockInfo->isHolderKnown()) locked.push_back(std::move(child));
  }
  if (locked.empty()) return done();
  TLOG_DEBUG(logger_, "Asking the cloud for lock holders",
             {{"itemID", folder.itemIdentifier.description()}, {"count", locked.size()}});

  auto requests = std::make_shared<HolderRequests>();
  {
    base::MutexLock lock(requests->mutex);
    requests->outstanding = locked.size();
  }
  std::weak_ptr<ListingService> weak = weak_from_this();
  for (const auto& file : locked) {
    cloudClient_->fileMetadata(
        file, [weak, requests, file, folder,
               done](SyncCloudResult<cloudfs::FileMetadataResponse> answer) mutable {
          auto service = weak.lock();
          bool last = false;
          std::vector<std::pair<SyncItem, cloudfs::FileMetadataResponse>> answers;
          {
            base::MutexLock lock(requests->mutex);
            if (answer) requests->answers.emplace_back(file, *answer);
            last = --requests->outstanding == 0;
            if (last) answers = std::move(requests->answers);
          }
          if (service && !answer && !answer.error().isCancellation()) {
            service->logger_.warning("Reading the lock holder failed",
                                     {{"itemID", file.itemIdentifier.description()},
                                      {"error", answer.error().description()}});
          }
          if (!last) return;
          if (!service) return done();
          service->serialQueue_.async(
              [service, folder, answers = std::move(answers), done = std::move(done)] {
                service->storeLockHolders(folder, answers);
                done();
              });
        });
  }
}

void ListingService::storeLockHolders(
    const SyncItem& folder,
    const std::vector<std::pair<SyncItem, cloudfs::FileMetadataResponse>>& answers) {
  std::vector<common::SyncItemIdentifier> identifiers;
  for (const auto& [file, answer] : answers) identifiers.push_back(file.itemIdentifier);
  // Read again: the store may have moved on while the cloud answered.
  auto current = itemStorage_->items(identifiers, kStoredChildOptions);
  if (!current) {
    logger_.warning("Reading locked files failed", {{"itemID", folder.itemIdentifier.description()},
                                                    {"error", current.error().description()}});
    return;
  }
  common::SyncItemListPatch patch;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const auto& stored = (*current)[i];
    // Gone, moved away or unlocked meanwhile: the newer state stands.
    if (!stored || !stored->lockInfo ||
        stored->parentItemIdentifier != *folder.itemIdentifier.folder()) {
      continue;
    }
    auto lock = lockFromMetadata(answers[i].second, *stored->lockInfo);
    if (!lock || lock == stored->lockInfo) continue;
    common::PatchedSyncItem patched(*stored);
    patched.setLockInfo(std::move(lock));
    patch.modifiedItems.push_back(std::move(patched));
  }
  if (patch.modifiedItems.empty()) return;
  if (auto written = itemStorage_->apply(patch, true); !written) {
    logger_.warning("Storing lock holders failed", {{"itemID", folder.itemIdentifier.description()},
                                                    {"error", written.error().description()}});
    return;
  }
  logger_.info("Lock holders named", {{"itemID", folder.itemIdentifier.description()},
                                      {"count", patch.modifiedItems.size()}});
  if (changeHandler_) changeHandler_(*folder.itemIdentifier.folder());
}

}  // namespace tarnix::fileprovider
