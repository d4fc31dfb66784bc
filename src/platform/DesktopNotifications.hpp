#pragma once
// Notifications shown to the user on the desktop, through the notification server of the
// session bus ("org.freedesktop.Notifications"). A machine without a session bus or without a
// notification server shows nothing: the failure is logged, never raised to the caller.
//
// Thread-safe: calls on the bus are serialised.

#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "base/Logger.hpp"

namespace tarnix::platform {

struct DesktopNotification {
  /// Shown as the sender's name.
  std::string applicationName = "Tarnix";
  std::string summary;
  std::string body;
  /// The notification's category hint (for example "transfer.error").
  std::string category;
};

class DesktopNotifications {
 public:
  /// Connects to the user's session bus.
  static std::expected<std::shared_ptr<DesktopNotifications>, std::string> connectSessionBus(
      base::Logger logger);
  ~DesktopNotifications();

  /// Hands `notification` to the notification server; false (logged "Showing desktop
  /// notification failed") when it cannot be shown.
  bool show(const DesktopNotification& notification);

  struct Impl;

 private:
  explicit DesktopNotifications(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// Shows each notification on the session bus, connected at the first one; without a bus or a
/// server that is logged once ("No desktop notifications: ...") and nothing is shown, then or
/// later. Thread-safe.
std::function<void(const DesktopNotification&)> lazySessionBusNotifications(base::Logger logger);

}  // namespace tarnix::platform
