#pragma once
// The arithmetic and the decisions of chunked uploads, as functions of plain values: how a file
// splits into chunks, which chunk a session sends next (and when it must start over), what the
// server's "Chunks missing:" and final checksum say.
//
// No state; every function may be called from any thread.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"
#include "common/ChunkUploadStorage.hpp"

namespace tarnix::fileprovider {

/// The default of both "RecommendedChunkUploadFileSize" and "RecommendedChunkSize".
inline constexpr std::int64_t kDefaultChunkSize = 52428800;
/// Chunk sizes from the configuration are kept within these bounds.
inline constexpr std::int64_t kMinimumChunkSize = 1 << 20;
inline constexpr std::int64_t kMaximumChunkSize = std::int64_t{1} << 30;
/// A chunk session this old (from its first chunk) starts over.
inline constexpr std::chrono::seconds kChunkSessionLifetime{86400};

/// When a file goes up in chunks and how large they are, from the cloud configuration's values:
/// a value of 0 or below takes the default; the chunk size is kept within
/// [kMinimumChunkSize, kMaximumChunkSize] and the threshold at or above kMinimumChunkSize.
struct ChunkUploadSettings {
  std::int64_t thresholdBytes = kDefaultChunkSize;
  std::int64_t chunkSize = kDefaultChunkSize;

  static ChunkUploadSettings clamped(std::int64_t recommendedChunkUploadFileSize,
                                     std::int64_t recommendedChunkSize);
  /// Strictly larger than the threshold.
  bool usesChunks(std::int64_t contentSize) const { return contentSize > thresholdBytes; }
};

/// What the next request of a chunk session sends.
struct ChunkPlan {
  std::int64_t chunkNumber = 1;
  /// The session's id (none for chunk 1).
  std::optional<std::string> uploadId;
  std::optional<base::Date> firstChunkUploadTime;
  /// The stored chunks must go before the chunk is sent.
  bool restart = false;
  /// Why the session starts over: "chunk is retired", "file is modified before upload
  /// finished", "chunk 1 missed to upload" or "chunk size changed".
  std::string reason;
  bool chunkRetired = false;
  bool fileWasModifiedBeforeUpload = false;
};

/// What the session knows of the file now.
struct ChunkedFileState {
  std::int64_t chunkSize = kDefaultChunkSize;
  std::int64_t totalChunks = 1;
  std::optional<base::Date> lastModifiedDate;
  /// SHA-512 of the whole file, as it will be sent.
  std::string fullFileContentChecksum;
};

namespace ChunkUploadUtility {

/// `contentSize` / `chunkSize` rounded up; at least 1 (an empty file is one empty chunk).
std::int64_t totalChunks(std::int64_t contentSize, std::int64_t chunkSize);
/// The byte offset and length of chunk `chunkNumber` (1-based).
std::pair<std::int64_t, std::int64_t> chunkRange(std::int64_t chunkNumber, std::int64_t chunkSize,
                                                 std::int64_t contentSize);
/// Picks the next chunk from the stored ones (ascending chunk number). The session starts over
/// when the chunk size changed, chunk 1 is missing, the session is 24 hours old, the file's
/// modification date (to the second) or its whole-file checksum differs from the stored one
/// (the checksum is compared every time: a file changed within the same second must not mix
/// old and new chunks), or the stored chunks do not fit the file.
ChunkPlan nextChunk(const std::vector<common::UploadChunk>& stored, const ChunkedFileState& file,
                    base::Date now);
/// The chunk numbers of a "Chunks missing:" message, only those in 1..totalChunks (the rest is
/// ignored); none when the message is not one.
std::optional<std::vector<std::int64_t>> missingChunks(std::string_view message,
                                                       std::int64_t totalChunks);
/// A message saying that another chunk upload of the file is under way.
bool isChunkUploadInProgress(std::string_view message);
/// A message saying that the server no longer knows the session of an upload id.
bool isUploadSessionUnknown(std::string_view message);
/// SHA-512 (lower-case hex) of the chunk checksums joined without separator.
std::string checksumOfChunkChecksums(const std::vector<std::string>& chunkChecksums);
/// Checks the final "X-Sha512-Checksum" ("<file>-<chunks>-<chunk size>-<checksum of chunk
/// checksums>", empty pieces dropped). All four pieces are checked, the first against the local
/// SHA-512 of the whole file. A single-chunk upload may report its one chunk's size. The error
/// is the log message.
std::expected<void, std::string> validateFinalChecksum(
    std::string_view header, std::int64_t totalChunks, std::int64_t chunkSize,
    std::int64_t contentSize, const std::vector<std::string>& chunkChecksums,
    std::string_view fullFileChecksum);

}  // namespace ChunkUploadUtility

}  // namespace tarnix::fileprovider
