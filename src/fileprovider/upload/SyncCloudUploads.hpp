#pragma once
// The uploads of a drive, over the drive's cloud client: checks the file against the upload
// rules, finds out whether an earlier failed attempt reached the cloud after all, and sends the
// content in one request (FileUploader) or, above the configured threshold, in resumable
// chunks (ChunkFileUploader). This is what the cloud client's `uploadFirstEntry` (a new file)
// and `uploadNextEntry` (a new version) run.
//
// The content is always read from the snapshot in `CloudEntryUploadParams::contentsURL`, which
// the caller keeps unchanged until the completion has run.
//
// Threads: any thread may call. The completion runs exactly once, on the session's callback
// queue or the chunk uploader's queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "common/ChunkUploadStorage.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "fileprovider/upload/ChunkFileUploader.hpp"
#include "fileprovider/upload/ChunkUploadUtility.hpp"
#include "fileprovider/upload/FailedUploadStorage.hpp"
#include "fileprovider/upload/FileUploader.hpp"
#include "fileprovider/upload/SyncUploadValidator.hpp"

namespace tarnix::fileprovider {

struct UploadConfiguration {
  /// The "chunkedUpload" feature.
  bool chunkedUpload = true;
  /// The cloud configuration's "RecommendedChunkUploadFileSize" and "RecommendedChunkSize",
  /// read for each upload (clamped); none: the defaults.
  std::function<ChunkUploadSettings()> chunkSettings;
  UploadProgressHandler progress;
  /// Asks for the folder to be listed again: the cloud holds content for one of its files that
  /// is not what this client sent.
  std::function<void(const common::SyncFolderIdentifier&)> listFolderAgain;
};

/// What the check before an upload decided.
struct PreUploadDecision {
  enum class Kind { continueUpload, noUploadNeeded, filenameCollision };
  Kind kind = Kind::continueUpload;
  /// For noUploadNeeded: the cloud's version.
  std::optional<CloudEntryUploadOutput> output;
};

class SyncCloudUploads : public std::enable_shared_from_this<SyncCloudUploads> {
 public:
  template <class T>
  using Completion = std::function<void(SyncCloudResult<T>)>;

  /// `validator` may be null (no local checks).
  SyncCloudUploads(std::shared_ptr<SyncCloudClient> cloudClient,
                   std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage,
                   std::shared_ptr<FailedUploadStorage> failedUploadStorage,
                   std::shared_ptr<SyncUploadValidator> validator,
                   UploadConfiguration configuration,
                   std::shared_ptr<base::Clock> clock = base::Clock::system());

  /// A new file `item` (its name and parent) at `cloudPath`. When the cloud already has a file
  /// of that name, it fails with filenameCollision, unless that file holds this very content
  /// (then nothing is sent and the cloud's version is the result).
  void uploadFirstEntry(const common::SyncItem& item, std::string cloudPath,
                        CloudEntryUploadParams entryParams,
                        Completion<CloudEntryUploadOutput> completionHandler);
  /// A new version of `item`, based on `entryParams.baseContentVersion` (without one it fails
  /// with filenameCollision). When another version replaced the base in the meantime, the cloud
  /// keeps the upload as a conflict copy (`didCreateConflict`).
  void uploadNextEntry(const common::SyncItem& item, std::string cloudPath,
                       CloudEntryUploadParams entryParams,
                       Completion<CloudEntryUploadOutput> completionHandler);

  const std::shared_ptr<ChunkFileUploader>& chunkFileUploader() const { return chunkFileUploader_; }

 private:
  struct Job;
  void start(const std::shared_ptr<Job>& job);
  void preUploadCheck(const std::shared_ptr<Job>& job, std::function<void(PreUploadDecision)> then);
  void send(const std::shared_ptr<Job>& job);
  void finish(const std::shared_ptr<Job>& job, SyncCloudResult<cloudfs::CloudFSResponse> result);
  void fail(const std::shared_ptr<Job>& job, SyncCloudError error, bool record);

  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage_;
  std::shared_ptr<FailedUploadStorage> failedUploadStorage_;
  std::shared_ptr<SyncUploadValidator> validator_;
  UploadConfiguration configuration_;
  std::shared_ptr<base::Clock> clock_;
  std::shared_ptr<UploadNetworkStatsCollector> networkStats_;
  std::shared_ptr<FileUploader> fileUploader_;
  std::shared_ptr<ChunkFileUploader> chunkFileUploader_;
};

}  // namespace tarnix::fileprovider
