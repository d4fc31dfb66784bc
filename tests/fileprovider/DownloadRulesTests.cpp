// The value rules of downloads: range alignment, "Content-Range" and entity tags, and what the
// fast-access cache remembers.

#include <gtest/gtest.h>

#include <limits>

#include "fileprovider/content/DownloadResponse.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"
#include "fileprovider/content/ZephyrCache.hpp"

namespace tarnix::fileprovider {
namespace {

using cloudfs::ByteRange;
using common::CloudEntryIdentifier;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

TEST(DownloadRulesTests, RangesAreWidenedToTheAlignment) {
  struct Case {
    ByteRange requested;
    std::int64_t alignment;
    ByteRange expected;
  };
  const Case cases[] = {
      {{100, 50}, 0, {100, 50}},
      {{100, 50}, 1, {100, 50}},
      {{100, 50}, -4096, {100, 50}},
      {{0, 4096}, 4096, {0, 4096}},
      {{4096, 1}, 4096, {4096, 4096}},
      {{4095, 2}, 4096, {0, 8192}},
      {{10, 0}, 4096, {10, 0}},  // nothing asked: left as it is (no "Range" then)
      {{kMax - 10, 5},
       4096,
       {kMax - 10 - (kMax - 10) % 4096, kMax - (kMax - 10 - (kMax - 10) % 4096)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.requested.location) + "+" + std::to_string(c.requested.length) +
                 " / " + std::to_string(c.alignment));
    EXPECT_EQ(alignedRange(c.requested, c.alignment), c.expected);
  }
}

cloudfs::HTTPURLResponse answer(std::vector<std::pair<std::string, std::string>> headers) {
  cloudfs::HTTPURLResponse response;
  response.statusCode = 206;
  response.headerFields = std::move(headers);
  return response;
}

TEST(DownloadRulesTests, ContentRangeIsReadOnlyWhenWhole) {
  struct Case {
    std::string header;
    std::optional<ContentRange> expected;
  };
  const Case cases[] = {
      {"bytes 0-99/100", ContentRange{0, 99, 100}},
      {"bytes 4096-8191/20000", ContentRange{4096, 8191, 20000}},
      {"bytes 5-4/100", std::nullopt},
      {"bytes 0-100/100", std::nullopt},
      {"bytes 0-99/*", std::nullopt},
      {"bytes */100", std::nullopt},
      {"bytes -1-5/10", std::nullopt},
      {"items 0-1/2", std::nullopt},
      {"bytes 0-99999999999999999999/1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(parseContentRange(answer({{"content-range", c.header}})), c.expected);
  }
  EXPECT_EQ(parseContentRange(answer({})), std::nullopt);
}

TEST(DownloadRulesTests, EntityTagNamesTheEntryIgnoringQuotesAndWeakness) {
  const CloudEntryIdentifier entry{"42"};
  EXPECT_TRUE(entityTagNames(answer({{"ETag", "42"}}), entry));
  EXPECT_TRUE(entityTagNames(answer({{"etag", "\"42\""}}), entry));
  EXPECT_TRUE(entityTagNames(answer({{"ETag", "W/\"42\""}}), entry));
  EXPECT_FALSE(entityTagNames(answer({{"ETag", "43"}}), entry));
  EXPECT_FALSE(entityTagNames(answer({{"ETag", "\"42"}}), entry));
  EXPECT_FALSE(entityTagNames(answer({}), entry));
}

TEST(DownloadRulesTests, FastAccessIsSkippedOnlyForTheVersionItLacked) {
  const CloudEntryIdentifier v1{"1"}, v2{"2"};
  EXPECT_TRUE(shouldTryFastAccess(std::nullopt, v1));
  EXPECT_TRUE(shouldTryFastAccess(ZephyrFileMode::keelvault(), v1));
  EXPECT_FALSE(shouldTryFastAccess(ZephyrFileMode::versionNotFound(v1), v1));
  EXPECT_TRUE(shouldTryFastAccess(ZephyrFileMode::versionNotFound(v1), v2));
  EXPECT_TRUE(shouldTryFastAccess(ZephyrFileMode::versionNotFound(v1), std::nullopt));
}

TEST(DownloadRulesTests, ZephyrCacheDropsTheLeastRecentlyUsedFile) {
  ZephyrCache cache(2);
  const common::SyncItemIdentifier a = common::SyncFileIdentifier{"a"};
  const common::SyncItemIdentifier b = common::SyncFileIdentifier{"b"};
  const common::SyncItemIdentifier c = common::SyncFileIdentifier{"c"};
  cache.setMode(a, ZephyrFileMode::keelvault());
  cache.setMode(b, ZephyrFileMode::versionNotFound(CloudEntryIdentifier{"7"}));
  EXPECT_TRUE(cache.mode(a));  // a is now the most recently used
  cache.setMode(c, ZephyrFileMode::keelvault());
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.mode(b), std::nullopt);
  EXPECT_EQ(cache.mode(a), ZephyrFileMode::keelvault());
  cache.setMode(a, ZephyrFileMode::versionNotFound(CloudEntryIdentifier{"9"}));
  EXPECT_EQ(cache.mode(a), ZephyrFileMode::versionNotFound(CloudEntryIdentifier{"9"}));
  EXPECT_EQ(cache.size(), 2u);
}

}  // namespace
}  // namespace tarnix::fileprovider
