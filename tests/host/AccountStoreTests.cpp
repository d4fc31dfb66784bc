#include "host/commands/AccountStore.hpp"

#include <gtest/gtest.h>

#include <optional>

using tarnix::host::normalizedCloudStartPath;
using tarnix::host::normalizedDomain;

namespace {

struct Case {
  const char* given;
  std::optional<const char*> stored;  // none: refused
};

template <class Normalize, std::size_t N>
void expectStored(Normalize normalize, const Case (&cases)[N]) {
  for (const auto& c : cases) {
    auto stored = normalize(c.given);
    if (c.stored) {
      ASSERT_TRUE(stored) << c.given << ": " << stored.error().message;
      EXPECT_EQ(*stored, *c.stored) << c.given;
    } else {
      EXPECT_FALSE(stored) << c.given << " -> " << *stored;
    }
  }
}

}  // namespace

TEST(AccountStore, CloudHostsAreStoredAsLowerCaseHostAndPort) {
  Case cases[] = {
      {"localhost:8443", "localhost:8443"},
      {"https://LocalHost:8443/", "localhost:8443"},
      {"HTTPS://cloud.example.com", "cloud.example.com"},
      {"[::1]:8443", "[::1]:8443"},
      {"https://[::1]", "[::1]"},
      {"http://localhost:8443", std::nullopt},
      {"ftp://localhost", std::nullopt},
      {"https://localhost:8443/api", std::nullopt},
      {"alice@localhost", std::nullopt},
      {"localhost:0", std::nullopt},
      {"localhost:65536", std::nullopt},
      {"localhost:", std::nullopt},
      {"localhost:84a3", std::nullopt},
      {"https://", std::nullopt},
      {"", std::nullopt},
      {"[::1", std::nullopt},
      {"[::1]x", std::nullopt},
      {"local host", std::nullopt},
  };
  expectStored(normalizedDomain, cases);
}

TEST(AccountStore, CloudStartPathsAreAbsoluteWithoutDotOrEmptyComponents) {
  Case cases[] = {
      {"/", "/"},
      {"/Shared/Demo", "/Shared/Demo"},
      {"/Shared/Demo/", "/Shared/Demo"},
      {"/Shared/My files", "/Shared/My files"},
      {"", std::nullopt},
      {"Shared", std::nullopt},
      {"//", std::nullopt},
      {"/Shared//Demo", std::nullopt},
      {"/Shared/./Demo", std::nullopt},
      {"/Shared/..", std::nullopt},
      {"/Shared/\nDemo", std::nullopt},
  };
  expectStored(normalizedCloudStartPath, cases);
}
