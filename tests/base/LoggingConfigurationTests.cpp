#include "base/LoggingConfiguration.hpp"

#include <gtest/gtest.h>

#include "base/FileLogSink.hpp"
#include "base/OSLogSink.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::base;
using tarnix::testing::readFile;
using tarnix::testing::TempDir;

namespace {

class NamedSink final : public LogSink {
 public:
  explicit NamedSink(std::string name) : LogSink(LoggerLevel::info), name(std::move(name)) {}
  void log(const LogEntry&) override {}
  std::string name;
};

LogSinkInitParams named(const std::string& name) {
  return LogSinkInitParams::custom(
      [name](const std::string&) { return std::make_shared<NamedSink>(name); });
}

std::vector<std::string> sinkNames(const std::shared_ptr<LogSink>& sink) {
  if (auto* named = dynamic_cast<NamedSink*>(sink.get())) return {named->name};
  std::vector<std::string> names;
  if (auto* multiplexer = dynamic_cast<MultiplexingLogSink*>(sink.get())) {
    for (const auto& s : multiplexer->sinks()) names.push_back(dynamic_cast<NamedSink&>(*s).name);
  }
  return names;
}

}  // namespace

TEST(LoggingConfiguration, LabelsInheritFromAncestorsMostSpecificFirst) {
  LoggingConfiguration configuration;
  for (const char* name : {"R", "A", "X", "AB", "ABC", "BC", "N", "NM"}) {
    configuration.addSink(name, named(name));
  }
  configuration.addLogger("", {"R"}, {}, LoggerLevel::info);
  configuration.addLogger("a", {"A", "X"});
  configuration.addLogger("a.b", {"AB"}, {"X"}, LoggerLevel::debug);
  configuration.addLogger("a.b.c", {"ABC"});
  configuration.addLogger("a.bc", {"BC", "X"}, {}, LoggerLevel::error);
  configuration.addLogger("n", {"N"}, {}, std::nullopt, /*additive=*/false);
  configuration.addLogger("n.m", {"NM", "R"}, {"N"});

  struct Case {
    std::string label;
    std::vector<std::string> sinks;
    std::optional<LoggerLevel> level;
  } cases[] = {
      {"a.b.c", {"ABC", "AB", "A", "R"}, LoggerLevel::debug},  // X excluded by a.b
      {"a.b.c.d", {"ABC", "AB", "A", "R"}, LoggerLevel::debug},
      {"a.bc", {"BC", "X", "A", "R"}, LoggerLevel::error},  // not a child of a.b
      {"a", {"A", "X", "R"}, LoggerLevel::info},
      {"ab", {"R"}, LoggerLevel::info},
      {"", {"R"}, LoggerLevel::info},
      {"n", {"N"}, std::nullopt},          // not additive: root skipped
      {"n.m", {"NM", "R"}, std::nullopt},  // R named by n.m itself
  };
  for (const auto& c : cases) {
    auto selection = configuration.select(c.label);
    EXPECT_EQ(selection.sinkNames, c.sinks) << c.label;
    EXPECT_EQ(selection.level, c.level) << c.label;
    EXPECT_EQ(sinkNames(configuration.makeSink(c.label)), c.sinks) << c.label;
  }
}

TEST(LoggingConfiguration, AddingAgainReplacesAndLevelsFallBackToTheDefault) {
  LoggingConfiguration configuration;
  configuration.addSink("s", named("first"));
  configuration.addSink("s", named("second"));
  configuration.addLogger("", {"s"}, {}, LoggerLevel::trace);
  configuration.addLogger("", {"s"});
  EXPECT_EQ(configuration.sinks.size(), 1u);
  EXPECT_EQ(configuration.loggers.size(), 1u);

  auto sink = configuration.makeSink("x");
  EXPECT_EQ(sinkNames(sink), std::vector<std::string>{"second"});
  EXPECT_EQ(sink->logLevel(), LoggerLevel::info);  // the sink's own default
  configuration.defaultLevel = LoggerLevel::debug;
  EXPECT_EQ(configuration.makeSink("x")->logLevel(), LoggerLevel::debug);
  configuration.addLogger("x", {"s"}, {}, LoggerLevel::error);
  EXPECT_EQ(configuration.makeSink("x")->logLevel(), LoggerLevel::error);

  // A multiplexer passes the chosen level to every child.
  configuration.addSink("t", named("third"));
  configuration.addLogger("x", {"s", "t"}, {}, LoggerLevel::warning);
  auto both = std::dynamic_pointer_cast<MultiplexingLogSink>(configuration.makeSink("x"));
  ASSERT_TRUE(both);
  for (const auto& child : both->sinks()) EXPECT_EQ(child->logLevel(), LoggerLevel::warning);
}

TEST(LoggingConfiguration, UnknownSinkNamesArePrintedAndSkipped) {
  LoggingConfiguration configuration;
  configuration.addSink("known", named("known"));
  configuration.addLogger("", {"missing", "known"});
  ::testing::internal::CaptureStdout();
  auto sink = configuration.makeSink("a");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unknown sink name: missing\n");
  EXPECT_EQ(sinkNames(sink), std::vector<std::string>{"known"});

  LoggingConfiguration empty;
  EXPECT_TRUE(std::dynamic_pointer_cast<NullLogSink>(empty.makeSink("a")));
}

TEST(LoggingConfiguration, BuildsFileAndConsoleSinks) {
  TempDir dir;
  LoggingConfiguration configuration;
  configuration.rootFolderURL = dir.path();
  configuration.deploymentEnvironment = DeploymentEnvironment::release;
  configuration.addSink("relative", LogSinkInitParams::rollingFile("Logs/FileProvider.log"));
  configuration.addSink("absolute", LogSinkInitParams::file((dir / "abs.log").string(), true));
  configuration.addSink("console", LogSinkInitParams::console());
  configuration.addLogger("", {"relative", "absolute", "console"});

  auto logger = configuration.makeLoggerObject("Sync");
  auto multiplexer = std::dynamic_pointer_cast<MultiplexingLogSink>(logger.sink());
  ASSERT_TRUE(multiplexer);
  ASSERT_EQ(multiplexer->sinks().size(), 3u);
  auto console = std::dynamic_pointer_cast<OSLogSink>(multiplexer->sinks()[2]);
  ASSERT_TRUE(console);
  EXPECT_EQ(console->category(), "Sync");
  // Keep the console sink quiet for the rest of the test.
  console->setLogLevel(LoggerLevel::critical);
  multiplexer->sinks()[0]->setLogLevel(LoggerLevel::info);

  logger.info("hello");
  for (int i : {0, 1}) std::dynamic_pointer_cast<FileLogSink>(multiplexer->sinks()[i])->flush();
  auto relative = readFile(dir / "Logs" / "FileProvider.log");
  auto absolute = readFile(dir / "abs.log");
  EXPECT_TRUE(relative.ends_with(" \U0001F7E2[INFO ] [Sync] hello\n")) << relative;
  EXPECT_EQ(relative, absolute);
  // Release builds stamp lines in ISO 8601: "2024-03-01T18:04:56.789+05:30 ".
  ASSERT_GT(relative.size(), 24u);
  EXPECT_EQ(relative[10], 'T');
  EXPECT_EQ(relative[19], '.');

  // The child logger is made by the same configuration.
  auto child = logger.child("Upload");
  EXPECT_EQ(child.label(), "Sync.Upload");
  EXPECT_TRUE(std::dynamic_pointer_cast<MultiplexingLogSink>(child.sink()));
}

TEST(LoggingConfiguration, RollingFileTakesItsFormatAndLimit) {
  TempDir dir;
  LoggingConfiguration configuration;
  LogFormat format;
  format.includeTimestamp = false;
  format.includeLevelEmoji = false;
  configuration.addSink("file",
                        LogSinkInitParams::rollingFile((dir / "a.log").string(), format, 16));
  configuration.addLogger("", {"file"});
  auto logger = configuration.makeLoggerObject("");
  logger.info("x");
  logger.info("rotates now");
  std::dynamic_pointer_cast<FileLogSink>(logger.sink())->flush();
  EXPECT_EQ(readFile(dir / "a.log"), "");
  int archives = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    archives += e.path().filename().string().ends_with(".log.zip") ? 1 : 0;
  }
  EXPECT_EQ(archives, 1);
}

TEST(LoggingSystem, LoggersMadeBeforeBootstrapKeepDiscarding) {
  if (LoggingSystem::isBootstrapped()) {  // an earlier test of this process did it
    LoggingSystem::bootstrap([](const std::string&) { return std::make_shared<NullLogSink>(); });
  }
  Logger early("early");
  LoggingConfiguration configuration;
  configuration.addSink("s", named("s"));
  configuration.addLogger("", {"s"});
  LoggingSystem::bootstrap(configuration);
  EXPECT_TRUE(LoggingSystem::isBootstrapped());
  EXPECT_TRUE(std::dynamic_pointer_cast<NullLogSink>(early.sink()));
  EXPECT_EQ(sinkNames(Logger("late").sink()), std::vector<std::string>{"s"});
}
