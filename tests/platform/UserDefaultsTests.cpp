#include "platform/UserDefaults.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using tarnix::base::JSONValue;
using tarnix::platform::UserDefaults;
namespace t = tarnix::testing;

namespace {
class UserDefaultsTest : public ::testing::Test {
 protected:
  t::TempDir dir{"tarnix-defaults"};
  std::filesystem::path file = dir / "suite.json";
  std::shared_ptr<t::RecordingLogSink> sink = std::make_shared<t::RecordingLogSink>();
  std::shared_ptr<UserDefaults> open() {
    return UserDefaults::open(file, t::recordingLogger(sink));
  }
};
}  // namespace

TEST_F(UserDefaultsTest, ValuesSurviveReopeningAndRemoval) {
  auto defaults = open();
  EXPECT_FALSE(defaults->value("missing"));
  ASSERT_TRUE(defaults->set("logLevel", 5));
  ASSERT_TRUE(defaults->set("list", JSONValue::array({"a", "b"})));
  ASSERT_TRUE(defaults->remove("list"));
  auto again = open();
  EXPECT_EQ(again->value("logLevel"), JSONValue(5));
  EXPECT_FALSE(again->value("list"));
  EXPECT_EQ(again->dictionary(), JSONValue::parse(R"({"logLevel":5})"));
}

TEST_F(UserDefaultsTest, WritersInSeveralProcessesKeepEachOthersKeys) {
  constexpr int kProcesses = 4;
  constexpr int kWrites = 25;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = ::fork();
    if (pid == 0) {
      auto defaults = UserDefaults::open(file, tarnix::base::Logger::null());
      for (int i = 0; i < kWrites; ++i) {
        if (!defaults->set("p" + std::to_string(p) + "-" + std::to_string(i), i)) ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  auto document = open()->dictionary();
  EXPECT_EQ(document.size(), static_cast<size_t>(kProcesses * kWrites));
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ(document.value("p" + std::to_string(p) + "-" + std::to_string(kWrites - 1), -1),
              kWrites - 1);
  }
}

TEST_F(UserDefaultsTest, AChangeMadeByAnotherProcessReachesObservers) {
  auto defaults = open();
  std::mutex mutex;
  std::vector<std::optional<JSONValue>> seen;
  auto token = defaults->observe("logLevel", [&](const std::optional<JSONValue>& value) {
    std::lock_guard guard(mutex);
    seen.push_back(value);
  });
  ASSERT_EQ(t::runInChild([&] {
              auto other = UserDefaults::open(file, tarnix::base::Logger::null());
              return other->set("unrelated", true) && other->set("logLevel", 6) ? 0 : 1;
            }),
            0);
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return !seen.empty();
  }));
  std::lock_guard guard(mutex);
  EXPECT_EQ(seen.front(), JSONValue(6));  // only the observed key, only once it changed
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(UserDefaultsTest, AReleasedTokenStopsDelivery) {
  auto defaults = open();
  std::atomic<int> calls{0};
  auto token = defaults->observe("k", [&](const auto&) { ++calls; });
  ASSERT_TRUE(defaults->set("k", 1));
  ASSERT_TRUE(t::eventually([&] { return calls.load() >= 1; }));
  token.reset();
  int before = calls.load();
  ASSERT_TRUE(defaults->set("k", 2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(calls.load(), before);
}

TEST_F(UserDefaultsTest, ADamagedFileReadsAsEmptyAndIsKeptAsideOnTheNextWrite) {
  t::writeFile(file, "{\"deviceID\": \"abc\", broken");
  auto defaults = open();
  EXPECT_FALSE(defaults->value("deviceID"));
  EXPECT_FALSE(defaults->value("other"));
  EXPECT_EQ(sink->count("Preferences file is not a JSON object, reading defaults"), 1u);

  ASSERT_TRUE(defaults->set("logLevel", 3));
  EXPECT_EQ(defaults->value("logLevel"), JSONValue(3));
  std::vector<std::filesystem::path> aside;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    if (entry.path().filename().string().starts_with("suite.json.damaged-"))
      aside.push_back(entry.path());
  }
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(t::readFile(aside.front()), "{\"deviceID\": \"abc\", broken");
}
