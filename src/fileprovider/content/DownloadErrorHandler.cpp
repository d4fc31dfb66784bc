#include "fileprovider/content/DownloadErrorHandler.hpp"

namespace tarnix::fileprovider {

namespace {
SyncCloudError transportError(cloudfs::URLError::Code code, std::string message) {
  return SyncCloudError(
      cloudfs::CloudFSSessionError(cloudfs::URLError{code, std::move(message), std::nullopt}));
}
}  // namespace

SyncCloudError downloadCancelled() {
  return transportError(cloudfs::URLError::Code::cancelled, "cancelled");
}

SyncCloudError downloadNotKept() {
  return transportError(cloudfs::URLError::Code::cannotWriteToFile,
                        "cannot move the downloaded file");
}

bool isServerBreakOff(const cloudfs::CloudFSSessionError& error, bool serverAnswered) {
  const auto* urlError = std::get_if<cloudfs::URLError>(&error);
  if (!urlError) return false;
  using Code = cloudfs::URLError::Code;
  return urlError->code == Code::networkConnectionLost ||
         (urlError->code == Code::timedOut && serverAnswered);
}

SyncCloudError DownloadErrorHandler::endingTransportFailure(
    const cloudfs::CloudFSSessionError& error, bool serverAnswered, const base::Logger& logger,
    base::LoggerMetadata metadata) const {
  if (isServerBreakOff(error, serverAnswered)) {
    metadata.set("error", cloudfs::describe(error));
    logger.error("Download broke off", std::move(metadata));
    return SyncCloudError(error);
  }
  if (forTransport) return forTransport(error);
  return SyncCloudError(error);
}

}  // namespace tarnix::fileprovider
