#pragma once
// What the commands ask of a drive's cloud directly, as the desktop application does when a
// user signs in: a session to the account's host with its credentials, and whom those
// credentials belong to. An account added without its user identifier learns it here (the
// answer to `CurrentUserRequest`), when it is added or else when one of its drives is first
// used; until then the identifier is unknown (0), and an unknown user holds no lock.
//
// For one thread at a time; each call waits for its answer (bounded).

#include <chrono>
#include <expected>
#include <memory>
#include <string>

#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/responses/UserResponses.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/Drive.hpp"

namespace tarnix::host {

/// A session to `drive`'s cloud (its host and credentials) with the container's proxy and
/// transfer settings.
struct CloudConnection {
  std::shared_ptr<cloudfs::TarnixURLSession> urlSession;
  std::shared_ptr<cloudfs::CloudFSSession> session;

  static CloudConnection open(const common::DesktopAppGroup& group, const common::Drive& drive,
                              const base::Logger& logger);
};

/// Why the cloud did not say whom credentials belong to: `message` is a sentence for the user
/// (the cloud was not reached, refused the credentials or gave an unreadable answer).
struct CurrentUserFailure {
  std::string message;
  /// The cloud answered that the credentials are not valid (HTTP 401).
  bool credentialsRefused = false;
};

/// Whom the credentials of `drive`'s account belong to.
std::expected<cloudfs::CurrentUserResponse, CurrentUserFailure> askCurrentUser(
    const common::DesktopAppGroup& group, const common::Drive& drive, std::chrono::seconds timeout);

/// For a drive whose account's user identifier is not known: asks the cloud (waiting at most
/// `timeout`) and stores the answer in the account (with the user's names and e-mail address
/// where those are empty). Returns the drive as it is now; when the cloud cannot tell, the
/// identifier stays unknown.
common::Drive learnUserIdentifier(const common::DesktopAppGroup& group, common::Drive drive,
                                  std::chrono::seconds timeout);

}  // namespace tarnix::host
