#include "common/DriveConfigurationProvider.hpp"

namespace tarnix::common {

DriveConfigurationProvider::DriveConfigurationProvider(
    std::shared_ptr<DriveConfigurationSource> repository, DriveIdentifier drive,
    std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
    std::shared_ptr<platform::DistributedNotificationCenter> distributed, base::Logger logger)
    : repository_(std::move(repository)),
      drive_(std::move(drive)),
      notificationCenter_(std::move(notificationCenter)),
      distributedNotificationCenter_(std::move(distributed)),
      logger_(std::move(logger)) {}

std::shared_ptr<DriveConfigurationProvider> DriveConfigurationProvider::make(
    std::shared_ptr<DriveConfigurationSource> repository, DriveIdentifier drive,
    std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
    std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
    base::Logger logger) {
  return std::shared_ptr<DriveConfigurationProvider>(new DriveConfigurationProvider(
      std::move(repository), std::move(drive), std::move(notificationCenter),
      std::move(distributedNotificationCenter), std::move(logger)));
}

DriveConfigurationProvider::~DriveConfigurationProvider() {
  stop();
}

void DriveConfigurationProvider::start() {
  std::weak_ptr<DriveConfigurationProvider> weak = weak_from_this();
  std::vector<std::shared_ptr<void>> observations;
  if (notificationCenter_) {
    observations.push_back(notificationCenter_->addObserver(
        kDriveRepositoryDidChangeDrive, [weak](const std::string&, const std::string& object) {
          auto self = weak.lock();
          if (!self || object != self->drive_) return;  // the drive event filter
          self->serialQueue_.async([weak] {
            if (auto provider = weak.lock()) provider->reload();
          });
        }));
  }
  for (const auto& center : {notificationCenter_, distributedNotificationCenter_}) {
    if (!center) continue;
    std::weak_ptr<platform::DistributedNotificationCenter> weakCenter = center;
    observations.push_back(
        center->addObserver(kWillInvalidateCloudConfiguration,
                            [weak, weakCenter](const std::string&, const std::string& object) {
                              auto self = weak.lock();
                              if (!self) return;
                              CloudConfigurationRefreshRequest request(object, weakCenter);
                              self->serialQueue_.async([weak, request] {
                                if (auto provider = weak.lock()) provider->handleRefresh(request);
                              });
                            }));
  }
  {
    std::lock_guard guard(mutex_);
    observations_ = std::move(observations);
  }
  serialQueue_.async([weak] {
    if (auto provider = weak.lock()) provider->reload();
  });
}

void DriveConfigurationProvider::stop() {
  std::vector<std::shared_ptr<void>> observations;
  {
    std::lock_guard guard(mutex_);
    observations.swap(observations_);
  }
  observations.clear();
  if (!serialQueue_.isCurrent()) serialQueue_.drain();
}

CloudConfiguration DriveConfigurationProvider::value() const {
  std::lock_guard guard(mutex_);
  return value_;
}

void DriveConfigurationProvider::Subscription::deliver(const CloudConfiguration& value,
                                                       std::uint64_t generation) {
  std::lock_guard guard(mutex);
  if (generation <= delivered) return;
  delivered = generation;
  observer(value);
}

std::shared_ptr<void> DriveConfigurationProvider::subscribe(Observer observer) {
  auto subscription = std::make_shared<Subscription>(std::move(observer));
  // Holding the subscription's lock from before it can be found, the first value goes out
  // before any emission reaches it; an emission that took a newer value meanwhile follows it.
  std::lock_guard first(subscription->mutex);
  CloudConfiguration value;
  std::uint64_t generation;
  {
    std::lock_guard guard(mutex_);
    subscriptions_.push_back(subscription);
    value = value_;
    generation = generation_;
  }
  subscription->delivered = generation;
  subscription->observer(value);
  return subscription;
}

bool DriveConfigurationProvider::reload() {
  auto configuration = repository_->configuration(drive_);
  if (!configuration) {
    // Keep the last value: a damaged or missing file must not switch features back to defaults.
    logger_.warning(
        "Keeping the last cloud configuration",
        base::LoggerMetadata{{"driveID", drive_}, {"error", configuration.error().message}});
    return false;
  }
  std::vector<std::shared_ptr<Subscription>> targets;
  std::uint64_t generation;
  {
    std::lock_guard guard(mutex_);
    value_ = *configuration;
    generation = ++generation_;
    std::erase_if(subscriptions_, [](const auto& weak) { return weak.expired(); });
    for (auto& weak : subscriptions_) {
      if (auto subscription = weak.lock()) targets.push_back(std::move(subscription));
    }
  }
  for (auto& target : targets) target->deliver(*configuration, generation);
  return true;
}

void DriveConfigurationProvider::handleRefresh(const CloudConfigurationRefreshRequest& request) {
  reload();
  request.didApplyConfiguration();
}

bool DriveConfigurationProvider::isALUIEnabled(DriveConfigurationSource& repository) {
  auto drives = repository.allDriveIdentifiers();
  if (!drives) return false;
  for (const auto& drive : *drives) {
    auto configuration = repository.configuration(drive);
    if (configuration && configuration->appLevelUIEnabled) return true;
  }
  return false;
}

}  // namespace tarnix::common
