#include "base/LogFormat.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "base/BuildInfo.hpp"
#include "base/ErrorDescription.hpp"
#include "base/LoggerMetadataConversions.hpp"
#include "base/OSLogSink.hpp"
#include "base/StderrOutputStream.hpp"

using namespace tarnix::base;

namespace {

// Every test of this binary sees local time at +05:30, so that local and UTC differ.
const bool kZoneSet = [] {
  setenv("TZ", "XST-05:30", 1);
  tzset();
  return true;
}();

// 2024-03-01T12:34:56.789Z, 18:04:56.789 local.
Date sampleDate() {
  return dateFromMillisecondsSince1970(1709296496789);
}

LogEntry sampleEntry(std::string label = "Sync.Upload",
                     std::optional<LoggerMetadata> metadata = std::nullopt) {
  LogEntry entry;
  entry.level = LoggerLevel::info;
  entry.label = std::move(label);
  entry.message = "Uploading";
  entry.metadata = std::move(metadata);
  entry.file = "fileprovider/Upload.cpp";
  entry.function = "start";
  entry.line = 42;
  entry.timestamp = sampleDate();
  return entry;
}

}  // namespace

TEST(LogFormat, LinesByteForByte) {
  ASSERT_TRUE(kZoneSet);
  LogFormat plain;
  LogFormat iso;
  iso.useIso8601ForTimestamp = true;
  LogFormat noEmoji;
  noEmoji.includeLevelEmoji = false;
  LogFormat bare;
  bare.includeLevelEmoji = false;
  bare.includeLevelName = false;
  bare.includeTimestamp = false;
  LogFormat located;
  located.includeLocation = true;
  LogFormat noMetadata;
  noMetadata.includeMetadata = false;
  LogFormat stamped;
  stamped.setDateFormat("yyyy-MM-dd'T'HHmmss");

  LoggerMetadata metadata{{"itemID", "42"},
                          {"size", 3},
                          {"ok", true},
                          {"none", nullptr},
                          {"parts", LoggerMetadataValue{1.5, "a"}},
                          {"nested", LoggerMetadata{{"k", std::uint64_t{7}}}}};
  struct Case {
    const LogFormat* format;
    LogEntry entry;
    std::string line;
  } cases[] = {
      {&plain, sampleEntry(), "2024-03-01 18:04:56:789 \U0001F7E2[INFO ] [Sync.Upload] Uploading"},
      {&plain, sampleEntry("Sync", LoggerMetadata{}),
       "2024-03-01 18:04:56:789 \U0001F7E2[INFO ] [Sync] Uploading\n    with [:]"},
      {&plain, sampleEntry("", metadata),
       "2024-03-01 18:04:56:789 \U0001F7E2[INFO ] Uploading\n    with [itemID: \"42\", size: 3, "
       "ok: true, none: <nil>, parts: [1.5, \"a\"], nested: [k: 7]]"},
      {&iso, sampleEntry(),
       "2024-03-01T18:04:56.789+05:30 \U0001F7E2[INFO ] [Sync.Upload] Uploading"},
      {&noEmoji, sampleEntry(), "2024-03-01 18:04:56:789 [INFO ] [Sync.Upload] Uploading"},
      {&bare, sampleEntry(), "[Sync.Upload] Uploading"},
      {&located, sampleEntry("S", LoggerMetadata{{"a", 1}}),
       "2024-03-01 18:04:56:789 \U0001F7E2[INFO ] [S] Uploading\n    at "
       "fileprovider/Upload.cpp:42:start\n    with [a: 1]"},
      {&noMetadata, sampleEntry("S", metadata),
       "2024-03-01 18:04:56:789 \U0001F7E2[INFO ] [S] Uploading"},
      {&stamped, sampleEntry("S"), "2024-03-01T180456 \U0001F7E2[INFO ] [S] Uploading"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.format->line(c.entry), c.line);
}

TEST(LogFormat, EveryLevelHasItsEmojiAndName) {
  struct Case {
    LoggerLevel level;
    const char* prefix;
  } cases[] = {
      {LoggerLevel::critical, "\U0001F534[FAULT] "}, {LoggerLevel::error, "\U0001F7E0[ERROR] "},
      {LoggerLevel::warning, "\U0001F7E1[WARN ] "},  {LoggerLevel::info, "\U0001F7E2[INFO ] "},
      {LoggerLevel::debug, "\u26AA[DEBUG] "},        {LoggerLevel::trace, "\U0001F7E3[TRACE] "},
  };
  LogFormat format;
  format.includeTimestamp = false;
  for (const auto& c : cases) {
    auto entry = sampleEntry("");
    entry.level = c.level;
    EXPECT_EQ(format.line(entry), std::string(c.prefix) + "Uploading");
  }
}

TEST(ErrorDescription, RendersDomainCodeDescriptionAndUnderlyingError) {
  auto underlying = std::make_shared<ErrorDescription>(
      ErrorDescription{"NSPOSIXErrorDomain", 28, LoggerMetadata{}, nullptr});
  struct Case {
    LoggerMetadata userInfo;
    std::shared_ptr<const ErrorDescription> underlying;
    std::string text;
  } cases[] = {
      {{}, nullptr, "[domain: \"Cloud\", code: 5]"},
      {{{"NSDebugDescription", "debug"}, {"NSLocalizedDescription", "shown"}, {"itemID", "i"}},
       nullptr,
       "[\"debug\", [domain: \"Cloud\", code: 5, userInfo: [itemID: \"i\"]]]"},
      {{{"NSLocalizedDescription", "shown"}, {"NSLocalizedFailureReason", "why"}},
       nullptr,
       "[\"shown\", [domain: \"Cloud\", code: 5]]"},
      {{{"NSLocalizedFailureReason", "Disk is full."}},
       nullptr,
       "[\"The operation could not be completed. Disk is full.\", [domain: \"Cloud\", code: 5]]"},
      {{},
       underlying,
       "[domain: \"Cloud\", code: 5, underlying: [domain: \"NSPOSIXErrorDomain\", code: 28]]"},
  };
  for (const auto& c : cases) {
    ErrorDescription error{"Cloud", 5, c.userInfo, c.underlying};
    EXPECT_EQ(LoggerMetadata({{"error", error}}).description(), "[error: " + c.text + "]");
  }
  auto posix = ErrorDescription::fromErrorCode(std::make_error_code(std::errc::no_space_on_device));
  EXPECT_EQ(posix.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(posix.code, ENOSPC);
}

TEST(StderrOutputStream, EprintJoinsItemsLikePrint) {
  ::testing::internal::CaptureStderr();
  eprint("a", 1, 2.5);
  eprint(PrintOptions{", ", "!"}, "x", "y");
  eprint();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "a 1 2.5\nx, y!\n");
}

TEST(BuildInfo, UnknownEnvironmentsMeanDev) {
  struct Case {
    const char* text;
    DeploymentEnvironment environment;
  } cases[] = {{"dev", DeploymentEnvironment::dev},
               {"qa", DeploymentEnvironment::qa},
               {"staging", DeploymentEnvironment::staging},
               {"release", DeploymentEnvironment::release},
               {"", DeploymentEnvironment::dev},
               {"Release", DeploymentEnvironment::dev}};
  for (const auto& c : cases) EXPECT_EQ(deploymentEnvironmentFromString(c.text), c.environment);
}

TEST(OSLogSink, WritesTheMessageAloneUnderItsCategory) {
  std::string written;
  OSLogSink sink("Sync", LoggerLevel::info, [&](std::string_view line) { written += line; });
  Logger logger(
      "Sync", [&](const std::string&) { return std::shared_ptr<LogSink>(&sink, [](LogSink*) {}); });
  logger.info("Listing", {{"itemID", "1"}});
  logger.debug("hidden");
  EXPECT_EQ(written, "[Sync] Listing\n");
  EXPECT_EQ(unifiedLogType(LoggerLevel::critical), UnifiedLogType::fault);
  EXPECT_EQ(unifiedLogType(LoggerLevel::warning), UnifiedLogType::error);
  EXPECT_EQ(unifiedLogType(LoggerLevel::trace), UnifiedLogType::debug);
}

TEST(LoggerMetadataConversions, JSONStatusCodesAndPlainDictionaries) {
  auto json = parseJSON(R"({"name":"a","size":3,"big":18446744073709551615,"ratio":0.5,)"
                        R"("ok":true,"none":null,"list":[1,"x"],"inner":{"k":-1}})");
  ASSERT_TRUE(json);
  LoggerMetadata metadata{{"body", loggerMetadataValue(*json)},
                          {"status", HTTPStatusCode(404)}};
  EXPECT_EQ(metadata.description(),
            "[body: [name: \"a\", size: 3, big: 18446744073709551615, ratio: 0.5, ok: true, "
            "none: <nil>, list: [1, \"x\"], inner: [k: -1]], status: 404]");
  EXPECT_EQ(dumpJSON(metadataAsDictionary(metadata)),
            R"({"body":{"name":"a","size":3,"big":18446744073709551615,"ratio":0.5,"ok":true,)"
            R"("none":null,"list":[1,"x"],"inner":{"k":-1}},"status":404})");
}
