#include "platform/DistributedNotificationCenter.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace tarnix::platform {
namespace {
constexpr const char* kObjectPath = "/com/tarnix/DistributedNotificationCenter";
constexpr const char* kInterface = "com.tarnix.DistributedNotificationCenter";
constexpr const char* kMember = "Notification";

std::string busErrorText(const std::string& what, int r) {
  return what + ": " + std::strerror(-r);
}
}  // namespace

std::shared_ptr<void> NotificationObservers::add(std::string name,
                                                 DistributedNotificationCenter::Observer observer) {
  auto subscription = std::make_shared<Subscription>(std::move(name), std::move(observer));
  std::lock_guard guard(mutex_);
  std::erase_if(subscriptions_, [](const auto& weak) { return weak.expired(); });
  subscriptions_.push_back(subscription);
  return subscription;
}

void NotificationObservers::deliver(const std::string& name, const std::string& object) {
  std::vector<std::shared_ptr<Subscription>> targets;
  {
    std::lock_guard guard(mutex_);
    for (auto& weak : subscriptions_) {
      if (auto subscription = weak.lock(); subscription && subscription->name == name) {
        targets.push_back(std::move(subscription));
      }
    }
  }
  for (auto& target : targets) target->observer(name, object);
}

void InProcessNotificationCenter::post(const std::string& name, const std::string& object) {
  observers_.deliver(name, object);
}

std::shared_ptr<void> InProcessNotificationCenter::addObserver(std::string name,
                                                               Observer observer) {
  return observers_.add(std::move(name), std::move(observer));
}

struct DBusNotificationCenter::Impl {
  base::Logger logger;
  std::mutex sendMutex;  // guards sendBus
  sd_bus* sendBus = nullptr;
  sd_bus* receiveBus = nullptr;  // used by the delivery thread only
  sd_bus_slot* match = nullptr;
  int stopFd = -1;
  std::thread thread;
  NotificationObservers observers;

  explicit Impl(base::Logger l) : logger(std::move(l)) {}

  ~Impl() {
    if (thread.joinable()) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(stopFd, &one, sizeof one);
      thread.join();
    }
    if (match) sd_bus_slot_unref(match);
    if (receiveBus) sd_bus_flush_close_unref(receiveBus);
    if (sendBus) sd_bus_flush_close_unref(sendBus);
    if (stopFd >= 0) ::close(stopFd);
  }

  static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<Impl*>(userdata);
    const char* name = nullptr;
    const char* object = nullptr;
    if (sd_bus_message_read(message, "ss", &name, &object) < 0) {
      self->logger.warning("Dropped a malformed distributed notification");
      return 0;
    }
    self->observers.deliver(name, object);
    return 0;
  }

  void run() {
    for (;;) {
      int r = sd_bus_process(receiveBus, nullptr);
      if (r < 0) {
        logger.error("Distributed notification bus failed",
                     base::LoggerMetadata{{"error", busErrorText("sd_bus_process", r)}});
        return;
      }
      if (r > 0) continue;
      pollfd fds[2] = {
          {sd_bus_get_fd(receiveBus), static_cast<short>(sd_bus_get_events(receiveBus)), 0},
          {stopFd, POLLIN, 0}};
      if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return;
      if (fds[1].revents) return;
    }
  }
};

DBusNotificationCenter::DBusNotificationCenter(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)) {}

DBusNotificationCenter::~DBusNotificationCenter() = default;

std::expected<std::shared_ptr<DBusNotificationCenter>, NotificationCenterError>
DBusNotificationCenter::connectSessionBus(base::Logger logger) {
  auto impl = std::make_unique<Impl>(std::move(logger));
  if (int r = sd_bus_open_user(&impl->sendBus); r < 0) {
    return std::unexpected(
        NotificationCenterError{busErrorText("Connecting to the session bus", r)});
  }
  if (int r = sd_bus_open_user(&impl->receiveBus); r < 0) {
    return std::unexpected(
        NotificationCenterError{busErrorText("Connecting to the session bus", r)});
  }
  if (int r = sd_bus_match_signal(impl->receiveBus, &impl->match, nullptr, kObjectPath, kInterface,
                                  kMember, &Impl::onSignal, impl.get());
      r < 0) {
    return std::unexpected(
        NotificationCenterError{busErrorText("Subscribing to notifications", r)});
  }
  // The match is in place once the bus has answered; a post made after this call is seen.
  while (true) {
    int r = sd_bus_process(impl->receiveBus, nullptr);
    if (r < 0)
      return std::unexpected(NotificationCenterError{busErrorText("Processing the bus", r)});
    if (r == 0) break;
  }
  impl->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->stopFd < 0) return std::unexpected(NotificationCenterError{"eventfd failed"});
  auto* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::shared_ptr<DBusNotificationCenter>(new DBusNotificationCenter(std::move(impl)));
}

void DBusNotificationCenter::post(const std::string& name, const std::string& object) {
  std::lock_guard guard(impl_->sendMutex);
  int r = sd_bus_emit_signal(impl_->sendBus, kObjectPath, kInterface, kMember, "ss", name.c_str(),
                             object.c_str());
  if (r >= 0) r = sd_bus_flush(impl_->sendBus);
  if (r < 0) {
    impl_->logger.error("Posting distributed notification failed",
                        base::LoggerMetadata{{"name", name}, {"error", busErrorText("emit", r)}});
  }
}

std::shared_ptr<void> DBusNotificationCenter::addObserver(std::string name, Observer observer) {
  return impl_->observers.add(std::move(name), std::move(observer));
}

}  // namespace tarnix::platform
