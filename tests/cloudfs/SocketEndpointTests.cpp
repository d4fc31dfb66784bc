// Where the event WebSocket's URL leads: host, port and target of "wss://" URLs, and the host
// mappings that send a connection elsewhere while the server is still verified under the
// URL's name.

#include <gtest/gtest.h>

#include "cloudfs/detail/SocketEndpoint.hpp"

namespace tarnix::cloudfs::detail {
namespace {

TEST(SocketEndpoint, ParsesWssURLs) {
  struct Case {
    std::string url;
    std::optional<std::string> host, port, target, hostHeader;
  };
  const std::vector<Case> cases = {
      {"wss://events.example/event/1.0/watch/file_system", "events.example", "443",
       "/event/1.0/watch/file_system", "events.example"},
      {"wss://localhost:8443/x?a=b", "localhost", "8443", "/x?a=b", "localhost:8443"},
      {"wss://[::1]:9000/", "[::1]", "9000", "/", "[::1]:9000"},
      {"wss://events.example", "events.example", "443", "/", "events.example"},
      {"wss://events.example?q", "events.example", "443", "/?q", "events.example"},
      {"https://events.example/", {}, {}, {}, {}},
      {"wss://", {}, {}, {}, {}},
      {"wss://:443/", {}, {}, {}, {}},
      {"wss://host:99999/", {}, {}, {}, {}},
      {"wss://host:port/", {}, {}, {}, {}},
      {"wss://user@host/", {}, {}, {}, {}},
      {"wss://[::1/", {}, {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    auto endpoint = SocketEndpoint::parse(c.url);
    ASSERT_EQ(endpoint.has_value(), c.host.has_value());
    if (!endpoint) continue;
    EXPECT_EQ(endpoint->host, *c.host);
    EXPECT_EQ(endpoint->port, *c.port);
    EXPECT_EQ(endpoint->target, *c.target);
    EXPECT_EQ(endpoint->hostHeader(), *c.hostHeader);
  }
}

TEST(SocketEndpoint, TheFirstMatchingHostMappingWins) {
  auto endpoint = *SocketEndpoint::parse("wss://Sync-Localhost:8443/e");
  using Address = SocketEndpoint::Address;
  struct Case {
    std::vector<std::string> mappings;
    Address expected;
  };
  const std::vector<Case> cases = {
      {{}, {"Sync-Localhost", "8443"}},
      {{"sync-localhost:8443:127.0.0.1:9000"}, {"127.0.0.1", "9000"}},
      {{"sync-localhost:8443:127.0.0.1:"}, {"127.0.0.1", "8443"}},
      {{"::other:"}, {"other", "8443"}},
      {{"sync-localhost:443:127.0.0.1:1", "other:8443:127.0.0.2:2"}, {"Sync-Localhost", "8443"}},
      {{"garbage", "a:b:c:d", ":8443:[::1]:7"}, {"[::1]", "7"}},
      {{"sync-localhost:8443:a:1", "sync-localhost:8443:b:2"}, {"a", "1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.mappings));
    EXPECT_EQ(endpoint.mapped(c.mappings), c.expected);
  }
}

}  // namespace
}  // namespace tarnix::cloudfs::detail
