#include "common/SentryLogSink.hpp"

#include <gtest/gtest.h>

using tarnix::base::LoggerLevel;
using tarnix::common::SentryInstance;
using tarnix::common::SentryLogSink;

namespace {
struct RecordingSentry final : SentryInstance {
  void capture(const tarnix::base::LogEntry& entry) override { messages.push_back(entry.message); }
  std::vector<std::string> messages;
};
}  // namespace

TEST(SentryLogSink, NeverBecomesMoreVerboseThanError) {
  struct Case {
    LoggerLevel set;
    LoggerLevel expected;
  } cases[] = {
      {LoggerLevel::critical, LoggerLevel::critical}, {LoggerLevel::error, LoggerLevel::error},
      {LoggerLevel::warning, LoggerLevel::error},     {LoggerLevel::info, LoggerLevel::error},
      {LoggerLevel::debug, LoggerLevel::error},       {LoggerLevel::trace, LoggerLevel::error},
  };
  SentryLogSink sink;
  EXPECT_EQ(sink.logLevel(), LoggerLevel::error);
  for (const auto& c : cases) {
    sink.setLogLevel(c.set);
    EXPECT_EQ(sink.logLevel(), c.expected) << tarnix::base::rawValue(c.set);
  }
  EXPECT_EQ(SentryLogSink(nullptr, LoggerLevel::debug).logLevel(), LoggerLevel::error);
}

TEST(SentryLogSink, HandsEntriesThatPassToCrashReporting) {
  auto sentry = std::make_shared<RecordingSentry>();
  tarnix::base::Logger logger(
      "Sync", [&](const std::string&) { return std::make_shared<SentryLogSink>(sentry); });
  logger.warning("not sent");
  logger.error("sent");
  logger.critical("also sent");
  EXPECT_EQ(sentry->messages, (std::vector<std::string>{"sent", "also sent"}));
}
