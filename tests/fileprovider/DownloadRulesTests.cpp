// The value rules of downloads: range alignment, "Content-Range" and entity tags, what the
// fast-access cache remembers, and when and after how long a failure is tried again.

#include <gtest/gtest.h>

#include <limits>

#include "fileprovider/content/DownloadErrorHandler.hpp"
#include "fileprovider/content/DownloadResponse.hpp"
#include "fileprovider/content/DownloadRetries.hpp"
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

namespace tarnix::fileprovider {
namespace {

using namespace std::chrono_literals;
using Duration = base::Clock::Duration;

TEST(DownloadRulesTests, RetriesWaitLongerEachTimeAndStopAtTheirBounds) {
  const auto policy = DownloadRetryPolicy::standard();
  struct Case {
    const char* name;
    int failedAttempts;
    std::optional<Duration> retryAfter;
    Duration waited;
    std::optional<Duration> expected;
  };
  const Case cases[] = {
      {"after the first failure", 1, std::nullopt, 0s, 500ms},
      {"after the second", 2, std::nullopt, 500ms, 1s},
      {"after the third", 3, std::nullopt, 1500ms, 2s},
      {"the attempts are spent", 4, std::nullopt, 3500ms, std::nullopt},
      {"as long as the server asks", 1, 7s, 0s, 7s},
      {"at once when the server says so", 2, 0s, 500ms, 0s},
      {"the longest wait honoured", 1, 15s, 0s, 15s},
      {"a server asking for longer", 1, 16s, 0s, std::nullopt},
      {"the waits together within their bound", 3, 10s, 10s, 10s},
      {"past the bound of the waits together", 3, 10s, 11s, std::nullopt},
      {"nothing failed yet", 0, std::nullopt, 0s, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(policy.delayBeforeRetry(c.failedAttempts, c.retryAfter, c.waited), c.expected);
  }
  EXPECT_EQ(DownloadRetryPolicy::none().delayBeforeRetry(1, std::nullopt, 0s), std::nullopt);
  DownloadRetryPolicy many;
  many.maxAttempts = 10;
  many.maxTotalDelay = 1h;
  EXPECT_EQ(many.delayBeforeRetry(6, std::nullopt, 0s), 4s) << "the growth stops at maxDelay";
}

TEST(DownloadRulesTests, RetryAfterIsReadAsSecondsOrAsADate) {
  const auto now = std::chrono::floor<std::chrono::seconds>(base::Date::clock::now());
  auto delay = [&](std::optional<std::string> header) {
    cloudfs::HTTPURLResponse response;
    response.statusCode = 503;
    if (header) response.headerFields = {{"retry-after", *header}};
    return retryAfterDelay(response, now);
  };
  EXPECT_EQ(delay("120"), Duration(120s));
  EXPECT_EQ(delay("0"), Duration(0s));
  EXPECT_EQ(delay(base::formatHTTPDate(now + 30s)), Duration(30s));
  EXPECT_EQ(delay(base::formatHTTPDate(now - 30s)), Duration(0s)) << "a date gone by: at once";
  EXPECT_EQ(delay("soon"), std::nullopt);
  EXPECT_EQ(delay("-5"), std::nullopt);
  EXPECT_EQ(delay(std::nullopt), std::nullopt);
}

TEST(DownloadRulesTests, OnlyAConnectionLostOrTimedOutIsTriedAgain) {
  using C = cloudfs::URLError::Code;
  struct Case {
    C code;
    bool transient;
    bool serverBrokeOff;       // before the server answered
    bool serverBrokeOffLater;  // after it answered
  };
  const Case cases[] = {
      {C::networkConnectionLost, true, true, true},
      {C::timedOut, true, false, true},
      {C::cannotConnectToHost, false, false, false},
      {C::cannotFindHost, false, false, false},
      {C::notConnectedToInternet, false, false, false},
      {C::secureConnectionFailed, false, false, false},
      {C::cancelled, false, false, false},
      {C::cannotWriteToFile, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    const cloudfs::CloudFSSessionError error(cloudfs::URLError{c.code, "failed", std::nullopt});
    EXPECT_EQ(isTransientTransportFailure(error), c.transient);
    EXPECT_EQ(isServerBreakOff(error, false), c.serverBrokeOff);
    EXPECT_EQ(isServerBreakOff(error, true), c.serverBrokeOffLater);
  }
  const cloudfs::CloudFSSessionError notHTTP(
      cloudfs::TarnixURLError::make(cloudfs::TarnixURLError::Kind::badServerResponse));
  EXPECT_FALSE(isTransientTransportFailure(notHTTP));
}

}  // namespace
}  // namespace tarnix::fileprovider
