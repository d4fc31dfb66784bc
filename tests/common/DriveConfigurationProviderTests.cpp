#include "common/DriveConfigurationProvider.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/PlatformTestSupport.hpp"

using tarnix::common::CloudConfiguration;
using tarnix::common::DriveConfigurationProvider;
using tarnix::common::DriveRepositoryError;
using tarnix::platform::DBusNotificationCenter;
using tarnix::platform::InProcessNotificationCenter;
namespace t = tarnix::testing;

namespace {
constexpr const char* kDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";

/// Hands out whatever configuration the test set, or a failure.
class FakeSource final : public tarnix::common::DriveConfigurationSource {
 public:
  std::expected<CloudConfiguration, DriveRepositoryError> configuration(
      const std::string&) override {
    std::lock_guard guard(mutex);
    if (!current)
      return std::unexpected(
          DriveRepositoryError{DriveRepositoryError::Code::configuration, "bad"});
    return *current;
  }
  std::expected<std::vector<std::string>, DriveRepositoryError> allDriveIdentifiers() override {
    return std::vector<std::string>{kDrive};
  }
  void set(std::optional<CloudConfiguration> value) {
    std::lock_guard guard(mutex);
    current = std::move(value);
  }
  std::mutex mutex;
  std::optional<CloudConfiguration> current;
};

CloudConfiguration withLsof(double seconds) {
  CloudConfiguration c;
  c.lsofInterval = seconds;
  return c;
}

struct Recorder {
  std::mutex mutex;
  std::vector<double> values;
  void add(const CloudConfiguration& c) {
    std::lock_guard guard(mutex);
    values.push_back(c.lsofInterval);
  }
  std::vector<double> get() {
    std::lock_guard guard(mutex);
    return values;
  }
};
}  // namespace

TEST(DriveConfigurationProvider, FollowsDriveChangesAndKeepsTheLastValueOnFailure) {
  auto source = std::make_shared<FakeSource>();
  auto center = std::make_shared<InProcessNotificationCenter>();
  auto provider = DriveConfigurationProvider::make(source, kDrive, center, nullptr,
                                                   tarnix::base::Logger::null());
  Recorder recorder;
  auto token = provider->subscribe([&](const CloudConfiguration& c) { recorder.add(c); });
  EXPECT_EQ(recorder.get(), std::vector<double>{15.0});  // the default, at once

  source->set(withLsof(30));
  provider->start();
  ASSERT_TRUE(t::eventually([&] { return provider->value().lsofInterval == 30; }));

  source->set(withLsof(45));
  center->post(tarnix::common::kDriveRepositoryDidChangeDrive, "another-drive");  // not ours
  source->set(std::nullopt);  // the stored file no longer decodes
  center->post(tarnix::common::kDriveRepositoryDidChangeDrive, kDrive);
  provider->stop();  // waits for the work in flight
  EXPECT_EQ(provider->value().lsofInterval, 30);
  EXPECT_EQ(recorder.get(), (std::vector<double>{15.0, 30.0}));
}

TEST(DriveConfigurationProvider, AnswersRefreshRequestsOnTheCenterTheyCameFrom) {
  auto source = std::make_shared<FakeSource>();
  auto local = std::make_shared<InProcessNotificationCenter>();
  auto distributed = std::make_shared<InProcessNotificationCenter>();
  auto provider = DriveConfigurationProvider::make(source, kDrive, local, distributed,
                                                   tarnix::base::Logger::null());
  provider->start();
  std::mutex mutex;
  std::vector<std::pair<std::string, double>> answers;  // request, value when answered
  auto onAnswer = [&](const std::string&, const std::string& object) {
    std::lock_guard guard(mutex);
    answers.emplace_back(object, provider->value().lsofInterval);
  };
  auto localToken = local->addObserver(tarnix::common::kDidApplyCloudConfiguration, onAnswer);
  auto distributedToken = distributed->addObserver(
      tarnix::common::kDidApplyCloudConfiguration,
      [&](const std::string& n, const std::string& o) { onAnswer(n, "d:" + o); });
  source->set(withLsof(20));
  distributed->post(tarnix::common::kWillInvalidateCloudConfiguration, "r1");
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return !answers.empty();
  }));
  {
    std::lock_guard guard(mutex);
    EXPECT_EQ(answers, (std::vector<std::pair<std::string, double>>{{"d:r1", 20.0}}));
  }
  provider->stop();
}

TEST(DriveConfigurationProvider, RefreshRoundTripOverTheSessionBus) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
    GTEST_SKIP() << "no session bus (scripts/run-tests starts one)";
  auto source = std::make_shared<FakeSource>();
  source->set(withLsof(25));
  auto providerBus = DBusNotificationCenter::connectSessionBus(tarnix::base::Logger::null());
  auto appBus = DBusNotificationCenter::connectSessionBus(tarnix::base::Logger::null());
  ASSERT_TRUE(providerBus && appBus);
  auto provider = DriveConfigurationProvider::make(source, kDrive,
                                                   std::make_shared<InProcessNotificationCenter>(),
                                                   *providerBus, tarnix::base::Logger::null());
  provider->start();
  std::mutex mutex;
  std::vector<std::string> answered;
  auto token = (*appBus)->addObserver(tarnix::common::kDidApplyCloudConfiguration,
                                      [&](const std::string&, const std::string& object) {
                                        std::lock_guard guard(mutex);
                                        answered.push_back(object);
                                      });
  source->set(withLsof(50));
  (*appBus)->post(tarnix::common::kWillInvalidateCloudConfiguration, "request-42");
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return !answered.empty();
  }));
  EXPECT_EQ(provider->value().lsofInterval, 50);
  std::lock_guard guard(mutex);
  EXPECT_EQ(answered.front(), "request-42");
  provider->stop();
}

namespace {
/// Each read gives a configuration newer than the one before (lsofInterval 1, 2, 3...).
class AdvancingSource final : public tarnix::common::DriveConfigurationSource {
 public:
  std::expected<CloudConfiguration, DriveRepositoryError> configuration(
      const std::string&) override {
    return withLsof(static_cast<double>(++reads));
  }
  std::expected<std::vector<std::string>, DriveRepositoryError> allDriveIdentifiers() override {
    return std::vector<std::string>{kDrive};
  }
  std::atomic<int> reads{0};
};
}  // namespace

TEST(DriveConfigurationProvider, ANewSubscriberSeesValuesInOrderAndEndsWithTheLatest) {
  auto source = std::make_shared<AdvancingSource>();
  auto center = std::make_shared<InProcessNotificationCenter>();
  auto provider = DriveConfigurationProvider::make(source, kDrive, center, nullptr,
                                                   tarnix::base::Logger::null());
  provider->start();
  ASSERT_TRUE(t::eventually([&] { return provider->value().lsofInterval == 1; }));

  // The subscriber is slow to take its first value, and a newer one is emitted meanwhile.
  std::mutex mutex;
  std::vector<double> seen;
  std::atomic<bool> inCall{false};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> first{true};
  auto token = provider->subscribe([&](const CloudConfiguration& c) {
    if (inCall.exchange(true)) overlapped = true;
    if (first.exchange(false)) {
      center->post(tarnix::common::kDriveRepositoryDidChangeDrive, kDrive);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    {
      std::lock_guard guard(mutex);
      seen.push_back(c.lsofInterval);
    }
    inCall = false;
  });
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return seen.size() >= 2;
  }));
  provider->stop();  // waits for the emissions in flight
  EXPECT_FALSE(overlapped) << "the observer was called while in a call";
  std::lock_guard guard(mutex);
  EXPECT_EQ(seen, (std::vector<double>{1.0, 2.0}));
  EXPECT_EQ(provider->value().lsofInterval, 2.0);
}
