#pragma once
// The skips of one drive: the `Skips` table of its item database.
//
// Every operation exists twice: on the repository's database queue (reads on a reader
// connection, writes in their own transaction on the writer queue; any thread but the writer
// queue may call them, and they run at once when called there), and on a given connection, for
// callers that already hold a transaction on the writer queue (a listing writing its patch).
//
// Reads pass over a stored row that has a form this build does not accept (an identifier without
// prefix, an unknown reason or realm, a date that does not parse) with a warning naming it; the
// row stays in the table, and `add` for the same item replaces it.
//
// Errors: a DatabaseError (`invalidValue` when the table's columns are not those of this build).
// Every failure is logged with the operation's text before it is returned.
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/SkippedItem.hpp"

namespace tarnix::common {

class SkipsRepository {
 public:
  SkipsRepository(std::shared_ptr<DatabaseQueue> dbQueue, base::Logger logger)
      : dbQueue_(std::move(dbQueue)), logger_(std::move(logger)) {}

  const std::shared_ptr<DatabaseQueue>& dbQueue() const { return dbQueue_; }

  /// The skips of the given realms, in table order; none for an empty set.
  DatabaseResult<std::vector<SkippedItem>> findAll(const std::set<SkippedItemRealm>& realms);
  DatabaseResult<std::vector<SkippedItem>> findAll(Database& db,
                                                   const std::set<SkippedItemRealm>& realms);

  DatabaseResult<std::optional<SkippedItem>> find(const SyncItemIdentifier& itemIdentifier);
  DatabaseResult<std::optional<SkippedItem>> find(Database& db,
                                                  const SyncItemIdentifier& itemIdentifier);

  /// Inserts the skip or replaces the one of the same item.
  DatabaseResult<void> add(const SkippedItem& item);
  DatabaseResult<void> add(Database& db, const SkippedItem& item);

  /// Returns how many rows went.
  DatabaseResult<std::int64_t> remove(const std::vector<SyncItemIdentifier>& itemIdentifiers);
  DatabaseResult<std::int64_t> remove(Database& db,
                                      const std::vector<SyncItemIdentifier>& itemIdentifiers);

  /// Removes the item's skip only when its reason is `deletionConflict`; true when it did.
  DatabaseResult<bool> removeDeletionConflictSkip(const SyncItemIdentifier& itemIdentifier);
  DatabaseResult<bool> removeDeletionConflictSkip(Database& db,
                                                  const SyncItemIdentifier& itemIdentifier);

  DatabaseResult<void> markViewed(const std::vector<SyncItemIdentifier>& skippedItemIdentifiers);
  DatabaseResult<void> markViewed(Database& db,
                                  const std::vector<SyncItemIdentifier>& skippedItemIdentifiers);

  /// Marks every skip retried except those of `excludedReason`.
  DatabaseResult<void> markRetried(SkipReason excludedReason);
  DatabaseResult<void> markRetried(Database& db, SkipReason excludedReason);

 private:
  template <class T>
  DatabaseResult<T> logged(DatabaseResult<T> result, const char* failureMessage) const;

  std::shared_ptr<DatabaseQueue> dbQueue_;
  base::Logger logger_;
};

}  // namespace tarnix::common
