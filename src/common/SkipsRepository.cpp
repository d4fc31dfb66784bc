#include "common/SkipsRepository.hpp"

#include <functional>

namespace tarnix::common {

namespace {
constexpr const char* kReadAllFailed = "Reading skips from DB failed.";
constexpr const char* kReadOneFailed = "Reading skip from DB failed.";
constexpr const char* kAddFailed = "Adding skip to DB failed.";
constexpr const char* kRemoveFailed = "Removing skip from DB failed.";
constexpr const char* kMarkViewedFailed = "Marking skips as viewed in DB failed.";
constexpr const char* kMarkRetriedFailed = "Marking skips as retried in DB failed.";

// Column order of the table after every migration.
enum Column : int {
  kItemIdentifier,
  kRealm,
  kFilename,
  kSkipReason,
  kTimestamp,
  kDirectory,
  kRetried,
  kViewed,
  kParentItemIdentifier,
  kCreationDate,
  kBumpedFilename,
  kColumnCount
};

DatabaseError invalidRow(Database& db, const std::string& itemIdentifier, std::string what) {
  return DatabaseError{DatabaseError::Kind::invalidValue, 0,
                       "skip \"" + itemIdentifier + "\": " + std::move(what), db.path()};
}

DatabaseResult<std::optional<base::Date>> optionalDate(Database& db, const Statement& row,
                                                       int column, const std::string& identifier,
                                                       const char* name) {
  if (row.isNull(column)) return std::nullopt;
  auto date = base::parseISO8601(row.text(column));
  if (!date) {
    return std::unexpected(invalidRow(db, identifier, std::string("malformed ") + name));
  }
  return date;
}

DatabaseResult<SkippedItem> decodeRow(Database& db, const Statement& row) {
  const auto identifierText = row.text(kItemIdentifier);
  auto identifier = SyncItemIdentifier::fromPrefixed(identifierText);
  if (!identifier) return std::unexpected(invalidRow(db, identifierText, "malformed identifier"));
  SkippedItem item;
  item.itemIdentifier = std::move(*identifier);

  const auto realm = row.int64(kRealm);
  if (row.isNull(kRealm) || (realm != 0 && realm != 1)) {
    return std::unexpected(invalidRow(db, identifierText, "unknown realm"));
  }
  item.realm = static_cast<SkippedItemRealm>(realm);
  item.filename = row.text(kFilename);

  auto reason = skipReasonFromString(row.text(kSkipReason));
  if (!reason) {
    return std::unexpected(
        invalidRow(db, identifierText, "unknown skip reason \"" + row.text(kSkipReason) + "\""));
  }
  item.skipReason = *reason;

  auto timestamp = optionalDate(db, row, kTimestamp, identifierText, "timestamp");
  if (!timestamp) return std::unexpected(timestamp.error());
  if (!*timestamp) return std::unexpected(invalidRow(db, identifierText, "missing timestamp"));
  item.timestamp = **timestamp;

  item.directory = row.boolean(kDirectory);
  item.retried = row.boolean(kRetried);
  item.viewed = row.boolean(kViewed);

  if (auto parent = row.optionalText(kParentItemIdentifier)) {
    item.parentItemIdentifier = SyncFolderIdentifier::fromPrefixed(*parent);
    if (!item.parentItemIdentifier) {
      return std::unexpected(invalidRow(db, identifierText, "malformed parent identifier"));
    }
  }
  auto creationDate = optionalDate(db, row, kCreationDate, identifierText, "creation date");
  if (!creationDate) return std::unexpected(creationDate.error());
  item.creationDate = *creationDate;
  item.bumpedFilename = row.optionalText(kBumpedFilename);
  return item;
}

// A row this build cannot decode (written by a newer build, or damaged) is passed over with a
// warning and left in the table: the other skips stay readable, and adding a skip for the same
// item replaces it. A table whose columns this build does not know fails the read.
DatabaseResult<std::vector<SkippedItem>> readRows(Database& db, DatabaseResult<Statement>& query,
                                                  const base::Logger& logger) {
  if (!query) return std::unexpected(query.error());
  if (query->columnCount() < kColumnCount) {
    return std::unexpected(DatabaseError{DatabaseError::Kind::invalidValue, 0,
                                         "the Skips table has an unexpected layout", db.path()});
  }
  std::vector<SkippedItem> items;
  while (true) {
    auto hasRow = query->step();
    if (!hasRow) return std::unexpected(hasRow.error());
    if (!*hasRow) return items;
    auto item = decodeRow(db, *query);
    if (!item) {
      TLOG_WARNING(logger, "Passing over a skip this build cannot read",
                   {{"itemIdentifier", query->text(kItemIdentifier)},
                    {"error", item.error().description()}});
      continue;
    }
    items.push_back(std::move(*item));
  }
}

// Runs `sql` once per identifier, binding it first and `extra` (when given) second.
DatabaseResult<std::int64_t> runForEach(Database& db, const char* sql,
                                        const std::vector<SyncItemIdentifier>& identifiers) {
  std::int64_t changed = 0;
  for (const auto& identifier : identifiers) {
    auto statement = db.prepare(sql);
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, identifier.description());
    if (auto done = statement->run(); !done) return std::unexpected(done.error());
    changed += db.changes();
  }
  return changed;
}

// Several statements form one change: inside a transaction, so that a failure leaves none.
template <class T>
DatabaseResult<T> atomically(Database& db, const std::function<DatabaseResult<T>()>& body) {
  return db.transaction<T>(body);
}
}  // namespace

template <class T>
DatabaseResult<T> SkipsRepository::logged(DatabaseResult<T> result,
                                          const char* failureMessage) const {
  if (!result) TLOG_ERROR(logger_, failureMessage, {{"error", result.error().description()}});
  return result;
}

// MARK: Reads

DatabaseResult<std::vector<SkippedItem>> SkipsRepository::findAll(
    Database& db, const std::set<SkippedItemRealm>& realms) {
  if (realms.empty()) return std::vector<SkippedItem>{};
  auto query = db.prepare(realms.size() == 1 ? "SELECT * FROM Skips WHERE realm = ?"
                                             : "SELECT * FROM Skips WHERE realm IN (?, ?)");
  if (query) {
    int index = 1;
    for (auto realm : realms) query->bind(index++, static_cast<int>(realm));
  }
  return logged(readRows(db, query, logger_), kReadAllFailed);
}

DatabaseResult<std::vector<SkippedItem>> SkipsRepository::findAll(
    const std::set<SkippedItemRealm>& realms) {
  return dbQueue_->read<std::vector<SkippedItem>>(
      [&](Database& db) { return findAll(db, realms); });
}

DatabaseResult<std::optional<SkippedItem>> SkipsRepository::find(
    Database& db, const SyncItemIdentifier& itemIdentifier) {
  auto query = db.prepare("SELECT * FROM Skips WHERE itemIdentifier = ?");
  if (query) query->bind(1, itemIdentifier.description());
  auto rows = readRows(db, query, logger_);
  if (!rows)
    return logged<std::optional<SkippedItem>>(std::unexpected(rows.error()), kReadOneFailed);
  if (rows->empty()) return std::nullopt;
  return std::move(rows->front());
}

DatabaseResult<std::optional<SkippedItem>> SkipsRepository::find(
    const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->read<std::optional<SkippedItem>>(
      [&](Database& db) { return find(db, itemIdentifier); });
}

// MARK: Writes

DatabaseResult<void> SkipsRepository::add(Database& db, const SkippedItem& item) {
  auto insert = db.prepare("INSERT OR REPLACE INTO Skips VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  DatabaseResult<void> result;
  if (!insert) {
    result = std::unexpected(insert.error());
  } else {
    std::optional<std::string> parent;
    if (item.parentItemIdentifier) parent = item.parentItemIdentifier->description();
    insert->bind(1, item.itemIdentifier.description())
        .bind(2, static_cast<int>(item.realm))
        .bind(3, item.filename)
        .bind(4, description(item.skipReason))
        .bind(5, item.timestamp)
        .bind(6, item.directory)
        .bind(7, item.retried)
        .bind(8, item.viewed)
        .bind(9, parent)
        .bind(10, item.creationDate)
        .bind(11, item.bumpedFilename);
    result = insert->run();
  }
  return logged(std::move(result), kAddFailed);
}

DatabaseResult<void> SkipsRepository::add(const SkippedItem& item) {
  return dbQueue_->write<void>([&](Database& db) { return add(db, item); });
}

DatabaseResult<std::int64_t> SkipsRepository::remove(
    Database& db, const std::vector<SyncItemIdentifier>& itemIdentifiers) {
  return logged(atomically<std::int64_t>(db,
                                         [&] {
                                           return runForEach(
                                               db, "DELETE FROM Skips WHERE itemIdentifier = ?",
                                               itemIdentifiers);
                                         }),
                kRemoveFailed);
}

DatabaseResult<std::int64_t> SkipsRepository::remove(
    const std::vector<SyncItemIdentifier>& itemIdentifiers) {
  return dbQueue_->write<std::int64_t>([&](Database& db) { return remove(db, itemIdentifiers); });
}

DatabaseResult<bool> SkipsRepository::removeDeletionConflictSkip(
    Database& db, const SyncItemIdentifier& itemIdentifier) {
  auto statement = db.prepare("DELETE FROM Skips WHERE itemIdentifier = ? AND skipReason = ?");
  DatabaseResult<bool> result;
  if (!statement) {
    result = std::unexpected(statement.error());
  } else {
    statement->bind(1, itemIdentifier.description())
        .bind(2, description(SkipReason::deletionConflict));
    if (auto done = statement->run(); !done) {
      result = std::unexpected(done.error());
    } else {
      result = db.changes() > 0;
    }
  }
  return logged(std::move(result), kRemoveFailed);
}

DatabaseResult<bool> SkipsRepository::removeDeletionConflictSkip(
    const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->write<bool>(
      [&](Database& db) { return removeDeletionConflictSkip(db, itemIdentifier); });
}

DatabaseResult<void> SkipsRepository::markViewed(
    Database& db, const std::vector<SyncItemIdentifier>& skippedItemIdentifiers) {
  auto result = atomically<std::int64_t>(db, [&] {
    return runForEach(db, "UPDATE Skips SET viewed = 1 WHERE itemIdentifier = ?",
                      skippedItemIdentifiers);
  });
  if (!result) return logged<void>(std::unexpected(result.error()), kMarkViewedFailed);
  return {};
}

DatabaseResult<void> SkipsRepository::markViewed(
    const std::vector<SyncItemIdentifier>& skippedItemIdentifiers) {
  return dbQueue_->write<void>(
      [&](Database& db) { return markViewed(db, skippedItemIdentifiers); });
}

DatabaseResult<void> SkipsRepository::markRetried(Database& db, SkipReason excludedReason) {
  auto statement = db.prepare("UPDATE Skips SET retried = 1 WHERE skipReason != ?");
  DatabaseResult<void> result;
  if (!statement) {
    result = std::unexpected(statement.error());
  } else {
    statement->bind(1, description(excludedReason));
    result = statement->run();
  }
  return logged(std::move(result), kMarkRetriedFailed);
}

DatabaseResult<void> SkipsRepository::markRetried(SkipReason excludedReason) {
  return dbQueue_->write<void>([&](Database& db) { return markRetried(db, excludedReason); });
}

}  // namespace tarnix::common
