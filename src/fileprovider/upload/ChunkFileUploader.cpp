#include "fileprovider/upload/ChunkFileUploader.hpp"

#include <fstream>

#include "base/Hash.hpp"
#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using common::SyncError;
using common::UploadChunk;
using Code = SyncError::Code;

struct ChunkFileUploader::Upload {
  ChunkedUploadRequest request;
  ChunkedFileState file;
  UploadProgressHandler progress;
  std::function<void()> committedWithMismatch;
  Completion completion;
  ChunkPlan plan;
};

namespace {

SyncCloudError storageFailure(std::string what) {
  return SyncCloudError(
      cloudfs::CloudFSSessionError(cloudfs::CloudFSError::internalError(std::move(what))));
}

std::string serverMessage(const CloudFSResponse& response) {
  auto json = base::parseJSON(response.body.value_or(""));
  if (!json || !json->is_object()) return {};
  for (const char* key : {"message", "errorMessage"}) {
    if (auto text = base::jsonString(*json, key)) return *text;
  }
  return {};
}

std::string joined(const std::vector<std::int64_t>& numbers) {
  std::string text;
  for (auto n : numbers) text += (text.empty() ? "" : ",") + std::to_string(n);
  return text;
}

}  // namespace

ChunkFileUploader::ChunkFileUploader(
    std::shared_ptr<SyncCloudClient> cloudClient,
    std::shared_ptr<SyncChunkUploadCloudClient> syncChunkUploadClient,
    std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage, std::string driveIdentifier,
    std::shared_ptr<base::Clock> clock)
    : cloudClient_(std::move(cloudClient)),
      syncChunkUploadClient_(std::move(syncChunkUploadClient)),
      chunkUploadStorage_(std::move(chunkUploadStorage)),
      driveIdentifier_(std::move(driveIdentifier)),
      clock_(std::move(clock)),
      logger_(cloudClient_->logger()),
      serialQueue_(base::DispatchQueue::make("com.tarnix.ChunkFileUploader")) {}

void ChunkFileUploader::uploadInChunks(ChunkedUploadRequest request, UploadProgressHandler progress,
                                       std::function<void()> committedWithMismatch,
                                       Completion completionHandler) {
  auto upload = std::make_shared<Upload>();
  upload->file.chunkSize = request.chunkSize;
  upload->file.totalChunks =
      ChunkUploadUtility::totalChunks(request.contentSize, request.chunkSize);
  upload->file.lastModifiedDate = request.lastModifiedDate;
  upload->file.fullFileContentChecksum = request.fullFileContentChecksum;
  upload->request = std::move(request);
  upload->progress = std::move(progress);
  upload->committedWithMismatch = std::move(committedWithMismatch);
  upload->completion = std::move(completionHandler);
  {
    base::MutexLock lock(mutex_);
    allUploads_.push_back(
        UploadInfo{upload->request.contentSize, upload->request.cloudPath, driveIdentifier_, 0});
  }
  serialQueue_->async([self = shared_from_this(), upload] { self->uploadChunk(upload); });
}

void ChunkFileUploader::uploadChunk(const std::shared_ptr<Upload>& upload) {
  const auto& request = upload->request;
  const auto itemID = request.itemIdentifier.description();
  auto stored = chunkUploadStorage_->getAllChunks(request.itemIdentifier);
  if (!stored) {
    logger_.error("Reading chunks from DB failed.",
                  {{"itemID", itemID}, {"error", stored.error().description()}});
    return complete(upload, std::unexpected(storageFailure("Reading chunks from DB failed.")));
  }
  upload->plan = ChunkUploadUtility::nextChunk(*stored, upload->file, clock_->now());
  const auto& plan = upload->plan;
  if (plan.restart) {
    base::LoggerMetadata metadata{{"itemID", itemID},
                                  {"reason", plan.reason},
                                  {"chunkRetired", plan.chunkRetired},
                                  {"fileWasModifiedBeforeUpload", plan.fileWasModifiedBeforeUpload},
                                  {"newChecksum", upload->file.fullFileContentChecksum}};
    if (!stored->empty()) {
      metadata.set("oldChecksum",
                   base::LoggerMetadataValue(stored->front().fullFileContentChecksum));
      if (stored->front().lastModifiedDate)
        metadata.set("oldDate", base::LoggerMetadataValue(
                                    base::formatISO8601(*stored->front().lastModifiedDate)));
    }
    if (upload->file.lastModifiedDate)
      metadata.set("newDate",
                   base::LoggerMetadataValue(base::formatISO8601(*upload->file.lastModifiedDate)));
    logger_.info("Removing chunks from DB. Resuming upload with first chunk.", metadata);
    if (auto removed = chunkUploadStorage_->removeAllChunks(request.itemIdentifier); !removed) {
      logger_.error("Error while removing all chunks",
                    {{"itemID", itemID}, {"error", removed.error().description()}});
      return complete(upload, std::unexpected(storageFailure("Error while removing all chunks")));
    }
  }
  const auto [offset, length] =
      ChunkUploadUtility::chunkRange(plan.chunkNumber, request.chunkSize, request.contentSize);
  auto bytes = prepareChunk(request.filePath, offset, length);
  if (!bytes) {
    return complete(upload, std::unexpected(SyncError(Code::invalidFilePath)));
  }
  UploadChunk chunk;
  chunk.chunkNumber = plan.chunkNumber;
  chunk.itemIdentifier = itemID;
  chunk.uploadId = plan.uploadId;
  chunk.lastModifiedDate = request.lastModifiedDate;
  chunk.firstChunkUploadTime = plan.firstChunkUploadTime;
  chunk.chunkChecksum = base::sha512Hex(*bytes);
  chunk.chunkSize = request.chunkSize;
  chunk.fullFileContentChecksum = request.fullFileContentChecksum;
  const bool isLast = plan.chunkNumber == upload->file.totalChunks;
  logger_.info("Uploading chunk: " + std::to_string(plan.chunkNumber),
               {{"itemID", itemID}, {"totalChunks", upload->file.totalChunks}});
  if (plan.chunkNumber == 1) chunk.firstChunkUploadTime = clock_->now();
  syncChunkUploadClient_->uploadChunk(
      chunk, request.cloudPath, isLast, request.contentSize,
      request.baseVersion ? std::optional(request.baseVersion->rawValue) : std::nullopt,
      std::move(*bytes), [self = shared_from_this(), upload, chunk](auto result) {
        self->serialQueue_->async([self, upload, chunk, result = std::move(result)]() mutable {
          self->handleResponse(upload, chunk, std::move(result));
        });
      });
}

std::expected<std::string, ChunkUploadError> ChunkFileUploader::prepareChunk(
    const std::filesystem::path& filePath, std::int64_t offset, std::int64_t length) const {
  std::ifstream in(filePath, std::ios::binary);
  if (!in) {
    logger_.error("Error while reading chunk", {{"path", filePath.string()}});
    return std::unexpected(ChunkUploadError::unableToReadChunk);
  }
  std::string bytes(static_cast<std::size_t>(length), '\0');
  in.seekg(offset);
  in.read(bytes.data(), length);
  if (in.gcount() != length) {
    logger_.error("Error while preparing chunk",
                  {{"path", filePath.string()}, {"offset", offset}, {"length", length}});
    return std::unexpected(ChunkUploadError::unableToPrepareChunk);
  }
  return bytes;
}

void ChunkFileUploader::handleResponse(
    const std::shared_ptr<Upload>& upload, const UploadChunk& sent,
    std::expected<CloudFSResponse, cloudfs::CloudFSSessionError> result) {
  const auto itemID = upload->request.itemIdentifier.description();
  if (!result) {
    if (!cloudfs::isCancellation(result.error())) {
      logger_.error("Error while uploading chunk",
                    {{"itemID", itemID}, {"error", cloudfs::describe(result.error())}});
    }
    return complete(upload, std::unexpected(cloudClient_->adaptSessionError(result.error())));
  }
  const auto& response = *result;
  if (response.httpResponse.statusCode / 100 != 2) return handleFailureStatus(upload, response);
  const auto serverChecksum =
      response.httpResponse.value(base::HTTPHeaderName::xTarnixChunkSha512Checksum);
  UploadChunk acknowledged = sent;
  if (sent.chunkNumber == 1) {
    acknowledged.uploadId = response.httpResponse.value(base::HTTPHeaderName::xTarnixUploadId);
  }
  if (!serverChecksum || !acknowledged.uploadId) {
    logger_.error("Bad response for chunk upload", {{"itemID", itemID}});
    return complete(upload, std::unexpected(SyncError(Code::badServerResponse)));
  }
  if (*serverChecksum != sent.chunkChecksum) {
    logger_.error("checksum validation failed for chunk",
                  {{"itemID", itemID}, {"chunkNumber", sent.chunkNumber}});
    cleanChunkUploadDetailsIfPresent(upload->request.itemIdentifier);
    return complete(upload, std::unexpected(SyncError::uploadRejected(
                                common::UploadRejectionReason::checksumMismatch)));
  }
  if (auto saved = chunkUploadStorage_->saveUploadChunk(acknowledged); !saved) {
    logger_.error("Error while saving chunk",
                  {{"itemID", itemID}, {"error", saved.error().description()}});
    return complete(upload, std::unexpected(storageFailure("Persisting chunk upload failed")));
  }
  const auto [offset, length] = ChunkUploadUtility::chunkRange(
      sent.chunkNumber, upload->request.chunkSize, upload->request.contentSize);
  sendProgressNotification(upload, offset + length);
  if (sent.chunkNumber < upload->file.totalChunks) return uploadChunk(upload);
  finishLastChunk(upload, response);
}

void ChunkFileUploader::handleFailureStatus(const std::shared_ptr<Upload>& upload,
                                            const CloudFSResponse& response) {
  const auto& request = upload->request;
  const auto itemID = request.itemIdentifier.description();
  const int status = response.httpResponse.statusCode;
  if (status == 400) {
    const auto message = serverMessage(response);
    if (ChunkUploadUtility::isChunkUploadInProgress(message)) {
      logger_.warning("chunk upload already in progress.", {{"itemID", itemID}});
      return complete(upload, std::unexpected(SyncError(Code::chunkUploadInProgress)));
    }
    if (auto missing = ChunkUploadUtility::missingChunks(message, upload->file.totalChunks)) {
      logger_.warning("chunks missed to upload",
                      {{"itemID", itemID}, {"missingChunks", joined(*missing)}});
      if (auto removed = chunkUploadStorage_->removeMissingChunks(request.itemIdentifier, *missing);
          !removed) {
        logger_.error("Error while removing missing chunks",
                      {{"itemID", itemID}, {"error", removed.error().description()}});
      }
      return complete(upload, std::unexpected(SyncError(Code::chunkUploadInProgress)));
    }
    if (ChunkUploadUtility::isUploadSessionUnknown(message)) {
      // The server ended the session (committed or expired): sending its next chunk again
      // would fail the same way until the rows grow old. The next attempt starts over.
      logger_.warning("Upload session unknown to the server", {{"itemID", itemID}});
      cleanChunkUploadDetailsIfPresent(request.itemIdentifier);
      return complete(upload, std::unexpected(SyncError(Code::chunkUploadInProgress)));
    }
  }
  auto error = cloudClient_->uploadFailedStatus(response, "Chunk upload", request.filename,
                                                request.parentItemIdentifier);
  if (error.code() == Code::uploadRejected) {
    logger_.warning("Upload rejected by server.", {{"itemID", itemID}});
  } else {
    logger_.error(
        "Bad status code for chunk upload",
        {{"statusCode", status},
         {"requestId",
          response.httpResponse.value(base::HTTPHeaderName::xTarnixRequestId).value_or("")}});
  }
  complete(upload, std::unexpected(std::move(error)));
}

void ChunkFileUploader::finishLastChunk(const std::shared_ptr<Upload>& upload,
                                        const CloudFSResponse& response) {
  const auto& request = upload->request;
  const auto itemID = request.itemIdentifier.description();
  auto checksums = chunkUploadStorage_->retrieveChecksumOfAllChunks(request.itemIdentifier);
  if (!checksums) {
    logger_.error("Error while reading checksum of all chunks",
                  {{"itemID", itemID}, {"error", checksums.error().description()}});
  }
  const auto finalChecksum =
      response.httpResponse.value(base::HTTPHeaderName::xSha512Checksum).value_or("");
  auto valid = checksums ? ChunkUploadUtility::validateFinalChecksum(
                               finalChecksum, upload->file.totalChunks, request.chunkSize,
                               request.contentSize, *checksums, request.fullFileContentChecksum)
                         : std::expected<void, std::string>(
                               std::unexpected("Reading checksum of all chunks failed"));
  cleanChunkUploadDetailsIfPresent(request.itemIdentifier);
  if (!valid) {
    // The server has committed the file already: what it holds now is not what was sent.
    logger_.error(valid.error(), {{"itemID", itemID}, {"finalChecksum", finalChecksum}});
    if (upload->committedWithMismatch) upload->committedWithMismatch();
    return complete(upload, std::unexpected(SyncError::uploadRejected(
                                common::UploadRejectionReason::checksumMismatch)));
  }
  logger_.info("Uploading chunk completed", {{"itemID", itemID}});
  complete(upload, response);
}

void ChunkFileUploader::complete(const std::shared_ptr<Upload>& upload,
                                 SyncCloudResult<CloudFSResponse> result) {
  {
    base::MutexLock lock(mutex_);
    std::erase_if(allUploads_, [&](const UploadInfo& info) {
      return info.filePath == upload->request.cloudPath;
    });
  }
  auto completion = std::move(upload->completion);
  if (completion) completion(std::move(result));
}

void ChunkFileUploader::cleanChunkUploadDetailsIfPresent(
    const common::SyncItemIdentifier& itemIdentifier) {
  if (auto removed = chunkUploadStorage_->removeAllChunks(itemIdentifier); !removed) {
    logger_.error(
        "Removing chunk upload details from persistent storage failed",
        {{"itemID", itemIdentifier.description()}, {"error", removed.error().description()}});
  }
}

void ChunkFileUploader::removeRetiredChunksIfAny() {
  auto removed = chunkUploadStorage_->removeRetiredChunks(clock_->now(), kChunkSessionLifetime);
  if (!removed) {
    logger_.error("Error while removing retired chunks",
                  {{"error", removed.error().description()}});
  }
}

void ChunkFileUploader::sendProgressNotification(const std::shared_ptr<Upload>& upload,
                                                 std::int64_t bytes) {
  UploadInfo info{upload->request.contentSize, upload->request.cloudPath, driveIdentifier_, bytes};
  {
    base::MutexLock lock(mutex_);
    for (auto& record : allUploads_) {
      if (record.filePath == info.filePath) record.completedUploadBytes = bytes;
    }
  }
  if (upload->progress) upload->progress(info);
}

std::vector<UploadInfo> ChunkFileUploader::allUploads() const {
  base::MutexLock lock(mutex_);
  return allUploads_;
}

}  // namespace tarnix::fileprovider
