#include "platform/UserDefaults.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/PlatformTestSupport.hpp"
#include "support/ChildRole.hpp"
#include "support/TempDir.hpp"

using tarnix::base::JSONValue;
using tarnix::platform::UserDefaults;
namespace t = tarnix::testing;

namespace {
constexpr int kWrites = 25;

// Another process writing kWrites keys "<n>-<i>" of its own; argument "<n>:<file>".
const bool kWriterRole = t::registerChildRole("defaults-writer", [](const std::string& argument) {
  auto colon = argument.find(':');
  auto defaults = UserDefaults::open(argument.substr(colon + 1), tarnix::base::Logger::null());
  for (int i = 0; i < kWrites; ++i) {
    if (!defaults->set("p" + argument.substr(0, colon) + "-" + std::to_string(i), i)) return 1;
  }
  return 0;
});

// Another process setting an unrelated key, then "logLevel"; argument: the file.
const bool kLogLevelRole = t::registerChildRole("defaults-log-level", [](const std::string& file) {
  auto other = UserDefaults::open(file, tarnix::base::Logger::null());
  return other->set("unrelated", true) && other->set("logLevel", 6) ? 0 : 1;
});

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
  std::vector<t::ProgramResult> results(kProcesses);
  {
    std::vector<std::jthread> runs;
    for (int p = 0; p < kProcesses; ++p) {
      runs.emplace_back([&, p] {
        results[p] = t::runChildRole("defaults-writer", std::to_string(p) + ":" + file.string());
      });
    }
  }
  for (const auto& result : results) {
    ASSERT_EQ(result.exitStatus, 0) << (result.timedOut ? "timed out " : "") << result.errors;
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
  auto other = t::runChildRole("defaults-log-level", file.string());
  ASSERT_EQ(other.exitStatus, 0) << (other.timedOut ? "timed out " : "") << other.errors;
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

TEST_F(UserDefaultsTest, TheNextWriteKeepsEveryWholeMemberOfADamagedFile) {
  struct Case {
    const char* damaged;
    const char* after;  // the suite after setting "logLevel" to 3
  } cases[] = {
      // Cut off in the middle of a write: the members before the cut survive.
      {R"({"deviceID": "abc", "logLevel": 5, "proxySettings": {"address": "p", "po)",
       R"({"deviceID": "abc", "logLevel": 3})"},
      {R"({"deviceID": "abc", "list": ["a", "b"], "flag": tr)",
       R"({"deviceID": "abc", "list": ["a", "b"], "logLevel": 3})"},
      // Junk after a whole object: all of it survives.
      {R"({"deviceID": "abc", "nested": {"x": [1, {"y": null}]}}}garbage)",
       R"({"deviceID": "abc", "nested": {"x": [1, {"y": null}]}, "logLevel": 3})"},
      // Junk in the middle: what came before it survives.
      {R"({"deviceID": "abc", oops, "later": 1})", R"({"deviceID": "abc", "logLevel": 3})"},
      // Nothing to keep.
      {R"(["deviceID", "abc"])", R"({"logLevel": 3})"},
      {"\x01\x02 not json", R"({"logLevel": 3})"},
      {"", R"({"logLevel": 3})"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    t::writeFile(file, c.damaged);
    auto defaults = open();
    EXPECT_FALSE(defaults->value("deviceID")) << c.damaged;
    ASSERT_TRUE(defaults->set("logLevel", 3)) << c.damaged;
    EXPECT_EQ(open()->dictionary(), JSONValue::parse(c.after)) << c.damaged;
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      if (!entry.path().filename().string().starts_with("suite.json.damaged-")) continue;
      ++kept;
      EXPECT_EQ(t::readFile(entry.path()), c.damaged);
    }
    EXPECT_EQ(kept, 1) << c.damaged;
  }
}
