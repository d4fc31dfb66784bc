#include "fileprovider/locking/LockingCloudClient.hpp"

#include "cloudfs/requests/FileMetadataRequest.hpp"
#include "cloudfs/responses/MetadataResponses.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"

namespace tarnix::fileprovider {

using common::LockingError;
using Code = common::LockingError::Code;

namespace {

constexpr std::string_view kLockNotFoundMessage = "File lock for user / lock token not found";

std::optional<std::string> groupID(const common::SyncItem& file) {
  if (file.isFolder() || !file.cloudIdentifier || file.cloudIdentifier->isFolder()) {
    return std::nullopt;
  }
  return file.cloudIdentifier->rawValue();
}

bool succeeded(const cloudfs::CloudFSResponse& response) {
  return response.httpResponse.statusCode >= 200 && response.httpResponse.statusCode < 300;
}

common::SyncItemPermission permissionFromText(const std::string& text) {
  if (auto permission = common::permissionFromCfsName(text)) return *permission;
  return common::permissionFromCfsDescription(text).value_or(common::SyncItemPermission::none);
}

}  // namespace

LockingCloudClient::LockingCloudClient(
    std::shared_ptr<cloudfs::CloudFSSession> cfsSession,
    std::shared_ptr<cloudfs::DriveCloudErrorHandler> cloudErrorHandler, base::Logger logger)
    : cfsSession_(std::move(cfsSession)),
      cloudErrorHandler_(std::move(cloudErrorHandler)),
      logger_(std::move(logger)) {}

LockingError LockingCloudClient::errorFor(const cloudfs::CloudFSSessionError& error) const {
  logger_.warning("Network error in locking request", {{"error", cloudfs::describe(error)}});
  if (cloudfs::isCancellation(error)) return LockingError(Code::internalError);
  return LockingError(Code::connectionError);
}

LockingError LockingCloudClient::errorFor(const cloudfs::CloudFSResponse& response,
                                          bool unlocking) const {
  const int status = response.httpResponse.statusCode;
  const auto body = cloudfs::CloudFSErrorResponse::parse(response);
  const std::string message = body.message.value_or(body.errorMessage.value_or(""));
  if (status == 409 || status == 423) {
    if (auto holder = cloudfs::LockFileAlreadyLockedResponse::decode(response)) {
      common::CloudLockInfo info;
      info.identifier = holder->lockOwner.identifier;
      info.firstName = holder->lockOwner.firstName;
      info.lastName = holder->lockOwner.lastName;
      info.email = holder->lockOwner.email;
      logger_.info("File already locked", {{"lockOwner", info.identifier}});
      return LockingError::alreadyLocked(std::move(info));
    }
  }
  if (status == 404) {
    logger_.warning("Lock or file not found", {{"statusCode", status}, {"message", message}});
    // The answer to an unlock, or to a renewal with a token that is not the lock's.
    if (message == kLockNotFoundMessage) return LockingError(Code::lockNotFound);
    return LockingError(Code::fileNotFound);
  }
  if (status == 403) {
    logger_.warning("Permission denied to lock a file", {{"statusCode", status}});
    return LockingError(unlocking ? Code::unlockingDenied : Code::lockingDenied);
  }
  if (status == 401) {
    if (cloudErrorHandler_) cloudErrorHandler_->authenticationDidExpire();
    return LockingError(Code::authenticationRequired);
  }
  if (status == 429) return LockingError(Code::throttledByServer);
  logger_.error("Locking request failed", {{"statusCode", status}, {"message", message}});
  return LockingError(Code::invalidServerResponse);
}

void LockingCloudClient::lockFile(
    const common::SyncItem& file, std::optional<std::string> cloudPath,
    cloudfs::LockRequestOptions options, std::string_view debugLocation,
    std::function<void(LockingResult<cloudfs::LockFileResponse>)> completion) {
  std::unique_ptr<cloudfs::LockActionRequest> request;
  if (auto id = groupID(file)) {
    request = std::make_unique<cloudfs::LockFileByIdRequest>(*id, std::move(options));
  } else if (cloudPath) {
    request = std::make_unique<cloudfs::LockFileByPathRequest>(*cloudPath, std::move(options));
  } else {
    logger_.error("Locking request without a file",
                  {{"itemID", file.itemIdentifier.description()}});
    cfsSession_->callbackQueue()->async(
        [completion] { completion(std::unexpected(LockingError(Code::invalidFilePath))); });
    return;
  }
  TLOG_DEBUG(logger_, "Sending lock request",
             {{"itemID", file.itemIdentifier.description()},
              {"debugLocation", std::string(debugLocation)},
              {"renewal", request->options.lockToken.has_value()}});
  cfsSession_->send(
      *request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), this, completion = std::move(completion)](
          std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
        if (!result) return completion(std::unexpected(errorFor(result.error())));
        if (!succeeded(*result)) return completion(std::unexpected(errorFor(*result, false)));
        auto answer = cloudfs::LockFileResponse::decode(*result);
        if (!answer) {
          logger_.error("Unable to decode lock response",
                        {{"error", answer.error().description()}});
          return completion(std::unexpected(LockingError(Code::invalidServerResponse)));
        }
        completion(std::move(*answer));
      });
}

void LockingCloudClient::unlockFile(const common::SyncItem& file, std::optional<std::string> token,
                                    std::function<void(LockingResult<void>)> completion) {
  auto id = groupID(file);
  if (!id) {
    cfsSession_->callbackQueue()->async(
        [completion] { completion(std::unexpected(LockingError(Code::invalidFilePath))); });
    return;
  }
  cloudfs::UnlockFileByIdRequest request(*id, std::move(token));
  cfsSession_->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), this, completion = std::move(completion)](
          std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
        if (!result) return completion(std::unexpected(errorFor(result.error())));
        if (!succeeded(*result)) return completion(std::unexpected(errorFor(*result, true)));
        completion({});
      });
}

void LockingCloudClient::checkLockPresence(
    const common::SyncItem& file,
    std::function<void(LockingResult<LockCloudPresence>)> completion) {
  auto id = groupID(file);
  if (!id) {
    cfsSession_->callbackQueue()->async(
        [completion] { completion(std::unexpected(LockingError(Code::invalidFilePath))); });
    return;
  }
  cloudfs::FileMetadataRequest request(*id, true, true, true);
  cfsSession_->send(
      request, cloudfs::TarnixURLRequestOptions::none(),
      [self = shared_from_this(), this, completion = std::move(completion),
       file](std::expected<cloudfs::CloudFSResponse, cloudfs::CloudFSSessionError> result) {
        if (!result) return completion(std::unexpected(errorFor(result.error())));
        if (!succeeded(*result)) return completion(std::unexpected(errorFor(*result, false)));
        auto metadata = cloudfs::FileMetadataResponse::decode(*result);
        if (!metadata)
          return completion(std::unexpected(LockingError(Code::invalidServerResponse)));
        LockCloudPresence presence;
        presence.permission = permissionFromText(metadata->permission.value_or(""));
        presence.fileName = file.filename;
        if (metadata->locked && metadata->lock && metadata->lock->ownerID) {
          common::CloudLockInfo info;
          info.identifier = *metadata->lock->ownerID;
          info.firstName = metadata->lock->firstName.value_or("");
          info.lastName = metadata->lock->lastName.value_or("");
          info.email = metadata->lock->email;
          info.collaborationToken = metadata->lock->collaboration;
          presence.lockInfo = std::move(info);
        }
        completion(std::move(presence));
      });
}

}  // namespace tarnix::fileprovider
