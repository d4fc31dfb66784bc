#include "common/DriveRepository.hpp"

namespace tarnix::common {
namespace {

constexpr const char* kSelectDrives =
    "SELECT Drives.driveIdentifier, Accounts.accountIdentifier, Accounts.domain, "
    "Accounts.brandedDomain, Accounts.isLoginDomainBranded, Accounts.userName, Accounts.userType, "
    "Drives.label, Drives.cloudStartPath, Accounts.workgroupIdentifier, Drives.shouldBeConnected, "
    "Drives.isConnected, Accounts.authenticationTimestamp, Accounts.requiresReauthentication, "
    "Accounts.userIdentifier, Accounts.userFirstName, Accounts.userLastName, "
    "Drives.backendIdentifier, Drives.isBackendEnforced, Drives.driveType, Drives.mountPoint, "
    "Drives.fpdBackingStoreIdentity, Accounts.cacheVolumeUUID, Accounts.cacheVolumeName, "
    "Accounts.cacheVolumePath FROM Drives INNER JOIN Accounts ON Drives.accountIdentifier = "
    "Accounts.accountIdentifier";

SQLValue optionalText(const std::optional<std::string>& value) {
  if (value) return *value;
  return nullptr;
}

std::optional<std::string> textOrBlob(const SQLValue& value) {
  if (auto text = sqlText(value)) return text;
  return sqlBlob(value);
}

bool flag(const SQLValue& value) {
  return sqlInteger(value).value_or(0) != 0;
}

Drive driveFrom(const SQLRow& row) {
  Drive d;
  d.identifier = sqlText(row[0]).value_or("");
  d.accountIdentifier = sqlText(row[1]).value_or("");
  d.domain = sqlText(row[2]).value_or("");
  d.brandedDomain = sqlText(row[3]);
  bool loginBranded = flag(row[4]);
  d.loginDomain = loginBranded && d.brandedDomain ? *d.brandedDomain : d.domain;
  d.userName = sqlText(row[5]).value_or("");
  d.userType = sqlText(row[6]).value_or("power");
  d.label = sqlText(row[7]).value_or("");
  d.cloudStartPath = sqlText(row[8]).value_or("");
  d.workgroupIdentifier = sqlText(row[9]).value_or("");
  d.shouldBeConnected = flag(row[10]);
  d.isConnected = flag(row[11]);
  d.authenticationTimestamp = sqlText(row[12]).value_or("");
  d.requiresReauthentication = flag(row[13]);
  d.userIdentifier = sqlInteger(row[14]).value_or(0);
  d.userFirstName = sqlText(row[15]);
  d.userLastName = sqlText(row[16]);
  d.backendIdentifier = sqlText(row[17]);
  d.isBackendEnforced = flag(row[18]);
  d.driveType = sqlText(row[19]).value_or(DriveType::fileProvider);
  d.mountPoint = sqlText(row[20]);
  d.fpdBackingStoreIdentity = textOrBlob(row[21]);
  d.cacheVolumeUUID = sqlText(row[22]);
  d.cacheVolumeName = sqlText(row[23]);
  d.cacheVolumePath = sqlText(row[24]);
  return d;
}

}  // namespace

DriveRepository::DriveRepository(
    std::shared_ptr<MainDatabase> dbQueue, std::shared_ptr<AccountKeychainStorage> keychainStorage,
    std::shared_ptr<CloudConfigurationStorage> cloudConfigurationStorage,
    std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
    base::Logger logger)
    : dbQueue_(std::move(dbQueue)),
      keychainStorage_(std::move(keychainStorage)),
      cloudConfigurationStorage_(std::move(cloudConfigurationStorage)),
      notificationCenter_(std::move(notificationCenter)),
      logger_(std::move(logger)) {}

DriveRepositoryError DriveRepository::logged(DriveRepositoryError::Code code, const char* message,
                                             const std::string& reason) const {
  logger_.error(message, base::LoggerMetadata{{"error", reason}});
  return DriveRepositoryError{code, message};
}

void DriveRepository::didChange(const DriveIdentifier& drive) {
  if (notificationCenter_) notificationCenter_->post(kDriveRepositoryDidChangeDrive, drive);
}

std::expected<std::vector<Drive>, DriveRepositoryError> DriveRepository::readDrives(
    const std::string& where, const std::vector<SQLValue>& bindings, const char* failureMessage) {
  auto rows = dbQueue_->query(std::string(kSelectDrives) + where, bindings);
  if (!rows) {
    return std::unexpected(
        logged(DriveRepositoryError::Code::database, failureMessage, rows.error().message));
  }
  std::vector<Drive> drives;
  for (const auto& row : *rows) {
    auto drive = driveFrom(row);
    if (keychainStorage_) {
      // A drive whose credentials can't be read is still a drive: it shows as unauthenticated.
      if (auto authentication = keychainStorage_->readAuthentication(
              drive.accountIdentifier, drive.authenticationTimestamp)) {
        drive.authentication = std::move(*authentication);
      }
    }
    drives.push_back(std::move(drive));
  }
  return drives;
}

std::expected<std::vector<Drive>, DriveRepositoryError> DriveRepository::allDrives() {
  return readDrives("", {}, "Reading all drives failed");
}

std::expected<std::vector<Drive>, DriveRepositoryError> DriveRepository::allFpDrives() {
  return readDrives(" WHERE Drives.driveType = ?", {std::string(DriveType::fileProvider)},
                    "Reading all drives failed");
}

std::expected<std::vector<Drive>, DriveRepositoryError> DriveRepository::allNearboxDrives() {
  return readDrives(" WHERE Drives.driveType = ?", {std::string(DriveType::nearbox)},
                    "Reading all drives failed");
}

std::expected<std::optional<Drive>, DriveRepositoryError> DriveRepository::optionalDrive(
    const DriveIdentifier& identifier) {
  auto drives =
      readDrives(" WHERE Drives.driveIdentifier = ?", {identifier}, "Reading a drive failed");
  if (!drives) return std::unexpected(drives.error());
  if (drives->empty()) return std::optional<Drive>();
  return std::optional<Drive>(std::move(drives->front()));
}

std::expected<Drive, DriveRepositoryError> DriveRepository::drive(
    const DriveIdentifier& identifier) {
  auto drive = optionalDrive(identifier);
  if (!drive) return std::unexpected(drive.error());
  if (!*drive) {
    return std::unexpected(
        logged(DriveRepositoryError::Code::notFound, "Drive not found", identifier));
  }
  return std::move(**drive);
}

std::expected<void, DriveRepositoryError> DriveRepository::updateLabel(const DriveIdentifier& drive,
                                                                       const std::string& label) {
  std::optional<DriveRepositoryError> refused;
  auto done = dbQueue_->transaction([&]() -> std::expected<void, MainDatabaseError> {
    auto taken = dbQueue_->query(
        "SELECT 1 FROM Drives WHERE driveIdentifier != ? AND label = ? LIMIT 1", {drive, label});
    if (!taken) return std::unexpected(taken.error());
    if (!taken->empty()) {
      refused = DriveRepositoryError{DriveRepositoryError::Code::labelTaken,
                                     "A drive with this label already exists"};
      return std::unexpected(MainDatabaseError{0, refused->message});
    }
    auto updated =
        dbQueue_->execute("UPDATE Drives SET label = ? WHERE driveIdentifier = ?", {label, drive});
    if (!updated) return std::unexpected(updated.error());
    return {};
  });
  if (refused) {
    logger_.warning(refused->message, base::LoggerMetadata{{"driveID", drive}});
    return std::unexpected(*refused);
  }
  if (!done) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Updating a drive failed",
                                  done.error().message));
  }
  didChange(drive);
  return {};
}

std::expected<void, DriveRepositoryError> DriveRepository::updateDrive(const Drive& drive,
                                                                       const std::string& reason) {
  auto current = this->drive(drive.identifier);
  if (!current) return std::unexpected(current.error());
  if (current->label != drive.label) {
    if (auto labelled = updateLabel(drive.identifier, drive.label); !labelled) {
      return std::unexpected(labelled.error());
    }
  }
  auto done = dbQueue_->transaction([&]() -> std::expected<void, MainDatabaseError> {
    auto updated = dbQueue_->execute(
        "UPDATE Drives SET shouldBeConnected = ?, isConnected = ?, backendIdentifier = ?, "
        "isBackendEnforced = ?, mountPoint = ? WHERE driveIdentifier = ?",
        {std::int64_t{drive.shouldBeConnected}, std::int64_t{drive.isConnected},
         optionalText(drive.backendIdentifier), std::int64_t{drive.isBackendEnforced},
         optionalText(drive.mountPoint), drive.identifier});
    if (!updated) return std::unexpected(updated.error());
    auto account = dbQueue_->execute(
        "UPDATE Accounts SET cacheVolumeUUID = ?, cacheVolumeName = ?, cacheVolumePath = ? "
        "WHERE accountIdentifier = ?",
        {optionalText(drive.cacheVolumeUUID), optionalText(drive.cacheVolumeName),
         optionalText(drive.cacheVolumePath), drive.accountIdentifier});
    if (!account) return std::unexpected(account.error());
    return {};
  });
  if (!done) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Updating a drive failed",
                                  done.error().message));
  }
  logger_.info("Updated drive",
               base::LoggerMetadata{{"driveID", drive.identifier}, {"reason", reason}});
  didChange(drive.identifier);
  return {};
}

std::expected<void, DriveRepositoryError> DriveRepository::markDriveManaged(
    const DriveIdentifier& drive) {
  auto done =
      dbQueue_->execute("UPDATE Drives SET isManaged = 1 WHERE driveIdentifier = ?", {drive});
  if (!done) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Updating a drive failed",
                                  done.error().message));
  }
  didChange(drive);
  return {};
}

std::expected<void, DriveRepositoryError> DriveRepository::updateBackend(
    const DriveIdentifier& drive, const std::optional<std::string>& backendIdentifier,
    bool isBackendEnforced) {
  auto done = dbQueue_->execute(
      "UPDATE Drives SET backendIdentifier = ?, isBackendEnforced = ? WHERE driveIdentifier = ?",
      {optionalText(backendIdentifier), std::int64_t{isBackendEnforced}, drive});
  if (!done) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Updating a drive failed",
                                  done.error().message));
  }
  didChange(drive);
  return {};
}

std::expected<bool, DriveRepositoryError> DriveRepository::markDriveNeedsReauthentication(
    const Drive& drive) {
  auto changed = dbQueue_->execute(
      "UPDATE Accounts SET requiresReauthentication = 1 WHERE requiresReauthentication = 0 AND "
      "authenticationTimestamp = ? AND accountIdentifier IN (SELECT accountIdentifier FROM DRIVES "
      "WHERE driveIdentifier = ?)",
      {drive.authenticationTimestamp, drive.identifier});
  if (!changed) {
    return std::unexpected(logged(DriveRepositoryError::Code::database,
                                  "Marking drive for reauthentication failed",
                                  changed.error().message));
  }
  if (*changed > 0) didChange(drive.identifier);
  return *changed > 0;
}

std::expected<CloudConfiguration, DriveRepositoryError> DriveRepository::configuration(
    const DriveIdentifier& drive) {
  auto accountRows =
      dbQueue_->query("SELECT accountIdentifier FROM Drives WHERE driveIdentifier = ?", {drive});
  if (!accountRows) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Reading a drive failed",
                                  accountRows.error().message));
  }
  if (accountRows->empty()) {
    return std::unexpected(logged(DriveRepositoryError::Code::notFound, "Drive not found", drive));
  }
  auto account = sqlText(accountRows->front()[0]).value_or("");
  auto timestampRows = dbQueue_->query(
      "SELECT cloudConfigurationTimestamp FROM Accounts WHERE accountIdentifier = ?", {account});
  if (!timestampRows || timestampRows->empty()) {
    return std::unexpected(logged(DriveRepositoryError::Code::notFound,
                                  "Linked account not found while reading cloud configuration",
                                  timestampRows ? account : timestampRows.error().message));
  }
  auto timestamp = sqlText(timestampRows->front()[0]).value_or("");
  auto configuration = cloudConfigurationStorage_->configuration(account, timestamp);
  if (!configuration) {
    return std::unexpected(DriveRepositoryError{DriveRepositoryError::Code::configuration,
                                                configuration.error().message});
  }
  return *configuration;
}

std::expected<std::vector<DriveIdentifier>, DriveRepositoryError>
DriveRepository::allDriveIdentifiers() {
  auto drives = allDrives();
  if (!drives) return std::unexpected(drives.error());
  std::vector<DriveIdentifier> identifiers;
  for (const auto& drive : *drives) identifiers.push_back(drive.identifier);
  return identifiers;
}

std::expected<void, DriveRepositoryError> DriveRepository::updateImportInfo(
    const ImportInfo& info, const DriveIdentifier& drive) {
  SQLValue identity = nullptr;
  if (info.backingStoreIdentity) identity = SQLBlob{*info.backingStoreIdentity};
  SQLValue start = nullptr;
  if (info.startTime) start = base::formatISO8601(*info.startTime);
  auto done = dbQueue_->execute(
      "UPDATE Drives SET fpdBackingStoreIdentity = ?, reimportStartTimestamp = ? WHERE "
      "driveIdentifier = ?",
      {identity, start, drive});
  if (!done) {
    return std::unexpected(logged(DriveRepositoryError::Code::database,
                                  "Failed to save import info", done.error().message));
  }
  if (*done == 0) {
    return std::unexpected(logged(DriveRepositoryError::Code::notFound,
                                  "Failed to save import info", "Drive not found"));
  }
  return {};
}

std::expected<DriveRepository::ImportInfo, DriveRepositoryError> DriveRepository::importInfo(
    const DriveIdentifier& drive) {
  auto rows = dbQueue_->query(
      "SELECT fpdBackingStoreIdentity, reimportStartTimestamp FROM Drives WHERE driveIdentifier = "
      "?",
      {drive});
  if (!rows) {
    return std::unexpected(logged(DriveRepositoryError::Code::database, "Reading a drive failed",
                                  rows.error().message));
  }
  if (rows->empty()) {
    return std::unexpected(logged(DriveRepositoryError::Code::notFound, "Drive not found", drive));
  }
  ImportInfo info;
  info.backingStoreIdentity = textOrBlob(rows->front()[0]);
  if (auto start = sqlText(rows->front()[1])) info.startTime = base::parseISO8601(*start);
  return info;
}

}  // namespace tarnix::common
