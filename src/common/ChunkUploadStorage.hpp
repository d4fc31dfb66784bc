#pragma once
// The acknowledged chunks of resumable uploads, one row per chunk in the drive's "UploadChunk"
// table. The upload path writes them; every path that ends an item's upload for good (its
// deletion among them) drops them.
//
// Thread-safe (the drive database's writer queue).

#include <memory>

#include "common/DatabaseQueue.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

class ChunkUploadStorage {
 public:
  explicit ChunkUploadStorage(std::shared_ptr<DatabaseQueue> dbQueue)
      : dbQueue_(std::move(dbQueue)) {}

  /// Deletes every chunk row of the item; true when there were some.
  DatabaseResult<bool> removeChunks(const SyncItemIdentifier& itemIdentifier);

 private:
  std::shared_ptr<DatabaseQueue> dbQueue_;
};

}  // namespace tarnix::common
