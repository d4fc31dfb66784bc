#include "fileprovider/thumbnails/SyncCloudThumbnails.hpp"

#include "cloudfs/requests/ThumbnailRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using common::SyncItem;
using Code = common::SyncError::Code;

namespace {

constexpr const char* kSourceTooBig = "Source file is too big to generate a thumbnail";

/// Whether a refusal says the source is too large for the server to render.
bool isSourceTooBig(const CloudFSResponse& response) {
  if (response.httpResponse.statusCode == 413) return true;
  const auto error = cloudfs::CloudFSErrorResponse::parse(response);
  return error.message == kSourceTooBig || error.errorMessage == kSourceTooBig;
}

}  // namespace

std::shared_ptr<ThumbnailCloudClient> makeThumbnailCloudClient(
    std::shared_ptr<SyncCloudClient> client) {
  return std::make_shared<SyncCloudThumbnails>(std::move(client));
}

cloudfs::CloudFSSessionTask SyncCloudThumbnails::downloadThumbnail(
    const SyncItem& file, std::int64_t width, std::int64_t height,
    SyncCloudClient::Completion<std::optional<std::string>> completionHandler) {
  if (file.isFolder() || !file.cloudIdentifier || file.cloudIdentifier->isFolder()) {
    cloudClient_->failWithoutCloudIdentifier<std::optional<std::string>>(
        file, std::move(completionHandler));
    return {};
  }
  std::optional<std::string> entryID;
  if (file.contentVersion) entryID = file.contentVersion->rawValue;
  cloudfs::DownloadThumbnailRequest request(file.cloudIdentifier->rawValue(), std::move(entryID),
                                            cloudfs::ThumbnailCropType::proportional, width,
                                            height);
  auto handle =
      [client = cloudClient_,
       file](const CloudFSResponse& response) -> SyncCloudResult<std::optional<std::string>> {
    const auto& logger = client->logger();
    const int status = response.httpResponse.statusCode;
    base::LoggerMetadata where{{"itemID", file.itemIdentifier.description()},
                               {"itemCloudID", file.cloudIdentifier->description()}};
    if (status == 200) {
      if (!response.body || response.body->empty()) {
        logger.warning("Server sent an empty thumbnail", std::move(where));
        return std::optional<std::string>();
      }
      return response.body;
    }
    if (status >= 400 && status < 500 && isSourceTooBig(response)) {
      logger.info(kSourceTooBig, std::move(where));
      return std::optional<std::string>();
    }
    switch (status) {
      case 404:
        logger.warning("File or its version not found for thumbnail", std::move(where));
        return std::unexpected(SyncError::noSuchItem(file.itemIdentifier));
      case 403:
        if (auto locked = client->checkForbiddenStatusCode(response, response.body.value_or(""),
                                                           file.filename)) {
          return std::unexpected(*locked);
        }
        logger.warning("Thumbnail refused by server - permission denied", std::move(where));
        return std::unexpected(SyncError(Code::permissionDenied));
      case 415:
        logger.info("Server makes no thumbnails of this file type", std::move(where));
        return std::optional<std::string>();
      default:
        return std::unexpected(client->errorForOtherStatus(response, "Thumbnail"));
    }
  };
  return cloudClient_->cfsSession()->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [client = cloudClient_, handle = std::move(handle),
       completionHandler = std::move(completionHandler)](
          std::expected<CloudFSResponse, CloudFSSessionError> result) {
        if (!result) {
          completionHandler(std::unexpected(client->adaptSessionError(result.error())));
          return;
        }
        completionHandler(handle(*result));
      });
}

}  // namespace tarnix::fileprovider
