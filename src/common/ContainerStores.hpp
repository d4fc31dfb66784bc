#pragma once
// The stores every process of the product opens from the shared container: the container
// itself, the main database, the account credentials, the cloud configurations and the drive
// repository over them. Commands and hosts open them once with `open` and share them.

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "common/AccountKeychainStorage.hpp"
#include "common/CloudConfigurationStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/DriveRepository.hpp"
#include "common/MainDatabase.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::common {

struct ContainerStoresError {
  /// A sentence naming what could not be opened and why.
  std::string message;
};

/// The folder of the per-account credential files ("Credentials" in the internal data
/// directory): the one place every process looks for them.
std::filesystem::path accountCredentialsFolder(const std::filesystem::path& internalDataURL);

struct ContainerStores {
  std::shared_ptr<DesktopAppGroup> group;
  std::shared_ptr<MainDatabase> database;
  std::shared_ptr<AccountKeychainStorage> keychainStorage;
  std::shared_ptr<CloudConfigurationStorage> cloudConfigurationStorage;
  std::shared_ptr<DriveRepository> driveRepository;

  /// Sets up the container at `containerRoot` (none: no container, an error), creates the
  /// folders the stores need and opens them. `notificationCenter` may be null (no change
  /// notifications are posted then).
  static std::expected<ContainerStores, ContainerStoresError> open(
      std::optional<std::filesystem::path> containerRoot, base::Logger logger,
      std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter = nullptr);
};

}  // namespace tarnix::common
