#pragma once
// Sends single chunks of chunked uploads ("/api/v1/fs-content-chunked") through the drive's
// cloud session, and keeps which file and chunk each running request belongs to.
//
// Threads: any thread may call; completions run on the session's callback queue.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/upload/UploadNetworkStatsCollector.hpp"

namespace tarnix::fileprovider {

/// What a running chunk request belongs to.
struct UploadChunkPathInfo {
  std::string filePath;
  std::int64_t chunkNumber = 0;
};

class SyncChunkUploadCloudClient : public std::enable_shared_from_this<SyncChunkUploadCloudClient> {
 public:
  SyncChunkUploadCloudClient(std::shared_ptr<SyncCloudClient> cloudClient,
                             std::shared_ptr<UploadNetworkStatsCollector> networkStats,
                             std::shared_ptr<base::Clock> clock = base::Clock::system());

  /// Sends `chunkData` as chunk `chunkToUpload.chunkNumber` of the file at `cloudPath`, with the
  /// chunk's checksum and the session's upload id (from chunk 2 on).
  cloudfs::CloudFSSessionTask uploadChunk(const common::UploadChunk& chunkToUpload,
                                          const std::string& cloudPath, bool isLastChunk,
                                          std::int64_t originalFileSize,
                                          std::optional<std::string> previousEntryID,
                                          std::string chunkData,
                                          cloudfs::CloudFSSession::Completion completionHandler);
  /// The chunk requests under way.
  std::map<std::uint64_t, UploadChunkPathInfo> uploadDetails() const;

 private:
  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<UploadNetworkStatsCollector> networkStats_;
  std::shared_ptr<base::Clock> clock_;
  mutable base::Mutex mutex_;
  std::map<std::uint64_t, UploadChunkPathInfo> uploadDetails_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::fileprovider
