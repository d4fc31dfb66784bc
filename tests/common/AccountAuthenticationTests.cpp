#include "common/AccountAuthentication.hpp"

#include <gtest/gtest.h>

#include "common/AccountKeychainStorage.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using tarnix::common::AccountAuthentication;
using tarnix::common::AccountKeychainStorage;
namespace t = tarnix::testing;

namespace {
constexpr const char* kAccount = "0f8fad5b-d9cb-469f-a165-70867728950e";
}

TEST(AccountAuthentication, JSONHasExactlyOneKey) {
  struct Case {
    const char* json;
    std::optional<AccountAuthentication> expected;
    const char* error;
  } cases[] = {
      {R"({"basic": {"password": "pw"}})", AccountAuthentication::basic("pw"), nullptr},
      {R"({"oauth": {"accessToken": "a", "refreshToken": "r"}})",
       AccountAuthentication::oauth("a", "r"), nullptr},
      {R"({"basic": {"password": "pw"}, "oauth": {"accessToken": "a", "refreshToken": "r"}})",
       std::nullopt, "Invalid number of keys found, expected one."},
      {"{}", std::nullopt, "Invalid number of keys found, expected one."},
      {R"({"oauth": {"accessToken": "a"}})", std::nullopt, nullptr},
      {R"({"kerberos": {}})", std::nullopt, nullptr},
      {R"({"basic": {"password": "pw-in-broken-json")", std::nullopt, nullptr},
  };
  for (const auto& c : cases) {
    auto decoded = AccountAuthentication::fromJSONText(c.json);
    EXPECT_EQ(decoded.has_value(), c.expected.has_value()) << c.json;
    if (decoded && c.expected) {
      EXPECT_EQ(*decoded, *c.expected);
      EXPECT_EQ(AccountAuthentication::fromJSONText(decoded->jsonText()), *c.expected);
    }
    if (!decoded) {
      if (c.error) {
        EXPECT_EQ(decoded.error().message, c.error) << c.json;
      }
      EXPECT_EQ(decoded.error().message.find("pw"), std::string::npos) << "error quotes the input";
    }
  }
}

TEST(AccountKeychainStorage, CachesByTimestampAndNeverLogsSecrets) {
  t::TempDir dir("tarnix-accounts");
  auto sink = std::make_shared<t::RecordingLogSink>();
  auto items = std::make_shared<tarnix::platform::KeychainItemStore>(dir / "Credentials");
  AccountKeychainStorage storage(items, t::recordingLogger(sink));

  auto missing = storage.readAuthentication(kAccount, "t1");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "Missing entry in keychain");
  EXPECT_EQ(
      storage.updateAuthentication(AccountAuthentication::basic("first-secret"), "t1", kAccount)
          .error()
          .message,
      "Updating account authentication failed");

  ASSERT_TRUE(
      storage.setAuthentication(AccountAuthentication::basic("first-secret"), "t1", kAccount));
  // Another process renews the credentials behind this one's back.
  ASSERT_TRUE(items->write(
      kAccount, AccountAuthentication::oauth("access-secret", "refresh-secret").jsonText()));
  EXPECT_EQ(storage.readAuthentication(kAccount, "t1"),
            AccountAuthentication::basic("first-secret"));
  EXPECT_EQ(storage.readAuthentication(kAccount, "t2"),
            AccountAuthentication::oauth("access-secret", "refresh-secret"));

  ASSERT_TRUE(items->write(kAccount, R"({"basic": {"password": "broken-secret"}, "oauth": {}})"));
  auto twoKeys = storage.readAuthentication(kAccount, "t3");
  ASSERT_FALSE(twoKeys);
  EXPECT_EQ(twoKeys.error().message, "Parsing keychain item failed");
  ASSERT_TRUE(items->write(kAccount, R"({"basic": {"password": "truncated-secret)"));
  EXPECT_FALSE(storage.readAuthentication(kAccount, "t4"));

  ASSERT_TRUE(storage.removeAuthentication(kAccount));
  EXPECT_EQ(storage.removeAuthentication(kAccount).error().message,
            "Removing account authentication failed");
  EXPECT_FALSE(storage.readAuthentication(kAccount, "t1"));  // the cache went with the item

  auto logged = sink->everything();
  EXPECT_NE(logged.find("Invalid number of keys found, expected one."), std::string::npos);
  for (const char* secret :
       {"first-secret", "access-secret", "refresh-secret", "broken-secret", "truncated-secret"}) {
    EXPECT_EQ(logged.find(secret), std::string::npos) << secret;
  }
}
