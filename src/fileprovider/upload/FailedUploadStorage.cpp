#include "fileprovider/upload/FailedUploadStorage.hpp"

namespace tarnix::fileprovider {

FailedUploadStorage::FailedUploadStorage(
    std::shared_ptr<common::NewFileFailedUploadStorage> newFileFailedUploadStorage,
    std::shared_ptr<common::SyncItemStorage> syncItemStorage, base::Logger logger)
    : newFileFailedUploadStorage_(std::move(newFileFailedUploadStorage)),
      syncItemStorage_(std::move(syncItemStorage)),
      logger_(std::move(logger)) {}

std::optional<FailedUploadRecord> FailedUploadStorage::lastFailure(const common::SyncItem& item,
                                                                   bool isNewFile) {
  if (isNewFile) {
    if (!newFileFailedUploadStorage_) return std::nullopt;
    auto found = newFileFailedUploadStorage_->entry(item.parentItemIdentifier, item.filename);
    if (!found) {
      logger_.error("Reading NewFileFailedUpload failed", {{"error", found.error().description()}});
      return std::nullopt;
    }
    if (!*found) return std::nullopt;
    return FailedUploadRecord{std::nullopt, (*found)->checksum};
  }
  auto stored = item;
  if (syncItemStorage_) {
    if (auto read = syncItemStorage_->optionalItem(item.itemIdentifier); read && *read) {
      stored = **read;
    }
  }
  if (!stored.lastFailedUploadChecksum) return std::nullopt;
  return FailedUploadRecord{stored.lastFailedUploadBaseVersion, *stored.lastFailedUploadChecksum};
}

void FailedUploadStorage::recordFailure(
    const common::SyncItem& item, bool isNewFile,
    const std::optional<common::CloudEntryIdentifier>& baseVersion, const std::string& checksum) {
  if (isNewFile) {
    if (!newFileFailedUploadStorage_) return;
    auto added =
        newFileFailedUploadStorage_->add({item.parentItemIdentifier, item.filename, checksum});
    if (!added) {
      logger_.error("Persisting NewFileFailedUpload failed",
                    {{"error", added.error().description()}});
    }
    return;
  }
  if (!syncItemStorage_) return;
  if (auto updated = syncItemStorage_->updateLastFailedUploadDetails(item.itemIdentifier,
                                                                     baseVersion, checksum);
      !updated) {
    logger_.error("Persisting failed upload details failed",
                  {{"itemID", item.itemIdentifier.description()}});
  }
}

void FailedUploadStorage::clearFailure(const common::SyncItem& item, bool isNewFile) {
  if (isNewFile) {
    if (!newFileFailedUploadStorage_) return;
    if (auto removed =
            newFileFailedUploadStorage_->remove(item.parentItemIdentifier, item.filename);
        !removed) {
      logger_.error("Removing NewFileFailedUpload from persistent storage failed",
                    {{"error", removed.error().description()}});
    }
    return;
  }
  if (!syncItemStorage_) return;
  (void)syncItemStorage_->updateLastFailedUploadDetails(item.itemIdentifier, std::nullopt,
                                                        std::nullopt);
}

}  // namespace tarnix::fileprovider
