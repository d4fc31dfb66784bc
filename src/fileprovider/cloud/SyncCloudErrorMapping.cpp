// How the cloud's statuses and error bodies become SyncError values, for every operation of the
// client.
#include "base/LogExcerpt.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"

namespace tarnix::fileprovider {

using cloudfs::CloudFSResponse;
using cloudfs::CloudFSSessionError;
using common::SyncError;
using common::SyncItem;
using Code = common::SyncError::Code;

namespace {

constexpr std::string_view kFileLockedMessage = "The file is locked by another user";

std::string bodyText(const CloudFSResponse& response) {
  return response.body.value_or("");
}

// The messages of the server's validation failures and what each means for the sync layer.
struct ServerMessage {
  std::string_view text;
  common::SyncError (*error)();
};

SyncError rejected(common::UploadRejectionReason reason) {
  return SyncError::uploadRejected(reason);
}

using Reason = common::UploadRejectionReason;
constexpr ServerMessage kServerMessages[] = {
    {"Files cannot be saved directly to /Shared",
     [] { return rejected(Reason::invalidDestination); }},
    {"File names cannot contain leading or trailing spaces, trailing periods, control characters, "
     "or any of the following special characters: * ? / \\ : < > \" |",
     [] { return rejected(Reason::prohibitedCharacterInFilename); }},
    {"Path cannot contain multibyte unicode characters",
     [] { return rejected(Reason::prohibitedUnicodeInFilename); }},
    {"File name cannot be greater than 245 bytes",
     [] { return rejected(Reason::filenameTooLong); }},
    {"File path cannot be longer than 5000 characters",
     [] { return rejected(Reason::pathTooLong); }},
    {"Google Doc stub files may not be uploaded to this domain.",
     [] { return rejected(Reason::googleDocUnsupported); }},
    {"Temporary files are not supported", [] { return rejected(Reason::invalidFilename); }},
    {"Destination filename is considered as temporary by the server.",
     [] { return rejected(Reason::invalidFilename); }},
    {"Can only add files in allowed roots.", [] { return rejected(Reason::invalidDestination); }},
    {"dest path can not be empty for action move", [] { return SyncError(Code::invalidFilePath); }},
    {"Name must be provided if folder is being added by folder id.",
     [] { return rejected(Reason::invalidFilename); }},
    {"Folder path cannot be longer than 5000 bytes", [] { return rejected(Reason::pathTooLong); }},
    {"Cannot move parent folder into child folder",
     [] { return rejected(Reason::invalidDestination); }},
    {"Files with this extension are not allowed",
     [] { return rejected(Reason::excludedFilenameExtension); }},
};

constexpr std::string_view kTemporaryNameInputCode = "FILESYSTEM_NAME_NOT_TEMP";
constexpr std::string_view kFolderExistsCode = "FolderAlreadyExists";

std::vector<std::string> messagesOf(const cloudfs::CloudFSErrorResponse& body) {
  std::vector<std::string> out;
  if (body.message) out.push_back(*body.message);
  if (body.errorMessage && body.errorMessage != body.message) out.push_back(*body.errorMessage);
  return out;
}

}  // namespace

std::optional<SyncError> syncErrorForServerMessage(std::string_view message) {
  for (const auto& known : kServerMessages) {
    if (known.text == message) return known.error();
  }
  return std::nullopt;
}

// MARK: Error mapping

SyncCloudError SyncCloudClient::adaptSessionError(const CloudFSSessionError& error) const {
  if (cloudfs::isCancellation(error)) return SyncCloudError(error);
  logger_.warning("Request failed", base::LoggerMetadata{{"error", cloudfs::describe(error)}});
  if (cloudErrorHandler_ && cloudErrorHandler_->isConnectivityFailure(error)) {
    return SyncCloudError(SyncError(Code::serverUnreachable));
  }
  return SyncCloudError(error);
}

SyncError SyncCloudClient::errorForOtherStatus(const CloudFSResponse& response,
                                               std::string_view operationName) const {
  const int status = response.httpResponse.statusCode;
  if (status == 401) {
    logger_.warning("Authentication required", base::LoggerMetadata{
                                                   {"operationName", operationName},
                                                   {"statusCode", status},
                                               });
    if (cloudErrorHandler_) cloudErrorHandler_->authenticationDidExpire();
    return SyncError(Code::authenticationRequired);
  }
  if (status == 429) {
    logger_.warning("Throttled by server", base::LoggerMetadata{
                                               {"operationName", operationName},
                                               {"statusCode", status},
                                           });
    return SyncError(Code::throttledByServer);
  }
  base::LoggerMetadata metadata{
      {"operationName", operationName},
      {"statusCode", status},
      {"body", base::logExcerpt(bodyText(response))},
      {"X-Tarnix-Request-Id",
       response.httpResponse.value(base::HTTPHeaderName::xTarnixRequestId).value_or("")},
  };
  if (status >= 500 && status < 600) {
    logger_.warning("Unexpected status code returned by server", std::move(metadata));
  } else {
    logger_.error("Unexpected status code returned by server", std::move(metadata));
  }
  return SyncError(Code::badServerResponse);
}

std::optional<SyncError> SyncCloudClient::checkForbiddenStatusCode(
    const CloudFSResponse& response, const std::string& body, const std::string& filename) const {
  (void)body;
  if (response.httpResponse.statusCode != 403) return std::nullopt;
  for (const auto& message : messagesOf(cloudfs::CloudFSErrorResponse::parse(response))) {
    if (message == kFileLockedMessage) {
      logger_.warning("File is locked by another user",
                      base::LoggerMetadata{{"filename", filename}});
      return SyncError(Code::fileLocked);
    }
  }
  return std::nullopt;
}

std::optional<SyncError> SyncCloudClient::checkConflictStatusCode(
    const CloudFSResponse& response, const std::string& body, const std::string& filename,
    const std::optional<common::SyncFolderIdentifier>& parent) const {
  if (response.httpResponse.statusCode != 409) return std::nullopt;
  const auto parsed = cloudfs::CloudFSErrorResponse::parse(response);
  const bool folderExists = parsed.code == kFolderExistsCode ||
                            (parsed.errorCode && parsed.errorCode->rawValue == kFolderExistsCode);
  logger_.warning("Name already taken on server", base::LoggerMetadata{
                                                      {"filename", filename},
                                                      {"folderAlreadyExists", folderExists},
                                                      {"body", base::logExcerpt(body)},
                                                  });
  // The item that holds the name, when this drive knows it; else what the server told.
  std::optional<SyncItem> existing;
  if (parent && syncItemStorage_) {
    if (auto found = syncItemStorage_->childItem(*parent, filename); found && *found) {
      existing = **found;
    }
  }
  if (!existing) {
    SyncItem named;
    named.filename = filename;
    if (parent) named.parentItemIdentifier = *parent;
    existing = std::move(named);
  }
  return SyncError::filenameCollision(std::move(*existing));
}

std::optional<SyncError> SyncCloudClient::checkValidationFailure(
    const CloudFSResponse& response, const std::string& body, const std::string& filename,
    std::string_view operationName) const {
  if (response.httpResponse.statusCode != 400) return std::nullopt;
  const auto parsed = cloudfs::CloudFSErrorResponse::parse(response);
  std::optional<SyncError> error;
  for (const auto& input : parsed.inputErrors) {
    if (input.code == kTemporaryNameInputCode) error = rejected(Reason::invalidFilename);
  }
  if (!error && !parsed.allowedFilenameExtensions.empty()) {
    error = rejected(Reason::excludedFilenameExtension);
  }
  for (const auto& message : messagesOf(parsed)) {
    if (error) break;
    error = syncErrorForServerMessage(message);
  }
  if (error) {
    logger_.warning("Server rejected the request", base::LoggerMetadata{
                                                       {"operationName", operationName},
                                                       {"filename", filename},
                                                       {"body", base::logExcerpt(body)},
                                                       {"error", error->description()},
                                                   });
  }
  return error;
}

SyncError SyncCloudClient::failedStatus(
    const CloudFSResponse& response, std::string_view operationName, const std::string& filename,
    const std::optional<common::SyncFolderIdentifier>& parent) const {
  const std::string body = bodyText(response);
  switch (response.httpResponse.statusCode) {
    case 403:
      if (auto error = checkForbiddenStatusCode(response, body, filename)) return *error;
      logger_.warning("Permission denied", base::LoggerMetadata{
                                               {"operationName", operationName},
                                               {"filename", filename},
                                           });
      return SyncError(Code::permissionDenied);
    case 409:
      if (auto error = checkConflictStatusCode(response, body, filename, parent)) return *error;
      break;
    case 400:
      if (auto error = checkValidationFailure(response, body, filename, operationName)) {
        return *error;
      }
      break;
    default:
      break;
  }
  return errorForOtherStatus(response, operationName);
}

SyncError SyncCloudClient::uploadFailedStatus(
    const CloudFSResponse& response, std::string_view operationName, const std::string& filename,
    const std::optional<common::SyncFolderIdentifier>& parent) const {
  std::optional<Reason> reason;
  if (response.httpResponse.statusCode == 413) reason = Reason::contentTooLarge;
  if (response.httpResponse.statusCode == 507) reason = Reason::storageLimitReached;
  if (!reason) return failedStatus(response, operationName, filename, parent);
  logger_.warning("Server rejected the request",
                  base::LoggerMetadata{
                      {"operationName", operationName},
                      {"filename", filename},
                      {"statusCode", response.httpResponse.statusCode},
                  });
  return rejected(*reason);
}

}  // namespace tarnix::fileprovider
