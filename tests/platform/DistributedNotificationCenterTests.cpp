#include "platform/DistributedNotificationCenter.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/PlatformTestSupport.hpp"
#include "support/ChildRole.hpp"

using tarnix::platform::DBusNotificationCenter;
using tarnix::platform::InProcessNotificationCenter;
namespace t = tarnix::testing;

TEST(InProcessNotificationCenter, DeliversByNameUntilTheTokenGoes) {
  InProcessNotificationCenter center;
  std::vector<std::string> objects;
  auto token =
      center.addObserver("com.tarnix.A", [&](const std::string& name, const std::string& object) {
        EXPECT_EQ(name, "com.tarnix.A");
        objects.push_back(object);
      });
  center.post("com.tarnix.A", "1");
  center.post("com.tarnix.B", "2");
  token.reset();
  center.post("com.tarnix.A", "3");
  EXPECT_EQ(objects, std::vector<std::string>{"1"});
}

namespace {
bool haveSessionBus() {
  return std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr;
}

// The other process: posts one notification whose object is its argument.
const bool kBusSenderRole = t::registerChildRole("bus-sender", [](const std::string& object) {
  auto center = DBusNotificationCenter::connectSessionBus(tarnix::base::Logger::null());
  if (!center) return 1;
  (*center)->post("com.tarnix.WillInvalidateCloudConfiguration", object);
  return 0;
});
}  // namespace

TEST(DBusNotificationCenter, CarriesNameAndObjectBetweenConnectionsAndProcesses) {
  if (!haveSessionBus()) GTEST_SKIP() << "no session bus (scripts/run-tests starts one)";
  auto receiver = DBusNotificationCenter::connectSessionBus(tarnix::base::Logger::null());
  ASSERT_TRUE(receiver) << receiver.error().message;
  std::mutex mutex;
  std::vector<std::string> objects;
  auto token = (*receiver)->addObserver("com.tarnix.WillInvalidateCloudConfiguration",
                                        [&](const std::string&, const std::string& object) {
                                          std::lock_guard guard(mutex);
                                          objects.push_back(object);
                                        });
  auto sender = DBusNotificationCenter::connectSessionBus(tarnix::base::Logger::null());
  ASSERT_TRUE(sender);
  (*sender)->post("com.tarnix.Other", "ignored");
  (*sender)->post("com.tarnix.WillInvalidateCloudConfiguration", "request-1");
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return objects.size() >= 1;
  }));
  auto child = t::runChildRole("bus-sender", "from-child");
  ASSERT_EQ(child.exitStatus, 0) << (child.timedOut ? "timed out " : "") << child.errors;
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return objects.size() >= 2;
  }));
  std::lock_guard guard(mutex);
  EXPECT_EQ(objects, (std::vector<std::string>{"request-1", "from-child"}));
}
