#include "common/ContainerStores.hpp"

#include "platform/FileManager.hpp"
#include "platform/KeychainItemStore.hpp"

namespace tarnix::common {
namespace {

std::unexpected<ContainerStoresError> failure(std::string message) {
  return std::unexpected(ContainerStoresError{std::move(message)});
}

}  // namespace

std::filesystem::path accountCredentialsFolder(const std::filesystem::path& internalDataURL) {
  return internalDataURL / "Credentials";
}

std::expected<ContainerStores, ContainerStoresError> ContainerStores::open(
    std::optional<std::filesystem::path> containerRoot, base::Logger logger,
    std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter) {
  auto definitions = DesktopAppGroupDefinitions::make(std::move(containerRoot), logger);
  if (!definitions) return failure(definitions.error().message);
  auto group = DesktopAppGroup::make(std::move(*definitions), logger);
  if (!group) return failure(group.error().message);
  const auto& paths = (*group)->knownPaths();
  auto databasePath = paths.knownPathURL(KnownPath::mainDatabase(), true);
  if (!databasePath) return failure("Unable to create the main database's folder");
  auto configurationsPath = paths.knownPathURL(KnownPath::cloudConfigurations(), true);
  if (!configurationsPath) return failure("Unable to create the cloud configurations folder");
  auto database = MainDatabase::open(*databasePath, logger);
  if (!database) {
    return failure("Opening the main database " + databasePath->string() +
                   " failed: " + database.error().message);
  }

  ContainerStores stores;
  stores.group = std::move(*group);
  stores.database = std::move(*database);
  stores.keychainStorage = std::make_shared<AccountKeychainStorage>(
      std::make_shared<platform::KeychainItemStore>(
          accountCredentialsFolder(stores.group->internalDataURL())),
      logger);
  stores.cloudConfigurationStorage = std::make_shared<CloudConfigurationStorage>(
      *configurationsPath, platform::FileManager::local(), logger);
  stores.driveRepository = std::make_shared<DriveRepository>(
      stores.database, stores.keychainStorage, stores.cloudConfigurationStorage,
      std::move(notificationCenter), logger);
  return stores;
}

}  // namespace tarnix::common
