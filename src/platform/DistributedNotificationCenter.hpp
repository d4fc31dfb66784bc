#pragma once
// Notifications between processes: a name and an object string, delivered to every observer
// of that name in every process on the session (this one included).
//
// DBusNotificationCenter carries each post as a D-Bus signal on the session bus;
// InProcessNotificationCenter delivers within the process only (for processes without a bus,
// and for tests).

#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Logger.hpp"

namespace tarnix::platform {

class DistributedNotificationCenter {
 public:
  using Observer = std::function<void(const std::string& name, const std::string& object)>;
  virtual ~DistributedNotificationCenter() = default;

  /// Sends the notification at once. Thread-safe.
  virtual void post(const std::string& name, const std::string& object) = 0;
  /// Calls `observer` for every notification named `name` until the returned token is released.
  /// Observers run on the center's delivery thread (the poster's thread in process).
  virtual std::shared_ptr<void> addObserver(std::string name, Observer observer) = 0;
};

/// Observers of one center: a list of weakly held subscriptions. Thread-safe.
class NotificationObservers {
 public:
  std::shared_ptr<void> add(std::string name, DistributedNotificationCenter::Observer observer);
  /// Calls, without holding a lock, every live observer of `name`.
  void deliver(const std::string& name, const std::string& object);

 private:
  struct Subscription {
    std::string name;
    DistributedNotificationCenter::Observer observer;
  };
  std::mutex mutex_;
  std::vector<std::weak_ptr<Subscription>> subscriptions_;
};

class InProcessNotificationCenter final : public DistributedNotificationCenter {
 public:
  /// Delivers on the caller's thread, before returning.
  void post(const std::string& name, const std::string& object) override;
  std::shared_ptr<void> addObserver(std::string name, Observer observer) override;

 private:
  NotificationObservers observers_;
};

struct NotificationCenterError {
  std::string message;
};

/// Signals "Notification" (arguments: name, object) of interface
/// "com.tarnix.DistributedNotificationCenter" at path "/com/tarnix/DistributedNotificationCenter".
class DBusNotificationCenter final : public DistributedNotificationCenter {
 public:
  /// Connects to the user's session bus and starts the delivery thread.
  static std::expected<std::shared_ptr<DBusNotificationCenter>, NotificationCenterError>
  connectSessionBus(base::Logger logger);
  ~DBusNotificationCenter() override;

  void post(const std::string& name, const std::string& object) override;
  std::shared_ptr<void> addObserver(std::string name, Observer observer) override;

  struct Impl;

 private:
  explicit DBusNotificationCenter(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarnix::platform
