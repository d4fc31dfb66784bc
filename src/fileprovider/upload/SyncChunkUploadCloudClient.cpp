#include "fileprovider/upload/SyncChunkUploadCloudClient.hpp"

#include "cloudfs/requests/UploadRequests.hpp"

namespace tarnix::fileprovider {

SyncChunkUploadCloudClient::SyncChunkUploadCloudClient(
    std::shared_ptr<SyncCloudClient> cloudClient,
    std::shared_ptr<UploadNetworkStatsCollector> networkStats, std::shared_ptr<base::Clock> clock)
    : cloudClient_(std::move(cloudClient)),
      networkStats_(std::move(networkStats)),
      clock_(std::move(clock)) {}

cloudfs::CloudFSSessionTask SyncChunkUploadCloudClient::uploadChunk(
    const common::UploadChunk& chunkToUpload, const std::string& cloudPath, bool isLastChunk,
    std::int64_t originalFileSize, std::optional<std::string> previousEntryID,
    std::string chunkData, cloudfs::CloudFSSession::Completion completionHandler) {
  cloudfs::ChunkUploadByPathRequest request;
  request.cloudPath = cloudPath;
  request.uploadID = chunkToUpload.uploadId;
  request.isLastChunk = isLastChunk;
  request.previousEntryID = std::move(previousEntryID);
  request.lastModified = chunkToUpload.lastModifiedDate;
  request.chunkNumber = chunkToUpload.chunkNumber;
  request.chunkChecksum = chunkToUpload.chunkChecksum;
  request.originalFileSize = originalFileSize;
  const auto bytes = static_cast<std::int64_t>(chunkData.size());
  // The completion may run before `upload` returns the task: whichever of the two comes second
  // does the bookkeeping of the other (under mutex_).
  struct Handshake {
    std::optional<std::uint64_t> taskIdentifier;
    bool completed = false;
  };
  auto handshake = std::make_shared<Handshake>();
  auto weak = weak_from_this();
  auto task = cloudClient_->cfsSession()->upload(
      request, std::move(chunkData), cloudfs::TarnixURLRequestOptions::none(),
      [weak, handshake, bytes, completionHandler = std::move(completionHandler)](auto result) {
        if (auto self = weak.lock()) {
          std::optional<std::uint64_t> identifier;
          {
            base::MutexLock lock(self->mutex_);
            handshake->completed = true;
            identifier = handshake->taskIdentifier;
            if (identifier) self->uploadDetails_.erase(*identifier);
          }
          if (identifier && self->networkStats_) {
            self->networkStats_->didSendBodyData(*identifier, self->clock_->now(), bytes);
            self->networkStats_->finish(*identifier, self->clock_->now());
          }
        }
        completionHandler(std::move(result));
      });
  if (task.urlSessionTask) {
    const auto identifier = task.urlSessionTask->taskIdentifier();
    base::MutexLock lock(mutex_);
    if (!handshake->completed) {
      handshake->taskIdentifier = identifier;
      uploadDetails_[identifier] = {cloudPath, chunkToUpload.chunkNumber};
      if (networkStats_) {
        networkStats_->start(identifier, cloudPath, clock_->now());
        task.urlSessionTask->setProgressHandler(
            [stats = networkStats_, clock = clock_, identifier](const auto& progress) {
              stats->didSendBodyData(identifier, clock->now(), progress.bytesSent);
            });
      }
    }
  }
  return task;
}

std::map<std::uint64_t, UploadChunkPathInfo> SyncChunkUploadCloudClient::uploadDetails() const {
  base::MutexLock lock(mutex_);
  return uploadDetails_;
}

}  // namespace tarnix::fileprovider
