#include "fileprovider/upload/SyncCloudUploads.hpp"

#include <system_error>

#include "base/Hash.hpp"
#include "cloudfs/requests/UploadRequests.hpp"
#include "cloudfs/responses/MetadataResponses.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using common::SyncError;
using Code = SyncError::Code;

struct SyncCloudUploads::Job {
  common::SyncItem item;
  std::string cloudPath;
  CloudEntryUploadParams params;
  bool isNewFile = false;
  std::string checksum;
  std::int64_t size = 0;
  Completion<CloudEntryUploadOutput> completion;
};

namespace {

std::string lastComponent(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

SyncCloudUploads::SyncCloudUploads(std::shared_ptr<SyncCloudClient> cloudClient,
                                   std::shared_ptr<common::ChunkUploadStorage> chunkUploadStorage,
                                   std::shared_ptr<FailedUploadStorage> failedUploadStorage,
                                   std::shared_ptr<SyncUploadValidator> validator,
                                   UploadConfiguration configuration,
                                   std::shared_ptr<base::Clock> clock)
    : cloudClient_(std::move(cloudClient)),
      chunkUploadStorage_(std::move(chunkUploadStorage)),
      failedUploadStorage_(std::move(failedUploadStorage)),
      validator_(std::move(validator)),
      configuration_(std::move(configuration)),
      clock_(std::move(clock)),
      networkStats_(std::make_shared<UploadNetworkStatsCollector>()),
      fileUploader_(std::make_shared<FileUploader>(cloudClient_, networkStats_, clock_)) {
  if (chunkUploadStorage_) {
    chunkFileUploader_ = std::make_shared<ChunkFileUploader>(
        cloudClient_,
        std::make_shared<SyncChunkUploadCloudClient>(cloudClient_, networkStats_, clock_),
        chunkUploadStorage_, cloudClient_->drive().identifier, clock_);
  }
}

void SyncCloudUploads::uploadFirstEntry(const common::SyncItem& item, std::string cloudPath,
                                        CloudEntryUploadParams entryParams,
                                        Completion<CloudEntryUploadOutput> completionHandler) {
  start(std::make_shared<Job>(Job{item,
                                  std::move(cloudPath),
                                  std::move(entryParams),
                                  true,
                                  {},
                                  0,
                                  std::move(completionHandler)}));
}

void SyncCloudUploads::uploadNextEntry(const common::SyncItem& item, std::string cloudPath,
                                       CloudEntryUploadParams entryParams,
                                       Completion<CloudEntryUploadOutput> completionHandler) {
  start(std::make_shared<Job>(Job{item,
                                  std::move(cloudPath),
                                  std::move(entryParams),
                                  false,
                                  {},
                                  0,
                                  std::move(completionHandler)}));
}

void SyncCloudUploads::start(const std::shared_ptr<Job>& job) {
  const auto& logger = cloudClient_->logger();
  std::error_code ec;
  const auto size = std::filesystem::file_size(job->params.contentsURL, ec);
  if (ec) {
    logger.error("Upload snapshot cannot be read", {{"path", job->params.contentsURL.string()}});
    return fail(job, SyncError(Code::invalidFilePath), false);
  }
  job->size = static_cast<std::int64_t>(size);
  if (validator_) {
    if (auto reason = validator_->validate(job->item.filename, job->size)) {
      logger.warning("Upload rejected by validator",
                     {{"filename", job->item.filename},
                      {"reason", std::string(common::description(*reason))}});
      return fail(job, SyncError::uploadRejected(*reason), false);
    }
  }
  if (!job->isNewFile && !job->params.baseContentVersion) {
    // Without the version it replaces, the upload would silently overwrite whatever the cloud
    // holds now.
    logger.error("Upload of an existing item without its base version",
                 {{"itemID", job->item.itemIdentifier.description()}});
    return fail(job, SyncError::filenameCollision(job->item), false);
  }
  logger.debug("Making checksum ...", {{"path", job->params.contentsURL.string()}});
  auto checksum = base::fileDigestHex(job->params.contentsURL, base::HashAlgorithm::sha512);
  if (!checksum) {
    logger.error("Making checksum failed", {{"error", checksum.error()}});
    return fail(job, SyncError(Code::invalidFilePath), false);
  }
  job->checksum = *checksum;
  preUploadCheck(job, [self = shared_from_this(), job](PreUploadDecision decision) {
    switch (decision.kind) {
      case PreUploadDecision::Kind::noUploadNeeded:
        // The earlier attempt arrived: its chunk session (if any) is over.
        if (self->chunkUploadStorage_) {
          (void)self->chunkUploadStorage_->removeAllChunks(job->item.itemIdentifier);
        }
        if (self->failedUploadStorage_) {
          self->failedUploadStorage_->clearFailure(job->item, job->isNewFile);
        }
        return job->completion(std::move(*decision.output));
      case PreUploadDecision::Kind::filenameCollision:
        return self->fail(job, SyncError::filenameCollision(job->item), false);
      case PreUploadDecision::Kind::continueUpload:
        return self->send(job);
    }
  });
}

void SyncCloudUploads::preUploadCheck(const std::shared_ptr<Job>& job,
                                      std::function<void(PreUploadDecision)> then) {
  const auto& logger = cloudClient_->logger();
  if (!job->isNewFile && !job->item.cloudIdentifier) {
    logger.info("Existing item missing cloud identifier, proceeding with upload");
    return then({});
  }
  auto record = failedUploadStorage_ ? failedUploadStorage_->lastFailure(job->item, job->isNewFile)
                                     : std::nullopt;
  // A chunk session of this very content may have ended with a lost final answer, also when
  // no failure was recorded (the process ended first).
  bool sessionOfThisContent = false;
  if (chunkUploadStorage_) {
    auto stored = chunkUploadStorage_->getAllChunks(job->item.itemIdentifier);
    sessionOfThisContent =
        stored && !stored->empty() && stored->front().fullFileContentChecksum == job->checksum;
  }
  if (!record) {
    logger.info(job->isNewFile ? "No failed upload record for new file, proceeding with upload"
                               : "No previous failed upload attempt, proceeding with upload");
    // A new file still must not land on a file of the same name that the cloud already has.
    if (!job->isNewFile && !sessionOfThisContent) return then({});
  } else {
    logger.info("Previous failed upload attempt",
                {{"uploadingChecksum", job->checksum}, {"lastFailedChecksum", record->checksum}});
    if (record->checksum != job->checksum && !job->isNewFile && !sessionOfThisContent) {
      return then({});
    }
  }
  cloudfs::LatestFileMetadataByPathRequest request(job->cloudPath);
  cloudClient_->cfsSession()->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), job, then = std::move(then)](auto result) {
        const auto& logger = self->cloudClient_->logger();
        if (!result || (result->httpResponse.statusCode / 100 != 2 &&
                        result->httpResponse.statusCode != 404)) {
          logger.warning("FileMetadataByPath request failed");
          logger.warning("Preupload file check failed");
          return then({});
        }
        if (result->httpResponse.statusCode == 404) {
          logger.info("File not found in cloud at expected path, proceeding with upload");
          return then({});
        }
        auto metadata = cloudfs::FileMetadataResponse::decode(*result);
        if (!metadata) {
          logger.warning("Preupload file check failed",
                         {{"error", metadata.error().description()}});
          return then({});
        }
        logger.info("Latest metadata of file", {{"entryID", metadata->entryID}});
        if (metadata->checksum == job->checksum) {
          logger.info("Uploaded file - Checksum match",
                      {{"remoteContentChecksum", metadata->checksum},
                       {"localContentChecksum", job->checksum}});
          CloudEntryUploadOutput output;
          output.itemIdentifier = common::CloudGroupIdentifier{metadata->groupID};
          output.filename = lastComponent(metadata->path);
          output.contentVersion = common::CloudEntryIdentifier{metadata->entryID};
          output.contentChecksum = metadata->checksum;
          output.uploadDate = base::dateFromMillisecondsSince1970(metadata->uploaded);
          output.contentModificationDate = job->params.cfsModificationDate();
          output.author = metadata->uploadedBy;
          output.wasAlreadyUploaded = true;
          return then({PreUploadDecision::Kind::noUploadNeeded, std::move(output)});
        }
        logger.info("Uploaded file - Checksum mismatch",
                    {{"remoteContentChecksum", metadata->checksum},
                     {"localContentChecksum", job->checksum}});
        if (job->isNewFile) return then({PreUploadDecision::Kind::filenameCollision, {}});
        // The cloud's version is somebody else's: the upload keeps its own base, so that the
        // cloud keeps both versions instead of this one silently replacing theirs.
        logger.info("Keeping the original base version",
                    {{"baseVersion", job->params.baseContentVersion->rawValue},
                     {"cloudVersion", metadata->entryID}});
        then({});
      });
}

void SyncCloudUploads::send(const std::shared_ptr<Job>& job) {
  auto settings =
      configuration_.chunkSettings ? configuration_.chunkSettings() : ChunkUploadSettings{};
  auto done = [self = shared_from_this(), job](SyncCloudResult<CloudFSResponse> result) {
    self->finish(job, std::move(result));
  };
  if (configuration_.chunkedUpload && chunkFileUploader_ && settings.usesChunks(job->size)) {
    cloudClient_->logger().info("file size is larger than threshold, uploading file in chunks",
                                {{"fileName", job->item.filename}, {"fileSize", job->size}});
    ChunkedUploadRequest request;
    request.itemIdentifier = job->item.itemIdentifier;
    request.filename = job->item.filename;
    request.parentItemIdentifier = job->item.parentItemIdentifier;
    request.cloudPath = job->cloudPath;
    request.filePath = job->params.contentsURL;
    request.contentSize = job->size;
    request.lastModifiedDate = job->params.cfsModificationDate();
    request.baseVersion = job->params.baseContentVersion;
    request.fullFileContentChecksum = job->checksum;
    request.chunkSize = settings.chunkSize;
    auto parent = job->item.parentItemIdentifier;
    auto listAgain = configuration_.listFolderAgain;
    UploadProgressHandler progress = [all = configuration_.progress,
                                      own = job->params.progress](const UploadInfo& info) {
      if (all) all(info);
      if (own) own(info.completedUploadBytes);
    };
    chunkFileUploader_->uploadInChunks(
        std::move(request), std::move(progress),
        [listAgain, parent] {
          if (listAgain) listAgain(parent);
        },
        std::move(done));
    return;
  }
  fileUploader_->uploadFile(
      job->params.contentsURL, job->cloudPath, job->params, job->checksum,
      [self = shared_from_this(), job, done = std::move(done)](auto result) {
        if (!result)
          return done(std::unexpected(self->cloudClient_->adaptSessionError(result.error())));
        if (result->httpResponse.statusCode / 100 != 2) {
          return done(std::unexpected(self->cloudClient_->uploadFailedStatus(
              *result, "Upload", job->item.filename, job->item.parentItemIdentifier)));
        }
        if (self->configuration_.progress) {
          self->configuration_.progress(UploadInfo{
              job->size, job->cloudPath, self->cloudClient_->drive().identifier, job->size});
        }
        if (job->params.progress) job->params.progress(job->size);
        done(std::move(*result));
      });
}

void SyncCloudUploads::finish(const std::shared_ptr<Job>& job,
                              SyncCloudResult<CloudFSResponse> result) {
  if (!result) return fail(job, std::move(result.error()), true);
  auto decoded = cloudfs::UploadFileByPathResponse::decode(*result);
  if (!decoded) {
    cloudClient_->logger().error("Bad response for upload",
                                 {{"error", decoded.error().description()}});
    return fail(job, SyncError(Code::badServerResponse), true);
  }
  if (decoded->checksum && *decoded->checksum != job->checksum) {
    cloudClient_->logger().error(
        "Uploaded content checksum differs",
        {{"remoteContentChecksum", *decoded->checksum}, {"localContentChecksum", job->checksum}});
    if (configuration_.listFolderAgain)
      configuration_.listFolderAgain(job->item.parentItemIdentifier);
    return fail(job, SyncError::uploadRejected(common::UploadRejectionReason::checksumMismatch),
                true);
  }
  if (failedUploadStorage_) failedUploadStorage_->clearFailure(job->item, job->isNewFile);
  CloudEntryUploadOutput output;
  output.itemIdentifier = common::CloudGroupIdentifier{decoded->groupID};
  output.filename = lastComponent(decoded->conflictResolutionPath.value_or(decoded->path));
  output.contentVersion = common::CloudEntryIdentifier{decoded->entryID};
  output.contentChecksum = decoded->checksum.value_or(job->checksum);
  output.uploadDate = clock_->now();
  output.contentModificationDate = job->params.cfsModificationDate();
  output.didCreateConflict = decoded->conflictResolutionPath.has_value();
  job->completion(std::move(output));
}

void SyncCloudUploads::fail(const std::shared_ptr<Job>& job, SyncCloudError error, bool record) {
  if (record && !error.isCancellation() && failedUploadStorage_) {
    failedUploadStorage_->recordFailure(job->item, job->isNewFile, job->params.baseContentVersion,
                                        job->checksum);
  }
  job->completion(std::unexpected(std::move(error)));
}

}  // namespace tarnix::fileprovider
