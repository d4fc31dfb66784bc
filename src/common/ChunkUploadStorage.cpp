#include "common/ChunkUploadStorage.hpp"

namespace tarnix::common {

DatabaseResult<bool> ChunkUploadStorage::removeChunks(const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->write<bool>([&](Database& db) -> DatabaseResult<bool> {
    auto statement = db.prepare("DELETE FROM UploadChunk WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, itemIdentifier.description());
    if (auto ran = statement->run(); !ran) return std::unexpected(ran.error());
    return db.changes() > 0;
  });
}

}  // namespace tarnix::common
