#pragma once
// The acknowledged chunks of resumable uploads, one row per chunk in the drive's "UploadChunk"
// table. A row is written only after the server acknowledged its chunk; every path that ends an
// item's upload for good (its deletion among them) drops them.
//
// Thread-safe (the drive database's writer queue).

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "common/DatabaseQueue.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

/// One acknowledged chunk of an upload session. The chunk's bytes are never stored.
struct UploadChunk {
  /// 1-based position of the chunk in the file.
  std::int64_t chunkNumber = 0;
  /// Text form of the item's SyncItemIdentifier.
  std::string itemIdentifier;
  /// The server's session id, known from the answer to chunk 1.
  std::optional<std::string> uploadId;
  /// The file's modification date when the chunk was sent.
  std::optional<base::Date> lastModifiedDate;
  /// When chunk 1 of this session was sent.
  std::optional<base::Date> firstChunkUploadTime;
  /// Lower-case hex SHA-512 of the chunk's bytes.
  std::string chunkChecksum;
  /// The chunk size in force for the session, in bytes.
  std::int64_t chunkSize = 0;
  /// Lower-case hex SHA-512 of the whole file when the session began.
  std::string fullFileContentChecksum;

  bool operator==(const UploadChunk&) const = default;
};

class ChunkUploadStorage {
 public:
  explicit ChunkUploadStorage(std::shared_ptr<DatabaseQueue> dbQueue)
      : dbQueue_(std::move(dbQueue)) {}

  /// Stores the chunk, replacing a row of the same item and number.
  DatabaseResult<void> saveUploadChunk(const UploadChunk& chunkDetailsToSave);
  /// The item's chunks in ascending chunk number.
  DatabaseResult<std::vector<UploadChunk>> getAllChunks(const SyncItemIdentifier& itemIdentifier);
  /// The chunk checksums of the item (ascending chunk number).
  DatabaseResult<std::vector<std::string>> retrieveChecksumOfAllChunks(
      const SyncItemIdentifier& itemIdentifier);
  /// Deletes the given chunk rows of the item.
  DatabaseResult<void> removeMissingChunks(const SyncItemIdentifier& itemIdentifier,
                                           const std::vector<std::int64_t>& missingChunks);
  /// Deletes every chunk row of the item; true when there were some.
  DatabaseResult<bool> removeAllChunks(const SyncItemIdentifier& itemIdentifier);
  /// Deletes every session (all rows of its item) whose `firstChunkUploadTime` lies
  /// `maximumAge` or more before `now`; returns how many rows went.
  DatabaseResult<std::int64_t> removeRetiredChunks(base::Date now, std::chrono::seconds maximumAge);

 private:
  std::shared_ptr<DatabaseQueue> dbQueue_;
};

}  // namespace tarnix::common
