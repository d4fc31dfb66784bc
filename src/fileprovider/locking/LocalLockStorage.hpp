#pragma once
// The locks this machine holds on files of one drive (table LocalLocks of the drive
// database). A lock row goes with its item (foreign key, ON DELETE CASCADE).
//
// Threads: any thread; writes run on the database's writer queue. Failures are logged here
// ("Reading local locks failed", "Storing local lock failed", ...) and returned.

#include <optional>
#include <vector>

#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/ItemLocks.hpp"

namespace tarnix::fileprovider {

class LocalLockStorage {
 public:
  LocalLockStorage(std::shared_ptr<common::DatabaseQueue> dbQueue, base::Logger logger);
  virtual ~LocalLockStorage() = default;

  virtual common::DatabaseResult<std::vector<common::LocalLock>> locks() const;
  virtual common::DatabaseResult<std::optional<common::LocalLock>> lock(
      const common::SyncFileIdentifier& file) const;
  /// Adds or replaces the lock of its file.
  virtual common::DatabaseResult<void> store(const common::LocalLock& lock);
  virtual common::DatabaseResult<void> remove(const common::SyncFileIdentifier& file);

  /// The lock of the current row of "SELECT * FROM LocalLocks".
  static common::LocalLock lockFromRow(const common::Statement& row);

 private:
  std::shared_ptr<common::DatabaseQueue> dbQueue_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
