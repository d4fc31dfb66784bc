#include "common/ChunkUploadStorage.hpp"

#include <set>

namespace tarnix::common {

namespace {

constexpr std::string_view kSelectChunks =
    "SELECT itemIdentifier, uploadId, lastModifiedDate, chunkNumber, firstChunkUploadTime, "
    "chunkChecksum, chunkSize, fullFileContentChecksum "
    "FROM UploadChunk "
    "WHERE itemIdentifier = ? "
    "ORDER BY chunkNumber ASC";

UploadChunk chunkFromRow(const Statement& row) {
  UploadChunk chunk;
  chunk.itemIdentifier = row.text(0);
  chunk.uploadId = row.optionalText(1);
  chunk.lastModifiedDate = row.date(2);
  chunk.chunkNumber = row.int64(3);
  chunk.firstChunkUploadTime = row.date(4);
  chunk.chunkChecksum = row.text(5);
  chunk.chunkSize = row.int64(6);
  chunk.fullFileContentChecksum = row.text(7);
  return chunk;
}

}  // namespace

DatabaseResult<void> ChunkUploadStorage::saveUploadChunk(const UploadChunk& chunk) {
  return dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    auto statement = db.prepare(
        "INSERT OR REPLACE INTO UploadChunk (itemIdentifier, uploadId, lastModifiedDate, "
        "chunkNumber, firstChunkUploadTime, chunkChecksum, chunkSize, fullFileContentChecksum) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, chunk.itemIdentifier)
        .bind(2, chunk.uploadId)
        .bind(3, chunk.lastModifiedDate)
        .bind(4, chunk.chunkNumber)
        .bind(5, chunk.firstChunkUploadTime)
        .bind(6, chunk.chunkChecksum)
        .bind(7, chunk.chunkSize)
        .bind(8, chunk.fullFileContentChecksum);
    return statement->run();
  });
}

DatabaseResult<std::vector<UploadChunk>> ChunkUploadStorage::getAllChunks(
    const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->read<std::vector<UploadChunk>>(
      [&](Database& db) -> DatabaseResult<std::vector<UploadChunk>> {
        auto statement = db.prepare(kSelectChunks);
        if (!statement) return std::unexpected(statement.error());
        statement->bind(1, itemIdentifier.description());
        std::vector<UploadChunk> chunks;
        while (true) {
          auto row = statement->step();
          if (!row) return std::unexpected(row.error());
          if (!*row) break;
          chunks.push_back(chunkFromRow(*statement));
        }
        return chunks;
      });
}

DatabaseResult<std::vector<std::string>> ChunkUploadStorage::retrieveChecksumOfAllChunks(
    const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->read<std::vector<std::string>>(
      [&](Database& db) -> DatabaseResult<std::vector<std::string>> {
        auto statement = db.prepare(
            "SELECT chunkChecksum FROM UploadChunk WHERE itemIdentifier = ? "
            "ORDER BY chunkNumber ASC");
        if (!statement) return std::unexpected(statement.error());
        statement->bind(1, itemIdentifier.description());
        std::vector<std::string> checksums;
        while (true) {
          auto row = statement->step();
          if (!row) return std::unexpected(row.error());
          if (!*row) break;
          checksums.push_back(statement->text(0));
        }
        return checksums;
      });
}

DatabaseResult<void> ChunkUploadStorage::removeMissingChunks(
    const SyncItemIdentifier& itemIdentifier, const std::vector<std::int64_t>& missingChunks) {
  return dbQueue_->write<void>([&](Database& db) -> DatabaseResult<void> {
    for (auto number : missingChunks) {
      auto statement =
          db.prepare("DELETE FROM UploadChunk WHERE itemIdentifier = ? AND chunkNumber = ?");
      if (!statement) return std::unexpected(statement.error());
      statement->bind(1, itemIdentifier.description()).bind(2, number);
      if (auto ran = statement->run(); !ran) return std::unexpected(ran.error());
    }
    return {};
  });
}

DatabaseResult<bool> ChunkUploadStorage::removeAllChunks(const SyncItemIdentifier& itemIdentifier) {
  return dbQueue_->write<bool>([&](Database& db) -> DatabaseResult<bool> {
    auto statement = db.prepare("DELETE FROM UploadChunk WHERE itemIdentifier = ?");
    if (!statement) return std::unexpected(statement.error());
    statement->bind(1, itemIdentifier.description());
    if (auto ran = statement->run(); !ran) return std::unexpected(ran.error());
    return db.changes() > 0;
  });
}

DatabaseResult<std::int64_t> ChunkUploadStorage::removeRetiredChunks(
    base::Date now, std::chrono::seconds maximumAge) {
  return dbQueue_->write<std::int64_t>([&](Database& db) -> DatabaseResult<std::int64_t> {
    auto all = db.prepare("SELECT * FROM UploadChunk");
    if (!all) return std::unexpected(all.error());
    int itemColumn = -1, timeColumn = -1;
    for (int column = 0; column < all->columnCount(); ++column) {
      if (all->columnName(column) == "itemIdentifier") itemColumn = column;
      if (all->columnName(column) == "firstChunkUploadTime") timeColumn = column;
    }
    std::set<std::string> retired;
    while (true) {
      auto row = all->step();
      if (!row) return std::unexpected(row.error());
      if (!*row) break;
      auto started = all->date(timeColumn);
      if (started && now - *started >= maximumAge) retired.insert(all->text(itemColumn));
    }
    all->reset();
    std::int64_t removed = 0;
    for (const auto& item : retired) {
      auto statement = db.prepare("DELETE FROM UploadChunk WHERE itemIdentifier = ?");
      if (!statement) return std::unexpected(statement.error());
      statement->bind(1, item);
      if (auto ran = statement->run(); !ran) return std::unexpected(ran.error());
      removed += db.changes();
    }
    return removed;
  });
}

}  // namespace tarnix::common
