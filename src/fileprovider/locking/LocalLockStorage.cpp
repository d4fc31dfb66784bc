#include "fileprovider/locking/LocalLockStorage.hpp"

namespace tarnix::fileprovider {

using common::Database;
using common::DatabaseResult;
using common::LocalLock;

namespace {

template <class T>
DatabaseResult<T> logged(DatabaseResult<T> result, const base::Logger& logger, const char* what,
                         const std::string& item = {}) {
  if (!result) {
    base::LoggerMetadata metadata{{"error", result.error().description()}};
    if (!item.empty()) metadata.set("itemID", base::LoggerMetadataValue(item));
    logger.error(what, metadata);
  }
  return result;
}

}  // namespace

LocalLockStorage::LocalLockStorage(std::shared_ptr<common::DatabaseQueue> dbQueue,
                                   base::Logger logger)
    : dbQueue_(std::move(dbQueue)), logger_(std::move(logger)) {}

LocalLock LocalLockStorage::lockFromRow(const common::Statement& row) {
  LocalLock lock;
  const auto identifier = row.text(0);
  lock.fileIdentifier = common::SyncFileIdentifier::fromPrefixed(identifier)
                            .value_or(common::SyncFileIdentifier{identifier});
  auto token = row.text(1);
  if (!token.empty()) lock.token = std::move(token);
  lock.creationDate = row.date(2).value_or(base::Date{});
  lock.needsRelockBefore = row.date(3).value_or(lock.creationDate);
  lock.expirationDate = row.date(4).value_or(lock.creationDate);
  lock.source = common::LocalLockSource{row.int64(5)};
  lock.lockingApplications =
      common::splitApplications(row.optionalText(6).value_or(""), row.optionalText(7).value_or(""));
  return lock;
}

DatabaseResult<std::vector<LocalLock>> LocalLockStorage::locks() const {
  auto result = dbQueue_->read<std::vector<LocalLock>>(
      [](Database& db) -> DatabaseResult<std::vector<LocalLock>> {
        auto statement = db.prepare("SELECT * FROM LocalLocks");
        if (!statement) return std::unexpected(statement.error());
        std::vector<LocalLock> locks;
        while (true) {
          auto row = statement->step();
          if (!row) return std::unexpected(row.error());
          if (!*row) break;
          locks.push_back(lockFromRow(*statement));
        }
        return locks;
      });
  return logged(std::move(result), logger_, "Reading local locks failed");
}

DatabaseResult<std::optional<LocalLock>> LocalLockStorage::lock(
    const common::SyncFileIdentifier& file) const {
  auto result = dbQueue_->read<std::optional<LocalLock>>(
      [&](Database& db) -> DatabaseResult<std::optional<LocalLock>> {
        auto statement = db.prepare("SELECT * FROM LocalLocks WHERE itemIdentifier = ?");
        if (!statement) return std::unexpected(statement.error());
        statement->bind(1, file.description());
        auto row = statement->step();
        if (!row) return std::unexpected(row.error());
        if (!*row) return std::optional<LocalLock>{};
        return std::optional(lockFromRow(*statement));
      });
  return logged(std::move(result), logger_, "Reading local lock failed", file.description());
}

DatabaseResult<void> LocalLockStorage::store(const LocalLock& lock) {
  auto result = dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare("INSERT OR REPLACE INTO LocalLocks VALUES (?,?,?,?,?,?,?,?)");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, lock.fileIdentifier.description())
        .bind(2, lock.token.value_or(""))
        .bind(3, lock.creationDate)
        .bind(4, lock.needsRelockBefore)
        .bind(5, lock.expirationDate)
        .bind(6, lock.source.rawValue)
        .bind(7, common::joinedApplicationNames(lock.lockingApplications))
        .bind(8, common::joinedApplicationVersions(lock.lockingApplications));
    return statement->run();
  });
  return logged(std::move(result), logger_, "Storing local lock failed",
                lock.fileIdentifier.description());
}

DatabaseResult<void> LocalLockStorage::remove(const common::SyncFileIdentifier& file) {
  auto result = dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare("DELETE FROM LocalLocks WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, file.description());
    return statement->run();
  });
  return logged(std::move(result), logger_, "Removing local lock failed", file.description());
}

}  // namespace tarnix::fileprovider
