#pragma once
// The files of one drive that local processes hold open, one row per file and process (table
// OpenFiles of the drive database), as the last open-file listing found them.
//
// Threads: any thread; writes run on the database's writer queue. Failures are logged here
// ("Reading opened files from DB failed.", "Adding opened files to DB failed.", ...).

#include <vector>

#include "base/Logger.hpp"
#include "common/DatabaseQueue.hpp"
#include "fileprovider/locking/LockingTypes.hpp"

namespace tarnix::fileprovider {

class OpenFilesStorage {
 public:
  OpenFilesStorage(std::shared_ptr<common::DatabaseQueue> dbQueue, base::Logger logger);

  common::DatabaseResult<std::vector<OpenFile>> openFiles() const;
  common::DatabaseResult<std::vector<OpenFile>> openFiles(
      const common::SyncFileIdentifier& file) const;
  common::DatabaseResult<void> add(const OpenFile& file);
  common::DatabaseResult<void> remove(const common::SyncFileIdentifier& file);
  /// Empties the table and adds `files`, in one transaction.
  common::DatabaseResult<void> replaceAll(const std::vector<OpenFile>& files);

 private:
  std::shared_ptr<common::DatabaseQueue> dbQueue_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
