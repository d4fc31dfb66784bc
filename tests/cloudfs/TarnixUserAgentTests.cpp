#include <gtest/gtest.h>

#include "cloudfs/TarnixUserAgent.hpp"

using namespace tarnix::cloudfs;

TEST(TarnixUserAgentTests, BuildsTheUserAgentLine) {
  const UserAgentSystemInfo info{"de_CH", "6.1.0", "aarch64"};
  struct Case {
    const char* version;
    const char* build;
    const char* expected;
  };
  const Case cases[] = {
      {"1.2.3", "1.2.3+4567.abc", "Tarnix/1.2.3 (TXD; 4567; de_CH; Linux; 6.1.0; aarch64)"},
      {"1.2.3+99", "1.2.3", "Tarnix/1.2.3 (TXD; 1; de_CH; Linux; 6.1.0; aarch64)"},
      {"2.0.0-beta.1", "", "Tarnix/2.0.0-beta.1 (TXD; 1; de_CH; Linux; 6.1.0; aarch64)"},
  };
  for (const auto& c : cases) {
    TarnixUserAgent agent("device-9", c.version, c.build, info);
    EXPECT_EQ(agent.vanillaHeaderValue(), c.expected);
    EXPECT_EQ(agent.deviceID(), "device-9");
    EXPECT_EQ(agent.syncClientRevision(), "TXC/167236");
    EXPECT_EQ(agent.actionSource(), "TXD");
  }
}

TEST(TarnixUserAgentTests, ReadsLocaleAndKernelVersion) {
  EXPECT_EQ(UserAgentSystemInfo::localeIdentifierFrom("de_CH.UTF-8@euro"), "de_CH");
  EXPECT_EQ(UserAgentSystemInfo::localeIdentifierFrom("fr_FR"), "fr_FR");
  EXPECT_EQ(UserAgentSystemInfo::localeIdentifierFrom("C.UTF-8"), "en_US");
  EXPECT_EQ(UserAgentSystemInfo::localeIdentifierFrom(""), "en_US");
  EXPECT_EQ(UserAgentSystemInfo::osVersionFrom("6.1.0-13-amd64"), "6.1.0");
  EXPECT_EQ(UserAgentSystemInfo::osVersionFrom("5.15"), "5.15.0");
  EXPECT_EQ(UserAgentSystemInfo::osVersionFrom("weird"), "0.0.0");
  auto current = UserAgentSystemInfo::current();
  EXPECT_FALSE(current.architecture.empty());
}
