#pragma once
// The drives and accounts of the main database, as the extension reads and updates them.
//
// Thread-safe: every statement runs on the main database's writer queue. Every failure is
// logged and returned with one of the texts below.

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "base/Logger.hpp"
#include "common/AccountKeychainStorage.hpp"
#include "common/CloudConfigurationStorage.hpp"
#include "common/Drive.hpp"
#include "common/MainDatabase.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::common {

/// Posted on the repository's notification center after a drive changed; object: the drive id.
inline constexpr const char* kDriveRepositoryDidChangeDrive =
    "com.tarnix.DriveRepositoryDidChangeDrive";

struct DriveRepositoryError {
  enum class Code { notFound, labelTaken, database, configuration };
  Code code = Code::database;
  /// "Reading all drives failed", "Drive not found", ...
  std::string message;
};

/// Where a drive's configuration comes from (the repository; fakes in tests).
class DriveConfigurationSource {
 public:
  virtual ~DriveConfigurationSource() = default;
  virtual std::expected<CloudConfiguration, DriveRepositoryError> configuration(
      const DriveIdentifier& drive) = 0;
  virtual std::expected<std::vector<DriveIdentifier>, DriveRepositoryError>
  allDriveIdentifiers() = 0;
};

class DriveRepository final : public DriveConfigurationSource {
 public:
  struct ImportInfo {
    std::optional<std::string> backingStoreIdentity;  // bytes
    std::optional<base::Date> startTime;
    bool operator==(const ImportInfo&) const = default;
  };

  DriveRepository(std::shared_ptr<MainDatabase> dbQueue,
                  std::shared_ptr<AccountKeychainStorage> keychainStorage,
                  std::shared_ptr<CloudConfigurationStorage> cloudConfigurationStorage,
                  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
                  base::Logger logger);

  std::expected<std::vector<Drive>, DriveRepositoryError> allDrives();
  std::expected<std::vector<Drive>, DriveRepositoryError> allFpDrives();
  std::expected<std::vector<Drive>, DriveRepositoryError> allNearboxDrives();
  std::expected<std::optional<Drive>, DriveRepositoryError> optionalDrive(
      const DriveIdentifier& identifier);
  /// Fails "Drive not found" when there is none.
  std::expected<Drive, DriveRepositoryError> drive(const DriveIdentifier& identifier);

  /// Writes the connection state, backend and mount point, the cache volume of the account,
  /// and the label (refused when another drive has it).
  std::expected<void, DriveRepositoryError> updateDrive(const Drive& drive,
                                                        const std::string& reason);
  std::expected<void, DriveRepositoryError> updateLabel(const DriveIdentifier& drive,
                                                        const std::string& label);
  std::expected<void, DriveRepositoryError> markDriveManaged(const DriveIdentifier& drive);
  std::expected<void, DriveRepositoryError> updateBackend(
      const DriveIdentifier& drive, const std::optional<std::string>& backendIdentifier,
      bool isBackendEnforced);
  /// Marks the drive's account when its credentials are still those of `drive`
  /// (same authentication timestamp); returns whether a row changed.
  std::expected<bool, DriveRepositoryError> markDriveNeedsReauthentication(const Drive& drive);

  std::expected<CloudConfiguration, DriveRepositoryError> configuration(
      const DriveIdentifier& drive) override;
  std::expected<std::vector<DriveIdentifier>, DriveRepositoryError> allDriveIdentifiers() override;

  std::expected<void, DriveRepositoryError> updateImportInfo(const ImportInfo& info,
                                                             const DriveIdentifier& drive);
  std::expected<ImportInfo, DriveRepositoryError> importInfo(const DriveIdentifier& drive);

 private:
  std::expected<std::vector<Drive>, DriveRepositoryError> readDrives(
      const std::string& where, const std::vector<SQLValue>& bindings, const char* failureMessage);
  DriveRepositoryError logged(DriveRepositoryError::Code code, const char* message,
                              const std::string& reason) const;
  void didChange(const DriveIdentifier& drive);

  std::shared_ptr<MainDatabase> dbQueue_;
  std::shared_ptr<AccountKeychainStorage> keychainStorage_;
  std::shared_ptr<CloudConfigurationStorage> cloudConfigurationStorage_;
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  base::Logger logger_;
};

}  // namespace tarnix::common
