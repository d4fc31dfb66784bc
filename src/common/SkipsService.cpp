#include "common/SkipsService.hpp"

#include <chrono>
#include <map>
#include <set>

#include "base/Uuid.hpp"
#include "common/detail/SyncItemStorageTransactions.hpp"

namespace tarnix::common {

namespace {
constexpr const char* kUpdateFailed = "Failed to update skip";
constexpr const char* kDetectFailed = "Failed to detect deletionConflict skip";

base::LoggerMetadata skipMetadata(const SkippedItem& item) {
  return {{"itemIdentifier", item.itemIdentifier.description()}, {"filename", item.filename}};
}

SyncItemIdentifier freshIdentifier(ItemType type) {
  if (type == ItemType::folder) return SyncFolderIdentifier{base::makeUuid()};
  return SyncFileIdentifier::make();
}
}  // namespace

std::string SkipsError::description() const {
  switch (kind) {
    case Kind::database:
      return databaseError.description();
    case Kind::noSuchSkip:
      return "No skip for " + itemIdentifier;
  }
  return "Unknown skips error";
}

SkipsError SkipsError::noSuchSkip(const SyncItemIdentifier& itemIdentifier) {
  SkipsError error{DatabaseError{}};
  error.kind = Kind::noSuchSkip;
  error.itemIdentifier = itemIdentifier.description();
  return error;
}

SkipSubject SkipSubject::of(const SyncItem& item) {
  return SkipSubject{item.itemIdentifier,
                     item.itemRealm == SyncItemRealm::offline ? SkippedItemRealm::offline
                                                              : SkippedItemRealm::online,
                     item.filename, item.parentItemIdentifier, item.creationDate};
}

SkipsService::SkipsService(std::shared_ptr<SkipsRepository> skipsRepository,
                           std::shared_ptr<platform::DistributedNotificationCenter> center,
                           const FeatureList& featureList, base::Logger logger,
                           std::string notificationObject, std::shared_ptr<base::Clock> clock)
    : skipsRepository_(std::move(skipsRepository)),
      notificationCenter_(std::move(center)),
      featureList_(featureList),
      logger_(std::move(logger)),
      notificationObject_(std::move(notificationObject)),
      clock_(clock ? std::move(clock) : base::Clock::system()) {}

bool SkipsService::skipsEnabled() const {
  return featureList_.isEnabled(Feature::skips);
}

void SkipsService::notifySkipsChanged() {
  if (notificationCenter_)
    notificationCenter_->post(kSkippedFilesChangedNotification, notificationObject_);
}

// Runs `body` in one transaction on the writer queue; logs `failureMessage` when it fails.
template <class T>
SkipsResult<T> SkipsService::inTransaction(const std::function<SkipsResult<T>(Database&)>& body,
                                           const char* failureMessage) {
  auto result = detail::carryingErrors<T>(
      [&](const std::function<DatabaseResult<T>(Database&)>& f) {
        return skipsRepository_->dbQueue()->write<T>(f);
      },
      body);
  if (!result) TLOG_ERROR(logger_, failureMessage, {{"error", result.error().description()}});
  return result;
}

// MARK: Creating and updating

SkipsResult<std::optional<SkippedItem>> SkipsService::createSkip(Database& db,
                                                                 const SkipSubject& subject,
                                                                 SkipReason reason,
                                                                 SkipsChange& change) {
  if (!skipsEnabled()) return std::nullopt;
  if (reason == SkipReason::deletionConflict &&
      !featureList_.isEnabled(Feature::deletionConflictSkip)) {
    return std::nullopt;
  }
  auto existing = skipsRepository_->find(db, subject.itemIdentifier);
  if (!existing) return std::unexpected(SkipsError(existing.error()));
  if (*existing && (*existing)->skipReason == reason && (*existing)->filename == subject.filename &&
      (*existing)->parentItemIdentifier == subject.parentItemIdentifier &&
      (*existing)->realm == subject.realm) {
    return *existing;
  }
  SkippedItem item{.itemIdentifier = subject.itemIdentifier,
                   .realm = subject.realm,
                   .filename = subject.filename,
                   .skipReason = reason,
                   .timestamp = clock_->now(),
                   .directory = subject.isDirectory(),
                   .retried = false,
                   .viewed = false,
                   .parentItemIdentifier = subject.parentItemIdentifier,
                   .creationDate = subject.creationDate,
                   .bumpedFilename = *existing ? (*existing)->bumpedFilename : std::nullopt};
  if (auto added = skipsRepository_->add(db, item); !added) {
    return std::unexpected(SkipsError(added.error()));
  }
  change.changed = true;
  auto metadata = skipMetadata(item);
  metadata.set("skipReason", std::string(description(reason)));
  TLOG_INFO(logger_, *existing ? "A skip was updated" : "A skip was created", std::move(metadata));
  return item;
}

SkipsResult<std::optional<SkippedItem>> SkipsService::createSkip(const SkipSubject& subject,
                                                                 SkipReason reason) {
  SkipsChange change;
  auto result = inTransaction<std::optional<SkippedItem>>(
      [&](Database& db) { return createSkip(db, subject, reason, change); }, kUpdateFailed);
  if (result && change.changed) notifySkipsChanged();
  return result;
}

SkipsResult<SkippedItem> SkipsService::updateSkip(const SyncItemIdentifier& itemIdentifier,
                                                  const std::string& bumpedFilename) {
  auto result = inTransaction<SkippedItem>(
      [&](Database& db) -> SkipsResult<SkippedItem> {
        auto existing = skipsRepository_->find(db, itemIdentifier);
        if (!existing) return std::unexpected(SkipsError(existing.error()));
        if (!*existing) return std::unexpected(SkipsError::noSuchSkip(itemIdentifier));
        SkippedItem item = std::move(**existing);
        item.bumpedFilename = bumpedFilename;
        if (auto added = skipsRepository_->add(db, item); !added) {
          return std::unexpected(SkipsError(added.error()));
        }
        auto metadata = skipMetadata(item);
        metadata.set("bumpedFilename", bumpedFilename);
        TLOG_INFO(logger_, "A skip was updated with bumped name", std::move(metadata));
        return item;
      },
      kUpdateFailed);
  if (result) notifySkipsChanged();
  return result;
}

// MARK: Resolving

SkipsResult<void> SkipsService::resolve(Database& db, const SkippedItem& skip,
                                        SkipsChange& change) {
  auto removed = skipsRepository_->remove(db, {skip.itemIdentifier});
  if (!removed) return std::unexpected(SkipsError(removed.error()));
  change.changed = true;
  TLOG_INFO(logger_, "A skip was resolved", skipMetadata(skip));
  return {};
}

SkipsResult<SkipsChange> SkipsService::removeSkipsIfPresent(
    Database& db, const std::vector<SyncItemIdentifier>& items) {
  SkipsChange change;
  for (const auto& identifier : items) {
    auto existing = skipsRepository_->find(db, identifier);
    if (!existing) return std::unexpected(SkipsError(existing.error()));
    if (!*existing) continue;
    if (auto resolved = resolve(db, **existing, change); !resolved) {
      return std::unexpected(resolved.error());
    }
  }
  return change;
}

SkipsResult<SkipsChange> SkipsService::removeSkipsIfPresent(
    const std::vector<SyncItemIdentifier>& items) {
  auto result = inTransaction<SkipsChange>(
      [&](Database& db) { return removeSkipsIfPresent(db, items); }, kUpdateFailed);
  if (result && result->changed) notifySkipsChanged();
  return result;
}

SkipsResult<bool> SkipsService::resolveSkip(const SyncItemIdentifier& itemIdentifier) {
  auto result = removeSkipsIfPresent({itemIdentifier});
  if (!result) return std::unexpected(result.error());
  return result->changed;
}

void SkipsService::itemWasDeleted(const std::string& itemIdentifierText) {
  auto identifier = SyncItemIdentifier::fromPrefixed(itemIdentifierText);
  if (!identifier) {
    TLOG_WARNING(logger_, kUpdateFailed,
                 {{"itemIdentifier", itemIdentifierText}, {"error", "not an item identifier"}});
    return;
  }
  (void)removeSkipsIfPresent({*identifier});
}

// MARK: Deletion conflicts

std::optional<SkippedItem> SkipsService::deletionConflictSkip(const SyncFolderIdentifier& parent,
                                                              const std::string& filename) {
  if (!featureList_.isEnabled(Feature::deletionConflictSkip)) return std::nullopt;
  auto all = skipsRepository_->findAll({SkippedItemRealm::online, SkippedItemRealm::offline});
  if (!all) {
    TLOG_ERROR(logger_, kDetectFailed,
               {{"filename", filename}, {"error", all.error().description()}});
    return std::nullopt;
  }
  for (auto& skip : *all) {
    if (skip.skipReason == SkipReason::deletionConflict && skip.parentItemIdentifier == parent &&
        skip.filename == filename) {
      return std::move(skip);
    }
  }
  return std::nullopt;
}

SkipsResult<SkippedItem> SkipsService::updateDeletionConflictSkip(
    const SkippedItem& skip, const SyncItemIdentifier& newItemIdentifier) {
  auto result = inTransaction<SkippedItem>(
      [&](Database& db) -> SkipsResult<SkippedItem> {
        auto removed = skipsRepository_->removeDeletionConflictSkip(db, skip.itemIdentifier);
        if (!removed) return std::unexpected(SkipsError(removed.error()));
        if (!*removed) return std::unexpected(SkipsError::noSuchSkip(skip.itemIdentifier));
        SkippedItem moved = skip;
        moved.itemIdentifier = newItemIdentifier;
        moved.directory = newItemIdentifier.isFolder();
        if (auto added = skipsRepository_->add(db, moved); !added) {
          return std::unexpected(SkipsError(added.error()));
        }
        auto metadata = skipMetadata(skip);
        metadata.set("new itemIdentifier", newItemIdentifier.description());
        TLOG_INFO(logger_, "A skip was updated", std::move(metadata));
        return moved;
      },
      kUpdateFailed);
  if (result) notifySkipsChanged();
  return result;
}

// MARK: Unwanted names from the cloud

SkipsResult<SkipsChange> SkipsService::reconcileUnwantedCloudItems(
    Database& db, const SyncFolderIdentifier& parent, SkippedItemRealm realm,
    const std::vector<UnwantedCloudItem>& unwanted) {
  SkipsChange change;
  if (!skipsEnabled()) return change;
  auto all = skipsRepository_->findAll(db, {realm});
  if (!all) return std::unexpected(SkipsError(all.error()));

  // The folder's current exclusion skips by name and type; what stays unmatched is resolved.
  std::map<std::pair<std::string, ItemType>, SkippedItem> stale;
  for (auto& skip : *all) {
    if (skip.skipReason == SkipReason::excluded && skip.parentItemIdentifier == parent) {
      stale.emplace(std::pair{skip.filename, skip.itemIdentifier.type()}, std::move(skip));
    }
  }
  std::set<std::pair<std::string, ItemType>> seen;
  for (const auto& entry : unwanted) {
    auto key = std::pair{entry.filename, entry.type};
    if (!seen.insert(key).second) continue;
    if (stale.erase(key) > 0) continue;
    SkipSubject subject{freshIdentifier(entry.type), realm, entry.filename, parent,
                        entry.creationDate};
    auto created = createSkip(db, subject, SkipReason::excluded, change);
    if (!created) return std::unexpected(created.error());
  }
  for (const auto& [key, skip] : stale) {
    if (auto resolved = resolve(db, skip, change); !resolved) {
      return std::unexpected(resolved.error());
    }
  }
  return change;
}

}  // namespace tarnix::common
