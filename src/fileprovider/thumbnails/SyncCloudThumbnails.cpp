// The cloud client's thumbnail download.

#include "cloudfs/requests/ThumbnailRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"

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

cloudfs::CloudFSSessionTask SyncCloudClient::downloadThumbnail(
    const SyncItem& file, std::int64_t width, std::int64_t height,
    Completion<std::optional<std::string>> completionHandler) {
  if (file.isFolder() || !file.cloudIdentifier || file.cloudIdentifier->isFolder()) {
    logger_.error("Item has no cloud identifier",
                  base::LoggerMetadata{{"itemID", file.itemIdentifier.description()}});
    cfsSession()->callbackQueue()->async([completionHandler = std::move(completionHandler)] {
      completionHandler(std::unexpected(SyncCloudError(SyncError(Code::noCloudIdentifier))));
    });
    return {};
  }
  std::optional<std::string> entryID;
  if (file.contentVersion) entryID = file.contentVersion->rawValue;
  cloudfs::DownloadThumbnailRequest request(file.cloudIdentifier->rawValue(), std::move(entryID),
                                            cloudfs::ThumbnailCropType::proportional, width,
                                            height);
  auto handle =
      [self = shared_from_this(),
       file](const CloudFSResponse& response) -> SyncCloudResult<std::optional<std::string>> {
    const auto& logger = self->logger_;
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
        if (auto locked = self->checkForbiddenStatusCode(response, response.body.value_or(""),
                                                         file.filename)) {
          return std::unexpected(*locked);
        }
        logger.warning("Thumbnail refused by server - permission denied", std::move(where));
        return std::unexpected(SyncError(Code::permissionDenied));
      case 415:
        logger.info("Server makes no thumbnails of this file type", std::move(where));
        return std::optional<std::string>();
      default:
        return std::unexpected(self->errorForOtherStatus(response, "Thumbnail"));
    }
  };
  return cfsSession()->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), handle = std::move(handle),
       completionHandler = std::move(completionHandler)](
          std::expected<CloudFSResponse, CloudFSSessionError> result) {
        if (!result) {
          completionHandler(std::unexpected(self->adaptSessionError(result.error())));
          return;
        }
        completionHandler(handle(*result));
      });
}

}  // namespace tarnix::fileprovider
