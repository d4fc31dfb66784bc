#pragma once
// Resumable chunked uploads. Chunks of one file go strictly one after another; every chunk the
// server acknowledges is recorded (ChunkUploadStorage), so that a later attempt (also after a
// restart) sends only what the server does not have yet. Only one chunk's bytes are held in
// memory at a time.
//
// Threads: any thread may call. The bookkeeping runs on the serial queue
// "com.tarnix.ChunkFileUploader", where completions and progress handlers are called.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/Mutex.hpp"
#include "cloudfs/CloudFSResponse.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/upload/ChunkUploadUtility.hpp"
#include "fileprovider/upload/SyncChunkUploadCloudClient.hpp"

namespace tarnix::fileprovider {

/// One file to upload in chunks.
struct ChunkedUploadRequest {
  common::SyncItemIdentifier itemIdentifier = common::SyncFolderIdentifier::zero();
  std::string filename;
  std::optional<common::SyncFolderIdentifier> parentItemIdentifier;
  /// Absolute cloud path of the file.
  std::string cloudPath;
  /// The snapshot whose bytes are sent.
  std::filesystem::path filePath;
  std::int64_t contentSize = 0;
  std::optional<base::Date> lastModifiedDate;
  std::optional<common::CloudEntryIdentifier> baseVersion;
  /// SHA-512 of the snapshot.
  std::string fullFileContentChecksum;
  std::int64_t chunkSize = kDefaultChunkSize;
};

class ChunkFileUploader : public std::enable_shared_from_this<ChunkFileUploader> {
 public:
  using Completion = std::function<void(SyncCloudResult<cloudfs::CloudFSResponse>)>;

  ChunkFileUploader(std::shared_ptr<SyncCloudClient> cloudClient,
                    std::shared_ptr<SyncChunkUploadCloudClient> syncChunkUploadClient,
                    std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage,
                    std::string driveIdentifier,
                    std::shared_ptr<base::Clock> clock = base::Clock::system());

  /// Sends the chunks the server does not have yet and completes with the answer to the last
  /// one. `progress` hears the bytes of all acknowledged chunks after each chunk.
  /// `committedWithMismatch` is called when the server committed the file but its final
  /// checksum does not match what was sent (the cloud's content must be looked at again); the
  /// upload then fails with uploadRejected(checksumMismatch).
  void uploadInChunks(ChunkedUploadRequest request, UploadProgressHandler progress,
                      std::function<void()> committedWithMismatch, Completion completionHandler);
  /// Drops the sessions begun 24 hours ago or earlier; run once when the provider starts.
  void removeRetiredChunksIfAny();
  /// The progress records of the uploads under way.
  std::vector<UploadInfo> allUploads() const;

 private:
  struct Upload;
  void uploadChunk(const std::shared_ptr<Upload>& upload);
  void handleResponse(const std::shared_ptr<Upload>& upload, const common::UploadChunk& chunk,
                      std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result);
  void handleFailureStatus(const std::shared_ptr<Upload>& upload,
                           const cloudfs::CloudFSResponse& response);
  void finishLastChunk(const std::shared_ptr<Upload>& upload,
                       const cloudfs::CloudFSResponse& response);
  void complete(const std::shared_ptr<Upload>& upload,
                SyncCloudResult<cloudfs::CloudFSResponse> result);
  void cleanChunkUploadDetailsIfPresent(const common::SyncItemIdentifier& itemIdentifier);
  std::expected<std::string, ChunkUploadError> prepareChunk(const std::filesystem::path& filePath,
                                                            std::int64_t offset,
                                                            std::int64_t length) const;
  void sendProgressNotification(const std::shared_ptr<Upload>& upload, std::int64_t bytes);

  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<SyncChunkUploadCloudClient> syncChunkUploadClient_;
  std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage_;
  std::string driveIdentifier_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> serialQueue_;
  mutable base::Mutex mutex_;
  std::vector<UploadInfo> allUploads_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::fileprovider
