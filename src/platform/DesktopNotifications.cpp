#include "platform/DesktopNotifications.hpp"

#include <systemd/sd-bus.h>

#include <cstring>
#include <mutex>

namespace tarnix::platform {
namespace {
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kObjectPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
// The server's default display time.
constexpr std::int32_t kDefaultTimeout = -1;

std::string busErrorText(const std::string& what, int r) {
  return what + ": " + std::strerror(-r);
}
}  // namespace

struct DesktopNotifications::Impl {
  base::Logger logger = base::Logger::null();
  std::mutex mutex;  // guards bus
  sd_bus* bus = nullptr;

  ~Impl() {
    if (bus) sd_bus_flush_close_unref(bus);
  }
};

DesktopNotifications::DesktopNotifications(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DesktopNotifications::~DesktopNotifications() = default;

std::expected<std::shared_ptr<DesktopNotifications>, std::string>
DesktopNotifications::connectSessionBus(base::Logger logger) {
  auto impl = std::make_unique<Impl>();
  impl->logger = std::move(logger);
  if (int r = sd_bus_open_user(&impl->bus); r < 0) {
    return std::unexpected(busErrorText("Connecting to the session bus", r));
  }
  return std::shared_ptr<DesktopNotifications>(new DesktopNotifications(std::move(impl)));
}

bool DesktopNotifications::show(const DesktopNotification& notification) {
  std::lock_guard guard(impl_->mutex);
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  // Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as,
  //        hints a{sv}, expire_timeout i) -> id u
  int r = sd_bus_message_new_method_call(impl_->bus, &call, kService, kObjectPath, kInterface,
                                         "Notify");
  if (r >= 0)
    r = sd_bus_message_append(call, "susss", notification.applicationName.c_str(), 0u, "",
                              notification.summary.c_str(), notification.body.c_str());
  if (r >= 0) r = sd_bus_message_append(call, "as", 0);
  if (r >= 0) {
    if (notification.category.empty()) {
      r = sd_bus_message_append(call, "a{sv}", 0);
    } else {
      r = sd_bus_message_append(call, "a{sv}", 1, "category", "s", notification.category.c_str());
    }
  }
  if (r >= 0) r = sd_bus_message_append(call, "i", kDefaultTimeout);
  if (r >= 0) r = sd_bus_call(impl_->bus, call, 0, &error, &reply);
  const bool shown = r >= 0;
  if (!shown) {
    impl_->logger.warning(
        "Showing desktop notification failed",
        base::LoggerMetadata{
            {"error", error.message ? std::string(error.message) : busErrorText("Notify", r)}});
  }
  sd_bus_error_free(&error);
  if (reply) sd_bus_message_unref(reply);
  if (call) sd_bus_message_unref(call);
  return shown;
}

std::function<void(const DesktopNotification&)> lazySessionBusNotifications(base::Logger logger) {
  struct Connection {
    std::once_flag once;
    std::shared_ptr<DesktopNotifications> notifications;
  };
  auto connection = std::make_shared<Connection>();
  return [connection, logger](const DesktopNotification& notification) {
    std::call_once(connection->once, [&] {
      auto connected =
          DesktopNotifications::connectSessionBus(logger.child("DesktopNotifications"));
      if (!connected) {
        logger.warning("No desktop notifications: " + connected.error());
        return;
      }
      connection->notifications = std::move(*connected);
    });
    if (connection->notifications) connection->notifications->show(notification);
  };
}

}  // namespace tarnix::platform
