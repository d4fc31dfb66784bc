// The link requests as they go on the wire, and how their answers are read: a URL that a user
// sees and a browser opens, so anything else in its place is refused.

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "base/JSONValue.hpp"
#include "cloudfs/requests/LinkRequests.hpp"
#include "cloudfs/responses/LinkResponses.hpp"

using namespace tarnix::cloudfs;
using tarnix::common::CloudFolderIdentifier;
using tarnix::common::CloudGroupIdentifier;
using tarnix::common::CloudItemIdentifier;
using tarnix::common::ItemType;

namespace {

struct WireCase {
  std::string name;
  std::function<std::unique_ptr<CloudFSRequestPrototype>()> make;
  std::string method;
  std::string url;
  std::optional<std::string> body;  // compared as JSON
};

const LinkItem kFile = LinkItem::make("/Shared/Documents/Notes & Plans.txt",
                                      CloudItemIdentifier(CloudGroupIdentifier{"4711"}));
const LinkItem kFolder =
    LinkItem::make("/Shared/Read Only", CloudItemIdentifier(CloudFolderIdentifier{"12"}));
const LinkItem kUnconfirmed{"/Private/new?#.txt", ItemType::file, std::nullopt};

std::vector<WireCase> wireCases() {
  const std::string navigate = "https://drive.example/rest/public/navigate/services/";
  return {
      {"link to a file", [] { return std::make_unique<CopyDefaultLinkRequest>(kFile); }, "POST",
       "https://drive.example/api/v1/links",
       R"({"type":"file","useDefaultSettings":true,"path":"/Shared/Documents/Notes & Plans.txt",
           "id":"4711"})"},
      {"link to a folder", [] { return std::make_unique<CopyDefaultLinkRequest>(kFolder); }, "POST",
       "https://drive.example/api/v1/links",
       R"({"type":"folder","useDefaultSettings":true,"path":"/Shared/Read Only","id":"12"})"},
      {"link to an item without a cloud id names it by path only",
       [] { return std::make_unique<CopyDefaultLinkRequest>(kUnconfirmed); }, "POST",
       "https://drive.example/api/v1/links",
       R"({"type":"file","useDefaultSettings":true,"path":"/Private/new?#.txt"})"},
      {"a file is previewed, its path's query characters encoded",
       [] { return std::make_unique<ViewOnlineRequest>(kFile); }, "GET",
       navigate + "preview?path=/Shared/Documents/Notes%20%26%20Plans.txt&id=4711", std::nullopt},
      {"a folder is shown as a folder", [] { return std::make_unique<ViewOnlineRequest>(kFolder); },
       "GET", navigate + "folder?path=/Shared/Read%20Only&id=12", std::nullopt},
      {"an item without a cloud id goes by path only",
       [] { return std::make_unique<ViewOnlineRequest>(kUnconfirmed); }, "GET",
       navigate + "preview?path=/Private/new%3F%23.txt", std::nullopt},
  };
}

CloudFSResponse answer(std::optional<std::string> body) {
  CloudFSResponse response;
  response.httpResponse.statusCode = 200;
  response.body = std::move(body);
  return response;
}

template <class Decoded>
std::expected<std::string, CloudFSError> urlOf(const std::expected<Decoded, CloudFSError>& decoded,
                                               std::string Decoded::*url) {
  if (!decoded) return std::unexpected(decoded.error());
  return *decoded.*url;
}

}  // namespace

TEST(LinkRequestTests, OnTheWire) {
  for (const auto& c : wireCases()) {
    SCOPED_TRACE(c.name);
    auto request = c.make();
    auto built = buildURLRequest(*request, "drive.example");
    ASSERT_TRUE(built.has_value()) << built.error().description();
    EXPECT_EQ(built->method.rawValue, c.method);
    EXPECT_EQ(built->url, c.url);
    EXPECT_EQ(built->value(tarnix::base::HTTPHeaderName::accept), "application/json");
    if (!c.body) {
      EXPECT_FALSE(built->body.has_value());
      EXPECT_FALSE(built->value(tarnix::base::HTTPHeaderName::contentType));
      continue;
    }
    EXPECT_EQ(built->value(tarnix::base::HTTPHeaderName::contentType), "application/json");
    ASSERT_TRUE(built->body.has_value());
    auto sent = tarnix::base::parseJSON(*built->body);
    auto expected = tarnix::base::parseJSON(*c.body);
    ASSERT_TRUE(sent && expected);
    EXPECT_EQ(*sent, *expected);
  }
}

TEST(LinkRequestTests, AnswersAreReadStrictly) {
  struct Case {
    std::string name;
    std::optional<std::string> body;
    std::optional<std::string> url;  // none: refused
    std::string error;               // the error's description when refused
  };
  const Case cases[] = {
      {"plain", R"({"KEY":"https://drive.example/l/12/abc"})", "https://drive.example/l/12/abc",
       ""},
      {"http with a port, user information and a query",
       R"({"KEY":"HTTP://me@127.0.0.1:8443/x?y=1#z","other":5})",
       "HTTP://me@127.0.0.1:8443/x?y=1#z", ""},
      {"no body", std::nullopt, std::nullopt, "Missing body in response"},
      {"not JSON", "<html>Service Unavailable</html>", std::nullopt,
       "Failed to parse response field: body"},
      {"cut short", R"({"KEY":"https://drive.exa)", std::nullopt,
       "Failed to parse response field: body"},
      {"an array", R"(["https://drive.example/"])", std::nullopt,
       "Failed to parse response field: body"},
      {"member missing", R"({"id":"12"})", std::nullopt, "Failed to parse response field: KEY"},
      {"member null", R"({"KEY":null})", std::nullopt, "Failed to parse response field: KEY"},
      {"member not text", R"({"KEY":42})", std::nullopt, "Failed to parse response field: KEY"},
      {"empty", R"({"KEY":""})", std::nullopt, "Failed to parse response field: KEY"},
      {"another scheme", R"({"KEY":"file:///etc/passwd"})", std::nullopt,
       "Failed to parse response field: KEY"},
      {"a script", R"j({"KEY":"javascript:alert(1)"})j", std::nullopt,
       "Failed to parse response field: KEY"},
      {"relative", R"({"KEY":"/l/12"})", std::nullopt, "Failed to parse response field: KEY"},
      {"no host", R"({"KEY":"https:///l/12"})", std::nullopt,
       "Failed to parse response field: KEY"},
      {"only a port", R"({"KEY":"https://:443/l"})", std::nullopt,
       "Failed to parse response field: KEY"},
      {"a line break that would forge output", R"({"KEY":"https://a.example/\nrm -rf"})",
       std::nullopt, "Failed to parse response field: KEY"},
      {"a terminal escape", R"({"KEY":"https://a.example/\u001b[2J"})", std::nullopt,
       "Failed to parse response field: KEY"},
      {"a space", R"({"KEY":"https://a.example/a b"})", std::nullopt,
       "Failed to parse response field: KEY"},
  };
  for (const std::string key : {"link", "url"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(key + ": " + c.name);
      std::optional<std::string> body = c.body;
      if (body) {
        for (auto at = body->find("KEY"); at != std::string::npos; at = body->find("KEY"))
          body->replace(at, 3, key);
      }
      const auto response = answer(body);
      const auto decoded =
          key == "link"
              ? urlOf(CopyDefaultLinkResponse::decode(response), &CopyDefaultLinkResponse::link)
              : urlOf(ViewOnlineResponse::decode(response), &ViewOnlineResponse::url);
      if (c.url) {
        ASSERT_TRUE(decoded.has_value()) << decoded.error().description();
        EXPECT_EQ(*decoded, *c.url);
      } else {
        ASSERT_FALSE(decoded.has_value()) << *decoded;
        std::string error = c.error;
        if (auto at = error.find("KEY"); at != std::string::npos) error.replace(at, 3, key);
        EXPECT_EQ(decoded.error().description(), error);
      }
    }
  }
}
