#include "fileprovider/upload/FileUploader.hpp"

#include "cloudfs/requests/UploadRequests.hpp"

namespace tarnix::fileprovider {

FileUploader::FileUploader(std::shared_ptr<SyncCloudClient> cloudClient,
                           std::shared_ptr<UploadNetworkStatsCollector> networkStats,
                           std::shared_ptr<base::Clock> clock)
    : cloudClient_(std::move(cloudClient)),
      networkStats_(std::move(networkStats)),
      clock_(std::move(clock)) {}

cloudfs::CloudFSSessionTask FileUploader::uploadFile(
    const std::filesystem::path& filePath, const std::string& cloudPath,
    const CloudEntryUploadParams& entryParams, std::optional<std::string> sha512Checksum,
    cloudfs::CloudFSSession::Completion completionHandler) {
  cloudfs::UploadFileByPathRequest request;
  request.cloudPath = cloudPath;
  request.sha512Checksum = std::move(sha512Checksum);
  request.lastModified = entryParams.cfsModificationDate();
  if (entryParams.baseContentVersion) {
    request.previousEntryID = entryParams.baseContentVersion->rawValue;
  }
  request.lockToken = entryParams.lockToken;
  return cloudClient_->cfsSession()->upload(
      request, filePath, cloudfs::TarnixURLRequestOptions::none(), std::move(completionHandler));
}

}  // namespace tarnix::fileprovider
