#include "fileprovider/items/FileProviderStatusProvider.hpp"

#include <utility>

namespace tarnix::fileprovider {

std::shared_ptr<FileProviderStatusProvider> FileProviderStatusProvider::make(
    fp::ManagerPtr fileProviderManager, std::shared_ptr<common::DriveRepository> driveRepository,
    common::Drive drive, std::shared_ptr<const common::FeatureList> featureList,
    base::Logger logger, std::shared_ptr<platform::DistributedNotificationCenter> center) {
  return std::shared_ptr<FileProviderStatusProvider>(new FileProviderStatusProvider(
      std::move(fileProviderManager), std::move(driveRepository), std::move(drive),
      std::move(featureList), std::move(logger), std::move(center)));
}

FileProviderStatusProvider::FileProviderStatusProvider(
    fp::ManagerPtr manager, std::shared_ptr<common::DriveRepository> driveRepository,
    common::Drive drive, std::shared_ptr<const common::FeatureList> featureList,
    base::Logger logger, std::shared_ptr<platform::DistributedNotificationCenter> center)
    : fileProviderManager_(std::move(manager)),
      driveRepository_(std::move(driveRepository)),
      drive_(std::move(drive)),
      featureList_(std::move(featureList)),
      logger_(std::move(logger)),
      notificationCenter_(std::move(center)) {
  needsReauthentication_ = drive_.requiresReauthentication;
}

FileProviderStatusProvider::~FileProviderStatusProvider() {
  monitorTask_.reset();
}

void FileProviderStatusProvider::start() {
  if (notificationCenter_) {
    std::weak_ptr<FileProviderStatusProvider> weak = weak_from_this();
    const auto driveIdentifier = drive_.identifier;
    monitorTask_ = notificationCenter_->addObserver(
        common::kDriveRepositoryDidChangeDrive,
        [weak, driveIdentifier](const std::string&, const std::string& object) {
          if (object != driveIdentifier) return;
          if (auto self = weak.lock()) self->reloadAuthenticationStatus();
        });
  }
  reloadAuthenticationStatus();
}

void FileProviderStatusProvider::stop() {
  stopped_ = true;
  monitorTask_.reset();
  serialQueue_.drain();
}

std::optional<fp::Error> FileProviderStatusProvider::currentError() const {
  if (needsReauthentication_.load()) return fp::Error(fp::FileProviderErrorCode::notAuthenticated);
  if (!serverIsReachable_.load()) return fp::Error(fp::FileProviderErrorCode::serverUnreachable);
  return std::nullopt;
}

void FileProviderStatusProvider::reloadAuthenticationStatus() {
  std::weak_ptr<FileProviderStatusProvider> weak = weak_from_this();
  serialQueue_.async([weak] {
    auto self = weak.lock();
    if (!self || self->stopped_ || !self->driveRepository_) return;
    auto drive = self->driveRepository_->optionalDrive(self->drive_.identifier);
    if (!drive || !*drive) return;
    const bool needs = (*drive)->requiresReauthentication;
    if (self->needsReauthentication_.exchange(needs) != needs) {
      self->logger_.info("Authentication status changed", {{"needsReauthentication", needs}});
      self->signalWorkingSet();
    }
  });
}

void FileProviderStatusProvider::serverReachabilityChanged(bool isReachable) {
  std::weak_ptr<FileProviderStatusProvider> weak = weak_from_this();
  serialQueue_.async([weak, isReachable] {
    auto self = weak.lock();
    if (!self || self->stopped_) return;
    if (self->serverIsReachable_.exchange(isReachable) == isReachable) return;
    if (isReachable) self->logger_.info("Server became reachable");
    self->signalWorkingSet();
  });
}

void FileProviderStatusProvider::signalWorkingSet() {
  if (!fileProviderManager_) return;
  const auto logger = logger_;
  fileProviderManager_->signalEnumerator(
      fp::ItemIdentifier::workingSet(), [logger](std::optional<fp::Error> error) {
        if (error) logger.error("Signalling working set failed", {{"error", *error}});
      });
}

}  // namespace tarnix::fileprovider
