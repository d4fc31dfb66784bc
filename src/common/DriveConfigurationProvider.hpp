#pragma once
// The cloud configuration of one drive as a current value: it starts with the default
// configuration and takes the drive's stored configuration whenever the repository reports a
// change of the drive or another process asks for a refresh
// ("com.tarnix.WillInvalidateCloudConfiguration", object: the request identifier). A refresh
// is answered on the center it came from with "com.tarnix.DidApplyCloudConfiguration".
//
// Thread-safe. Changes and requests are handled on the serial queue
// "com.tarnix.DriveConfigurationProvider"; subscribers are called there, in order.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/CloudConfiguration.hpp"
#include "common/DriveRepository.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::common {

inline constexpr const char* kWillInvalidateCloudConfiguration =
    "com.tarnix.WillInvalidateCloudConfiguration";
inline constexpr const char* kDidApplyCloudConfiguration = "com.tarnix.DidApplyCloudConfiguration";
inline constexpr const char* kDidApplyCloudConfigurationForAccount =
    "com.tarnix.DidApplyCloudConfigurationForAccount";

/// A request to re-read the configuration, and its answer on the center it came from (held
/// weakly: when the center is gone, nothing is posted).
class CloudConfigurationRefreshRequest {
 public:
  CloudConfigurationRefreshRequest(std::string identifier,
                                   std::weak_ptr<platform::DistributedNotificationCenter> center)
      : identifier_(std::move(identifier)), center_(std::move(center)) {}
  const std::string& identifier() const { return identifier_; }
  void didApplyConfiguration() const { post(kDidApplyCloudConfiguration); }
  void didApplyConfigurationForAccount() const { post(kDidApplyCloudConfigurationForAccount); }

 private:
  void post(const char* name) const {
    if (auto center = center_.lock()) center->post(name, identifier_);
  }
  std::string identifier_;
  std::weak_ptr<platform::DistributedNotificationCenter> center_;
};

class DriveConfigurationProvider : public std::enable_shared_from_this<DriveConfigurationProvider> {
 public:
  using Observer = std::function<void(const CloudConfiguration&)>;

  /// `notificationCenter` carries the repository's drive changes and local refresh requests;
  /// `distributedNotificationCenter` the requests of other processes. Call `start` once.
  static std::shared_ptr<DriveConfigurationProvider> make(
      std::shared_ptr<DriveConfigurationSource> repository, DriveIdentifier drive,
      std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
      std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
      base::Logger logger);
  ~DriveConfigurationProvider();

  /// Subscribes and reads the stored configuration once.
  void start();
  /// Ends the subscriptions and waits for work in flight.
  void stop();

  CloudConfiguration value() const;
  /// Calls `observer` with the current value (on the caller's thread, before returning), then
  /// with every emitted one (on the queue), until the token is released. The observer sees the
  /// values in the order they were taken, never an older one after a newer one, and the last
  /// value it sees is the latest; it is never called twice at once.
  std::shared_ptr<void> subscribe(Observer observer);

  /// True when any drive of `repository` has a configuration with `appLevelUIEnabled`; drives
  /// whose configuration can't be read are skipped.
  static bool isALUIEnabled(DriveConfigurationSource& repository);

 private:
  DriveConfigurationProvider(
      std::shared_ptr<DriveConfigurationSource> repository, DriveIdentifier drive,
      std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
      std::shared_ptr<platform::DistributedNotificationCenter> distributed, base::Logger logger);
  /// On the queue: reads and emits; false when the configuration could not be read.
  bool reload();
  void handleRefresh(const CloudConfigurationRefreshRequest& request);

  // One subscriber: what it has been given so far, and the lock that keeps its calls one at a
  // time and in order. Lock order: a subscription's mutex before `mutex_`, never the reverse.
  struct Subscription {
    explicit Subscription(Observer observer) : observer(std::move(observer)) {}
    /// Calls the observer with `value` unless it has already seen a value as new or newer.
    void deliver(const CloudConfiguration& value, std::uint64_t generation);

    Observer observer;
    std::mutex mutex;
    std::uint64_t delivered = 0;  // guarded by mutex; generation of the last value given
  };

  std::shared_ptr<DriveConfigurationSource> repository_;
  DriveIdentifier drive_;
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.DriveConfigurationProvider"};

  mutable std::mutex mutex_;  // guards the fields below
  CloudConfiguration value_ = CloudConfiguration::defaultConfiguration();
  std::uint64_t generation_ = 1;  // grows with every value taken
  std::vector<std::weak_ptr<Subscription>> subscriptions_;
  std::vector<std::shared_ptr<void>> observations_;
};

}  // namespace tarnix::common
