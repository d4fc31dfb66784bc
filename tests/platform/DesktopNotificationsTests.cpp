// Desktop notifications through the session bus's notification server: what the server gets,
// and what happens without a server or without a bus (nothing shown, nothing thrown).
#include "platform/DesktopNotifications.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/PlatformTestSupport.hpp"

namespace tarnix::testing {
namespace {

using platform::DesktopNotification;
using platform::DesktopNotifications;

bool haveSessionBus() {
  return std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
}

// A notification server on the session bus that records every Notify call.
class FakeNotificationServer {
 public:
  struct Received {
    std::string application;
    std::string summary;
    std::string body;
    std::string category;
  };

  /// False when the name cannot be owned (another server holds it, or there is no bus).
  bool start() {
    if (sd_bus_open_user(&bus_) < 0) return false;
    if (sd_bus_add_object_vtable(bus_, &slot_, "/org/freedesktop/Notifications",
                                 "org.freedesktop.Notifications", kVtable, this) < 0)
      return false;
    if (sd_bus_request_name(bus_, "org.freedesktop.Notifications", 0) < 0) return false;
    thread_ = std::thread([this] {
      while (!stop_) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 50'000);
      }
    });
    return true;
  }
  ~FakeNotificationServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (slot_) sd_bus_slot_unref(slot_);
    if (bus_) sd_bus_flush_close_unref(bus_);
  }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  static int onNotify(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FakeNotificationServer*>(userdata);
    const char* application = nullptr;
    std::uint32_t replaces = 0;
    const char* icon = nullptr;
    const char* summary = nullptr;
    const char* body = nullptr;
    if (sd_bus_message_read(message, "susss", &application, &replaces, &icon, &summary, &body) < 0)
      return -EINVAL;
    sd_bus_message_skip(message, "as");
    Received received{application, summary, body, {}};
    sd_bus_message_enter_container(message, 'a', "{sv}");
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
      const char* key = nullptr;
      sd_bus_message_read(message, "s", &key);
      const char* value = nullptr;
      if (std::string(key) == "category" && sd_bus_message_enter_container(message, 'v', "s") > 0) {
        sd_bus_message_read(message, "s", &value);
        received.category = value;
        sd_bus_message_exit_container(message);
      } else {
        sd_bus_message_skip(message, "v");
      }
      sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
    {
      std::lock_guard lock(self->mutex_);
      self->received_.push_back(std::move(received));
    }
    return sd_bus_reply_method_return(message, "u", 7u);
  }
  static const sd_bus_vtable kVtable[];

  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<Received> received_;
};

const sd_bus_vtable FakeNotificationServer::kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", FakeNotificationServer::onNotify,
                  SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

TEST(DesktopNotifications, TheNotificationServerGetsSummaryBodyAndCategory) {
  if (!haveSessionBus()) GTEST_SKIP() << "no session bus (scripts/run-tests starts one)";
  FakeNotificationServer server;
  if (!server.start()) GTEST_SKIP() << "another notification server owns the name";
  auto notifications = DesktopNotifications::connectSessionBus(base::Logger::null());
  ASSERT_TRUE(notifications) << notifications.error();
  EXPECT_TRUE((*notifications)
                  ->show({"Tarnix", "Could not upload \"a.txt\"", "The cloud storage is full.",
                          "transfer.error"}));
  auto received = server.received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].application, "Tarnix");
  EXPECT_EQ(received[0].summary, "Could not upload \"a.txt\"");
  EXPECT_EQ(received[0].body, "The cloud storage is full.");
  EXPECT_EQ(received[0].category, "transfer.error");
}

TEST(DesktopNotifications, WithoutServerOrBusNothingIsShownAndNothingFails) {
  auto sink = std::make_shared<RecordingLogSink>();
  bool nobodyServes = false;
  if (haveSessionBus()) {
    // A server that could take the name shows that nobody else serves notifications here.
    FakeNotificationServer probe;
    nobodyServes = probe.start();
  }
  if (nobodyServes) {
    auto notifications = DesktopNotifications::connectSessionBus(recordingLogger(sink));
    ASSERT_TRUE(notifications) << notifications.error();
    EXPECT_FALSE((*notifications)->show({"Tarnix", "summary", "body", ""}));
    EXPECT_EQ(sink->count("Showing desktop notification failed"), 1u);
  }
  const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string saved = previous ? previous : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarnix-test-bus", 1);
  auto connected = DesktopNotifications::connectSessionBus(base::Logger::null());
  if (previous)
    ::setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
  else
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_FALSE(connected);
}

}  // namespace
}  // namespace tarnix::testing
