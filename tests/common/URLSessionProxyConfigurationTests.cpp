#include <gtest/gtest.h>

#include "common/URLSessionProxyConfiguration.hpp"

using tarnix::common::URLSessionProxyConfiguration;

TEST(URLSessionProxyConfigurationTests, DefaultsAndJSON) {
  URLSessionProxyConfiguration proxy;
  EXPECT_EQ(proxy.addressOrDefault(), "localhost");
  EXPECT_EQ(proxy.portOrDefault(), 8080);
  proxy.address = "proxy.example";
  proxy.port = 3128;
  EXPECT_EQ(proxy.addressOrDefault(), "proxy.example");
  EXPECT_EQ(proxy.portOrDefault(), 3128);

  EXPECT_EQ(URLSessionProxyConfiguration{}.jsonText(),
            R"({"proxyEnabled":false,"address":"","requiresAuthentication":false,)"
            R"("username":"","password":""})");
  auto full = URLSessionProxyConfiguration{true, "10.0.0.1", 3128, true, "u", "p"};
  EXPECT_EQ(URLSessionProxyConfiguration::fromJSONText(full.jsonText()).value(), full);
  EXPECT_EQ(URLSessionProxyConfiguration::fromJSONText(
                R"({"proxyEnabled":true,"address":"","port":null,"requiresAuthentication":false,)"
                R"("username":"","password":""})")
                .value()
                .port,
            std::nullopt);
  for (const char* bad : {"not json", "[]", R"({"proxyEnabled":"yes"})",
                          R"({"proxyEnabled":true,"address":"a","port":"80",)"
                          R"("requiresAuthentication":false,"username":"","password":""})"}) {
    EXPECT_FALSE(URLSessionProxyConfiguration::fromJSONText(bad).has_value()) << bad;
  }
}
