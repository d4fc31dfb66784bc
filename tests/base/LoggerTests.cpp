#include "base/Logger.hpp"

#include <gtest/gtest.h>

using namespace tarnix::base;

namespace {
class RecordingSink final : public LogSink {
 public:
  explicit RecordingSink(LoggerLevel level = LoggerLevel::info) : LogSink(level) {}
  void log(const LogEntry& entry) override { entries.push_back(entry); }
  std::vector<LogEntry> entries;
};
}  // namespace

TEST(LoggerMetadata, WriteMovesTheKeyLastAndNoneDeletes) {
  LoggerMetadata m{{"a", 1}, {"b", "x"}, {"a", 2}};
  EXPECT_EQ(m.description(), "[b: \"x\", a: 2]");
  m.set("b", LoggerMetadataValue(true));
  EXPECT_EQ(m.description(), "[a: 2, b: true]");
  m.set("a", std::nullopt);
  EXPECT_EQ(m.description(), "[b: true]");
  m.merge(LoggerMetadata{{"c", 1.5}, {"b", false}});
  EXPECT_EQ(m.description(), "[c: 1.5, b: false]");
  EXPECT_EQ(LoggerMetadata().description(), "[:]");
}

TEST(LoggerMetadata, ValueDescriptions) {
  struct Case {
    LoggerMetadataValue value;
    const char* text;
  } cases[] = {
      {LoggerMetadataValue(true), "true"},
      {LoggerMetadataValue(-3), "-3"},
      {LoggerMetadataValue(std::uint64_t{18446744073709551615ull}), "18446744073709551615"},
      {LoggerMetadataValue(1.0), "1.0"},
      {LoggerMetadataValue(0.1), "0.1"},
      {LoggerMetadataValue("say \"hi\""), "\"say \"hi\"\""},
      {LoggerMetadataValue(), "<nil>"},
      {LoggerMetadataValue(std::optional<int>()), "<nil>"},
      {LoggerMetadataValue(std::vector<int>{1, 2}), "[1, 2]"},
      {LoggerMetadataValue(LoggerMetadata{{"k", "v"}}), "[k: \"v\"]"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.text);
}

TEST(Logger, NothingIsBuiltWhenTheSinkFiltersTheLevel) {
  auto sink = std::make_shared<RecordingSink>(LoggerLevel::info);
  Logger logger("a.b", [sink](const std::string&) { return sink; });
  int built = 0;
  logger.debug([&] { ++built; return std::string("hidden"); },
               [&] { ++built; return LoggerMetadata{}; });
  TLOG_DEBUG(logger, (++built, "hidden"));
  EXPECT_EQ(built, 0);
  EXPECT_TRUE(sink->entries.empty());
  logger.info("shown", {{"itemID", "42"}});
  ASSERT_EQ(sink->entries.size(), 1u);
  EXPECT_EQ(sink->entries[0].label, "a.b");
  EXPECT_EQ(sink->entries[0].message, "shown");
  EXPECT_EQ(sink->entries[0].metadata->description(), "[itemID: \"42\"]");
  EXPECT_NE(sink->entries[0].file.find("LoggerTests.cpp"), std::string::npos);
}

TEST(Logger, ChildLabelsAndLevels) {
  auto factory = [](const std::string&) { return std::make_shared<RecordingSink>(); };
  Logger root("", factory);
  EXPECT_EQ(root.child("Sync").label(), "Sync");
  auto child = Logger("Sync", factory).child("Upload", LoggerLevel::trace);
  EXPECT_EQ(child.label(), "Sync.Upload");
  EXPECT_EQ(child.logLevel(), LoggerLevel::trace);
  EXPECT_EQ(Logger::null().label(), "");
  EXPECT_EQ(Logger::null().logLevel(), LoggerLevel::critical);
}

TEST(MultiplexingLogSink, PassesEachEntryToTheSinksThatLetItThrough) {
  auto quiet = std::make_shared<RecordingSink>(LoggerLevel::error);
  auto verbose = std::make_shared<RecordingSink>(LoggerLevel::debug);
  MultiplexingLogSink sink({quiet, verbose});
  EXPECT_EQ(sink.logLevel(), LoggerLevel::debug);
  LogEntry entry;
  entry.level = LoggerLevel::info;
  sink.log(entry);
  EXPECT_EQ(quiet->entries.size(), 0u);
  EXPECT_EQ(verbose->entries.size(), 1u);
  sink.setLogLevel(LoggerLevel::warning);
  EXPECT_EQ(quiet->logLevel(), LoggerLevel::warning);
  EXPECT_EQ(verbose->logLevel(), LoggerLevel::warning);
  sink.setMetadataValue("k", LoggerMetadataValue(1));
  EXPECT_EQ(quiet->metadataValue("k"), LoggerMetadataValue(1));
}

TEST(LoggerLevel, NamesOrderAndRawValues) {
  EXPECT_LT(LoggerLevel::critical, LoggerLevel::trace);
  EXPECT_EQ(loggerLevelName(LoggerLevel::warning), "[WARN ]");
  EXPECT_EQ(loggerLevelFromRawValue(0), std::nullopt);
  EXPECT_EQ(loggerLevelFromRawValue(7), std::nullopt);
  EXPECT_EQ(loggerLevelFromRawValue(5), LoggerLevel::debug);
}
