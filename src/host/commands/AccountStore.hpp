#pragma once
// What the desktop application does for accounts and drives, for the commands that do it on
// Linux: writes accounts (row, credentials, cloud configuration) and drives the way the
// application writes them, lists and removes them. Credentials are never printed or logged.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloudfs/responses/UserResponses.hpp"
#include "common/AccountAuthentication.hpp"
#include "common/ContainerStores.hpp"
#include "common/Drive.hpp"

namespace tarnix::host {

struct AccountStoreError {
  std::string message;
};

struct NewAccount {
  /// The cloud host as given: "host", "host:port" or "https://host:port/".
  std::string domain;
  std::string userName;
  std::string email;
  std::string workgroupIdentifier;
  /// 0: not known (see CloudUser.hpp).
  std::int64_t userIdentifier = 0;
  std::optional<std::string> userFirstName;
  std::optional<std::string> userLastName;
  common::AccountAuthentication authentication;
  /// The configuration document; none: the built-in default.
  std::optional<std::string> cloudConfiguration;
};

struct AccountSummary {
  std::string identifier;
  std::string domain;
  std::string userName;
  std::string workgroupIdentifier;
  std::int64_t userIdentifier = 0;
  bool requiresReauthentication = false;
  /// "basic", "oauth" or "missing": the kind of credentials, never the credentials.
  std::string authenticationKind;
};

/// The cloud host of `text` as stored in `Accounts.domain`: lower-case "host" or "host:port"
/// (IPv6 literals in brackets). Accepts a bare host or an "https://" URL with at most a "/"
/// after the authority; refuses other schemes, paths, user names and bad ports.
std::expected<std::string, AccountStoreError> normalizedDomain(std::string_view text);

/// A cloud start path as stored in `Drives.cloudStartPath`: absolute, no empty, "." or ".."
/// component, no trailing "/" (except the root itself).
std::expected<std::string, AccountStoreError> normalizedCloudStartPath(std::string_view text);

class AccountStore {
 public:
  explicit AccountStore(common::ContainerStores stores) : stores_(std::move(stores)) {}
  /// Opens the container of this process's environment.
  static std::expected<AccountStore, AccountStoreError> open();
  const std::shared_ptr<common::DesktopAppGroup>& group() const { return stores_.group; }

  /// The document written for accounts added without one; it decodes with every optional key
  /// at its default.
  static std::string defaultCloudConfiguration();

  /// Writes the account row, its credentials and its configuration; returns its identifier.
  /// Refuses a second account of the same user on the same host.
  std::expected<std::string, AccountStoreError> addAccount(const NewAccount& account);
  std::expected<std::vector<AccountSummary>, AccountStoreError> accounts();
  /// Gives an account whose user identifier is not known the cloud's answer about its user:
  /// the identifier, and the names and e-mail address where the account has none. An account
  /// whose identifier is known keeps it.
  std::expected<void, AccountStoreError> setUserIdentity(std::string_view account,
                                                         const cloudfs::CurrentUserResponse& user);
  /// Removes the account with its drives, credentials and configuration.
  std::expected<void, AccountStoreError> removeAccount(std::string_view identifier);

  /// Adds a drive of `account` showing `cloudStartPath`; returns its identifier. Labels are
  /// unique, non-empty and never look like an identifier (a drive is found by either).
  std::expected<std::string, AccountStoreError> addDrive(std::string_view account,
                                                         std::string_view label,
                                                         std::string_view cloudStartPath,
                                                         std::string_view driveType);
  std::expected<std::vector<common::Drive>, AccountStoreError> drives();
  /// Removes the drive named by label or identifier; returns it. Its folder in the container,
  /// if any, is moved to the drives graveyard.
  std::expected<common::Drive, AccountStoreError> removeDrive(std::string_view labelOrIdentifier);

 private:
  void buryDriveFolder(const std::string& driveIdentifier);

  common::ContainerStores stores_;
};

}  // namespace tarnix::host
