#include "host/commands/AccountStore.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <system_error>

#include "base/Date.hpp"
#include "base/Uuid.hpp"
#include "common/DriveLookup.hpp"
#include "common/KnownPath.hpp"

namespace tarnix::host {
namespace {

std::unexpected<AccountStoreError> failure(std::string message) {
  return std::unexpected(AccountStoreError{std::move(message)});
}

std::string lowerCased(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

bool isHostCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool isValidPort(std::string_view digits) {
  unsigned port = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return !digits.empty() && ec == std::errc() && end == digits.data() + digits.size() &&
         port >= 1 && port <= 65535 && digits.front() != '+';
}

/// Splits a transaction's own refusals (kept in `reason`) from database failures.
struct Refusal {
  std::optional<std::string> reason;
  std::unexpected<common::MainDatabaseError> refuse(std::string text) {
    reason = std::move(text);
    return std::unexpected(common::MainDatabaseError{0, *reason});
  }
};

}  // namespace

std::expected<std::string, AccountStoreError> normalizedDomain(std::string_view text) {
  const std::string given(text);
  std::string lower = lowerCased(text);
  std::string_view rest = lower;
  if (auto scheme = rest.find("://"); scheme != std::string_view::npos) {
    if (rest.substr(0, scheme) != "https") {
      return failure("The cloud host must be reached over https: " + given);
    }
    rest.remove_prefix(scheme + 3);
    if (rest.ends_with('/')) rest.remove_suffix(1);
  }
  if (rest.empty()) return failure("The cloud host is empty");
  std::string_view host = rest;
  std::optional<std::string_view> port;
  if (rest.front() == '[') {
    auto close = rest.find(']');
    if (close == std::string_view::npos) return failure("Not a cloud host: " + given);
    host = rest.substr(0, close + 1);
    auto after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return failure("Not a cloud host: " + given);
      port = after.substr(1);
    }
    auto inside = host.substr(1, host.size() - 2);
    if (inside.empty() || !std::ranges::all_of(inside, [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
        })) {
      return failure("Not a cloud host: " + given);
    }
  } else {
    if (auto colon = rest.find(':'); colon != std::string_view::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
    }
    if (host.empty() || !std::ranges::all_of(host, isHostCharacter) || host.front() == '.' ||
        host.front() == '-') {
      return failure("Not a cloud host: " + given);
    }
  }
  if (port && !isValidPort(*port)) return failure("Not a port number in " + given);
  return std::string(rest);
}

std::expected<std::string, AccountStoreError> normalizedCloudStartPath(std::string_view text) {
  const std::string given(text);
  if (text.empty() || text.front() != '/') {
    return failure("The cloud start path must start with \"/\": " + given);
  }
  std::string_view rest = text.substr(1);
  if (rest.size() > 1 && rest.ends_with('/')) rest.remove_suffix(1);
  std::string path;
  while (!rest.empty()) {
    auto slash = rest.find('/');
    auto component = rest.substr(0, slash);
    if (component.empty() || component == "." || component == "..") {
      return failure("The cloud start path has an empty, \".\" or \"..\" component: " + given);
    }
    if (std::ranges::any_of(component, [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
      return failure("The cloud start path has a control character: " + given);
    }
    path += '/';
    path += component;
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
  }
  return path.empty() ? std::string("/") : path;
}

std::expected<AccountStore, AccountStoreError> AccountStore::open() {
  auto stores = common::ContainerStores::open(common::appGroupContainerRoot(),
                                              base::Logger("com.tarnix.cli"));
  if (!stores) return failure(stores.error().message);
  return AccountStore(std::move(*stores));
}

std::string AccountStore::defaultCloudConfiguration() {
  return R"({
  "canKeelvaultBeSourceForTx": false,
  "upgradeNotificationsEnabled": false,
  "canUsersMarkFoldersForOfflineAccess": true,
  "redEnabled": false,
  "localReadEventsBlacklistMac": [],
  "connectedFoldersEnabled": true,
  "connectedFoldersInShared": false,
  "connectedFoldersOnExternalDevice": false
}
)";
}

std::expected<std::string, AccountStoreError> AccountStore::addAccount(const NewAccount& account) {
  auto domain = normalizedDomain(account.domain);
  if (!domain) return std::unexpected(domain.error());
  if (account.userName.empty()) return failure("The user name is empty");
  auto configuration = common::CloudConfigurationWithData::decode(
      account.cloudConfiguration.value_or(defaultCloudConfiguration()));
  if (!configuration) {
    return failure("The cloud configuration does not decode: " + configuration.error().message);
  }
  const auto identifier = base::makeUuid();
  const auto timestamp = base::formatISO8601(std::chrono::system_clock::now());
  auto& database = *stores_.database;
  Refusal refusal;
  auto done = database.transaction([&]() -> std::expected<void, common::MainDatabaseError> {
    auto existing =
        database.query("SELECT accountIdentifier FROM Accounts WHERE domain = ? AND userName = ?",
                       {*domain, account.userName});
    if (!existing) return std::unexpected(existing.error());
    if (!existing->empty()) {
      return refusal.refuse(
          "An account of " + account.userName + " on " + *domain +
          " exists already: " + common::sqlText(existing->front()[0]).value_or(""));
    }
    auto name = [](const std::optional<std::string>& text) -> common::SQLValue {
      if (!text || text->empty()) return nullptr;
      return *text;
    };
    auto inserted = database.execute(
        "INSERT INTO Accounts(accountIdentifier, domain, userName, email, workgroupIdentifier, "
        "userIdentifier, cloudConfigurationTimestamp, authenticationTimestamp, userFirstName, "
        "userLastName) VALUES(?,?,?,?,?,?,?,?,?,?)",
        {identifier, *domain, account.userName, account.email, account.workgroupIdentifier,
         account.userIdentifier, timestamp, timestamp, name(account.userFirstName),
         name(account.userLastName)});
    if (!inserted) return std::unexpected(inserted.error());
    // Credentials and configuration are written before the row commits, so that no process
    // ever sees an account without them.
    auto saved =
        stores_.keychainStorage->setAuthentication(account.authentication, timestamp, identifier);
    if (!saved) return refusal.refuse("Saving the credentials failed: " + saved.error().message);
    auto written = stores_.cloudConfigurationStorage->update(*configuration, identifier, timestamp);
    if (!written) {
      return refusal.refuse("Saving the cloud configuration failed: " + written.error().message);
    }
    return {};
  });
  if (!done) {
    (void)stores_.keychainStorage->removeAuthentication(identifier);
    (void)stores_.cloudConfigurationStorage->removeConfiguration(identifier);
    return failure(refusal.reason.value_or("Writing the account failed: " + done.error().message));
  }
  return identifier;
}

std::expected<std::vector<AccountSummary>, AccountStoreError> AccountStore::accounts() {
  auto rows = stores_.database->query(
      "SELECT accountIdentifier, domain, userName, workgroupIdentifier, userIdentifier, "
      "requiresReauthentication, authenticationTimestamp FROM Accounts ORDER BY domain, userName");
  if (!rows) return failure("Reading the accounts failed: " + rows.error().message);
  std::vector<AccountSummary> accounts;
  for (const auto& row : *rows) {
    AccountSummary summary;
    summary.identifier = common::sqlText(row[0]).value_or("");
    summary.domain = common::sqlText(row[1]).value_or("");
    summary.userName = common::sqlText(row[2]).value_or("");
    summary.workgroupIdentifier = common::sqlText(row[3]).value_or("");
    summary.userIdentifier = common::sqlInteger(row[4]).value_or(0);
    summary.requiresReauthentication = common::sqlInteger(row[5]).value_or(0) != 0;
    auto authentication = stores_.keychainStorage->readAuthentication(
        summary.identifier, common::sqlText(row[6]).value_or(""));
    summary.authenticationKind = !authentication             ? "missing"
                                 : authentication->isBasic() ? "basic"
                                                             : "oauth";
    accounts.push_back(std::move(summary));
  }
  return accounts;
}

std::expected<void, AccountStoreError> AccountStore::setUserIdentity(
    std::string_view account, const cloudfs::CurrentUserResponse& user) {
  auto identifier = base::normalizedUuid(account);
  if (!identifier) return failure("Not an account identifier: " + std::string(account));
  auto updated = stores_.database->execute(
      "UPDATE Accounts SET userIdentifier = ?, "
      "userFirstName = CASE WHEN IFNULL(userFirstName, '') = '' THEN ? ELSE userFirstName END, "
      "userLastName = CASE WHEN IFNULL(userLastName, '') = '' THEN ? ELSE userLastName END, "
      "email = CASE WHEN email = '' THEN ? ELSE email END "
      "WHERE accountIdentifier = ? AND userIdentifier = 0",
      {user.id, user.firstName, user.lastName, user.email, *identifier});
  if (!updated) return failure("Writing the account failed: " + updated.error().message);
  return {};
}

std::expected<void, AccountStoreError> AccountStore::removeAccount(std::string_view identifier) {
  auto account = base::normalizedUuid(identifier);
  if (!account) return failure("Not an account identifier: " + std::string(identifier));
  auto& database = *stores_.database;
  std::vector<std::string> drives;
  Refusal refusal;
  auto done = database.transaction([&]() -> std::expected<void, common::MainDatabaseError> {
    auto rows = database.query("SELECT driveIdentifier FROM Drives WHERE accountIdentifier = ?",
                               {*account});
    if (!rows) return std::unexpected(rows.error());
    for (const auto& row : *rows) drives.push_back(common::sqlText(row[0]).value_or(""));
    if (auto removed =
            database.execute("DELETE FROM Drives WHERE accountIdentifier = ?", {*account});
        !removed) {
      return std::unexpected(removed.error());
    }
    auto removed = database.execute("DELETE FROM Accounts WHERE accountIdentifier = ?", {*account});
    if (!removed) return std::unexpected(removed.error());
    if (*removed == 0) return refusal.refuse("No such account: " + *account);
    return {};
  });
  if (!done) {
    return failure(refusal.reason.value_or("Removing the account failed: " + done.error().message));
  }
  for (const auto& drive : drives) buryDriveFolder(drive);
  (void)stores_.keychainStorage->removeAuthentication(*account);
  (void)stores_.cloudConfigurationStorage->removeConfiguration(*account);
  return {};
}

std::expected<std::string, AccountStoreError> AccountStore::addDrive(
    std::string_view account, std::string_view label, std::string_view cloudStartPath,
    std::string_view driveType) {
  auto accountIdentifier = base::normalizedUuid(account);
  if (!accountIdentifier) return failure("Not an account identifier: " + std::string(account));
  if (label.empty()) return failure("A drive needs a label");
  if (base::normalizedUuid(label)) {
    return failure("A label must not look like a drive identifier: " + std::string(label));
  }
  if (std::ranges::any_of(label, [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
    return failure("A label must not hold control characters");
  }
  auto path = normalizedCloudStartPath(cloudStartPath);
  if (!path) return std::unexpected(path.error());
  if (driveType != common::DriveType::fileProvider && driveType != common::DriveType::nearbox) {
    return failure("Unknown drive type: " + std::string(driveType) + " (FileProvider or Nearbox)");
  }
  const auto identifier = base::makeUuid();
  const std::string labelText(label);
  auto& database = *stores_.database;
  Refusal refusal;
  auto done = database.transaction([&]() -> std::expected<void, common::MainDatabaseError> {
    auto known =
        database.query("SELECT 1 FROM Accounts WHERE accountIdentifier = ?", {*accountIdentifier});
    if (!known) return std::unexpected(known.error());
    if (known->empty()) return refusal.refuse("No such account: " + *accountIdentifier);
    auto taken = database.query("SELECT 1 FROM Drives WHERE label = ? LIMIT 1", {labelText});
    if (!taken) return std::unexpected(taken.error());
    if (!taken->empty())
      return refusal.refuse("A drive with this label exists already: " + labelText);
    auto inserted = database.execute(
        "INSERT INTO Drives(driveIdentifier, accountIdentifier, label, cloudStartPath, "
        "shouldBeConnected, isConnected, driveType) VALUES(?,?,?,?,1,0,?)",
        {identifier, *accountIdentifier, labelText, *path, std::string(driveType)});
    if (!inserted) return std::unexpected(inserted.error());
    return {};
  });
  if (!done) {
    return failure(refusal.reason.value_or("Writing the drive failed: " + done.error().message));
  }
  return identifier;
}

std::expected<std::vector<common::Drive>, AccountStoreError> AccountStore::drives() {
  auto drives = stores_.driveRepository->allDrives();
  if (!drives) return failure(drives.error().message);
  return std::move(*drives);
}

std::expected<common::Drive, AccountStoreError> AccountStore::removeDrive(
    std::string_view labelOrIdentifier) {
  auto drive = common::findDrive(*stores_.driveRepository, labelOrIdentifier);
  if (!drive) return failure(drive.error().message);
  auto removed = stores_.database->execute("DELETE FROM Drives WHERE driveIdentifier = ?",
                                           {drive->identifier});
  if (!removed) return failure("Removing the drive failed: " + removed.error().message);
  if (*removed == 0) return failure("No such drive: " + drive->identifier);
  buryDriveFolder(drive->identifier);
  return std::move(*drive);
}

void AccountStore::buryDriveFolder(const std::string& driveIdentifier) {
  // The drive's databases and unsynced content are kept, out of the way, rather than deleted.
  const auto& paths = stores_.group->knownPaths();
  auto folder = paths.knownPathURL(common::KnownPath::drive(driveIdentifier));
  std::error_code ec;
  if (!folder || !std::filesystem::exists(*folder, ec)) return;
  auto graveyard = paths.knownPathURL(common::KnownPath::drivesGraveyard(), true);
  if (!graveyard) return;
  auto target = *graveyard / (driveIdentifier + "-" + base::makeUuid().substr(0, 8));
  std::filesystem::rename(*folder, target, ec);
}

}  // namespace tarnix::host
