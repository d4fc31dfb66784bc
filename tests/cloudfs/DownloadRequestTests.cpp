// The download requests on the wire and the "Range" header rules.

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>

#include "cloudfs/requests/DownloadRequests.hpp"

using namespace tarnix::cloudfs;

namespace {

std::map<std::string, std::string> headersOf(const URLRequest& request) {
  std::map<std::string, std::string> out;
  for (const auto& [name, value] : request.headers) out[name.rawValue] = value;
  return out;
}

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(DownloadRequestTests, BytesHeaderCoversTheRangeOrRefusesIt) {
  struct Case {
    ByteRange range;
    std::optional<std::string> header;
  };
  const Case cases[] = {
      {{0, 1}, "bytes=0-0"},
      {{0, 4096}, "bytes=0-4095"},
      {{4096, 100}, "bytes=4096-4195"},
      {{kMax - 9, 10}, "bytes=" + std::to_string(kMax - 9) + "-" + std::to_string(kMax)},
      {{0, 0}, std::nullopt},
      {{10, -5}, std::nullopt},
      {{-1, 10}, std::nullopt},
      {{kMax, 2}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto header = bytesHeader(c.range);
    SCOPED_TRACE(std::to_string(c.range.location) + "+" + std::to_string(c.range.length));
    if (c.header) {
      ASSERT_TRUE(header.has_value());
      EXPECT_EQ(*header, *c.header);
    } else {
      EXPECT_FALSE(header.has_value());
    }
  }
}

TEST(DownloadRequestTests, RequestsOnTheWire) {
  struct Case {
    std::string name;
    std::shared_ptr<CloudFSRequestPrototype> request;
    std::string url;
    std::map<std::string, std::string> headers;
  };
  const std::string host = "https://drive.example";
  const Case cases[] = {
      {"latest version, whole file",
       std::make_shared<DownloadFileRequest>("7"),
       host + "/api/v1/fs-content-download/ids/file/7",
       {}},
      {"entry and range",
       std::make_shared<DownloadFileRequest>("7", "42", ByteRange{10, 5}),
       host + "/api/v1/fs-content-download/ids/file/7?entry_id=42",
       {{"Range", "bytes=10-14"}}},
      {"empty range leaves the header out",
       std::make_shared<DownloadFileRequest>("7", std::nullopt, ByteRange{10, 0}),
       host + "/api/v1/fs-content-download/ids/file/7",
       {}},
      {"negative location leaves the header out",
       std::make_shared<DownloadFileRequest>("7", std::nullopt, ByteRange{-3, 10}),
       host + "/api/v1/fs-content-download/ids/file/7",
       {}},
      {"group id is one path segment",
       std::make_shared<DownloadFileRequest>("a/b c"),
       host + "/api/v1/fs-content-download/ids/file/a%2Fb%20c",
       {}},
      {"by path",
       std::make_shared<DownloadFileByPathRequest>("/Shared/A%20b.txt", "/shared/a%20b.txt"),
       host + "/api/v1/fs-content/Shared/A%20b.txt",
       {{"X-Tarnix-Path", "/shared/a%20b.txt"}}},
      {"by path with entry and range",
       std::make_shared<DownloadFileByPathRequest>("/S/f", "/s/f", "9", ByteRange{0, 1}),
       host + "/api/v1/fs-content/S/f?entry_id=9",
       {{"X-Tarnix-Path", "/s/f"}, {"Range", "bytes=0-0"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto request = buildURLRequest(*c.request, "drive.example");
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, tarnix::base::HTTPMethod::get);
    EXPECT_EQ(request->url, c.url);
    EXPECT_EQ(headersOf(*request), c.headers);
    EXPECT_FALSE(request->body.has_value());
  }
}

}  // namespace
