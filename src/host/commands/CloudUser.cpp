#include "host/commands/CloudUser.hpp"

#include <future>

#include "base/Uuid.hpp"
#include "cloudfs/requests/UserRequests.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "common/ItemLocks.hpp"
#include "host/commands/AccountStore.hpp"

namespace tarnix::host {

CloudConnection CloudConnection::open(const common::DesktopAppGroup& group,
                                      const common::Drive& drive, const base::Logger& logger) {
  auto configuration = cloudfs::TarnixURLSession::Configuration::fromEnvironment();
  configuration.downloadDirectory = group.temporaryDirectoryURL();
  CloudConnection connection;
  connection.urlSession = std::make_shared<cloudfs::TarnixURLSession>(
      logger, cloudfs::TarnixUserAgent(group.deviceIdentifier(), "0.1.0", "0.1.0"),
      base::makeUuid(), group.preferences(), configuration);
  connection.session =
      cloudfs::CloudFSSessionFactory(connection.urlSession, logger).makeSession(drive);
  return connection;
}

std::expected<cloudfs::CurrentUserResponse, CurrentUserFailure> askCurrentUser(
    const common::DesktopAppGroup& group, const common::Drive& drive,
    std::chrono::seconds timeout) {
  const auto logger = base::Logger("com.tarnix.cli");
  auto connection = CloudConnection::open(group, drive, logger);
  auto future = connection.session->data(cloudfs::CurrentUserRequest(),
                                         cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(timeout) != std::future_status::ready) {
    return std::unexpected(
        CurrentUserFailure{"the cloud " + drive.domain + " did not answer in time"});
  }
  auto answer = future.get();
  if (!answer) {
    return std::unexpected(CurrentUserFailure{
        "the cloud " + drive.domain + " was not reached: " + cloudfs::describe(answer.error())});
  }
  const auto& [body, head] = *answer;
  const cloudfs::CloudFSResponse response{head, body, std::nullopt};
  if (head.statusCode == 401) {
    return std::unexpected(CurrentUserFailure{
        "the cloud " + drive.domain + " refused the account's credentials", true});
  }
  if (head.statusCode != 200) {
    auto error = cloudfs::CloudFSErrorResponse::parse(response);
    auto message = error.message ? error.message : error.errorMessage;
    return std::unexpected(CurrentUserFailure{"the cloud " + drive.domain + " answered HTTP " +
                                              std::to_string(head.statusCode) +
                                              (message ? ": " + *message : "")});
  }
  auto user = cloudfs::CurrentUserResponse::decode(response);
  if (!user) {
    return std::unexpected(CurrentUserFailure{
        "the cloud " + drive.domain + " gave an unreadable answer: " + user.error().description()});
  }
  return std::move(*user);
}

common::Drive learnUserIdentifier(const common::DesktopAppGroup& group, common::Drive drive,
                                  std::chrono::seconds timeout) {
  if (drive.userIdentifier != common::CloudLockInfo::kUnknownUser) return drive;
  auto logger = base::Logger("com.tarnix.cli");
  auto user = askCurrentUser(group, drive, timeout);
  if (!user) {
    // The drive is still usable; locks just cannot be told to be the user's own.
    logger.warning("The user's identifier stays unknown",
                   {{"accountID", drive.accountIdentifier}, {"reason", user.error().message}});
    return drive;
  }
  auto store = AccountStore::open();
  if (!store) return drive;
  if (auto stored = store->setUserIdentity(drive.accountIdentifier, *user); !stored) {
    logger.warning("Storing the user's identifier failed",
                   {{"accountID", drive.accountIdentifier}, {"error", stored.error().message}});
    return drive;
  }
  drive.userIdentifier = user->id;
  if (!drive.userFirstName || drive.userFirstName->empty()) drive.userFirstName = user->firstName;
  if (!drive.userLastName || drive.userLastName->empty()) drive.userLastName = user->lastName;
  return drive;
}

}  // namespace tarnix::host
