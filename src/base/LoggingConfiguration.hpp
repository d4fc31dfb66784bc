#pragma once
// Which sinks exist in the process and which logger labels write to which sinks.
//
// A logger label "a.b.c" takes the configurations labelled "a.b.c", "a.b", "a" and "" (not
// "a.bc"), most specific first: each adds its sinks unless a more specific one excluded them,
// the first level given wins, and a configuration that is not additive ends the walk.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/BuildInfo.hpp"
#include "base/LogFormat.hpp"
#include "base/Logger.hpp"

namespace tarnix::base {

/// How a named sink is made.
struct LogSinkInitParams {
  struct File {
    std::string path;
    bool truncate = false;
  };
  struct RollingFile {
    std::string path;
    std::optional<LogFormat> format;
    std::optional<std::uint64_t> sizeLimit;
  };
  struct Custom {
    LogSinkFactory factory;
  };
  struct Console {};

  static LogSinkInitParams file(std::string path, bool truncate) {
    return {File{std::move(path), truncate}};
  }
  static LogSinkInitParams rollingFile(std::string path, std::optional<LogFormat> format = {},
                                       std::optional<std::uint64_t> sizeLimit = {}) {
    return {RollingFile{std::move(path), std::move(format), sizeLimit}};
  }
  static LogSinkInitParams custom(LogSinkFactory factory) { return {Custom{std::move(factory)}}; }
  static LogSinkInitParams console() { return {Console{}}; }

  std::variant<File, RollingFile, Custom, Console> value;
};

struct LogSinkConfiguration {
  std::string name;
  LogSinkInitParams initParams;
};

struct LoggerConfiguration {
  std::string label;
  std::vector<std::string> sinks;
  std::vector<std::string> excludedSinks;
  std::optional<LoggerLevel> level;
  bool additive = true;
};

class LoggingConfiguration {
 public:
  std::vector<LogSinkConfiguration> sinks;
  std::vector<LoggerConfiguration> loggers;
  std::optional<LoggerLevel> defaultLevel;
  /// Relative file paths are taken from here.
  std::optional<std::filesystem::path> rootFolderURL;
  /// Staging and release builds write ISO 8601 timestamps to files.
  DeploymentEnvironment deploymentEnvironment = BuildInfo::targetDeploymentEnvironment();

  /// Replaces every sink configuration named `name`.
  void addSink(const std::string& name, LogSinkInitParams initParams);
  /// Replaces every logger configuration labelled `label`.
  void addLogger(const std::string& label, std::vector<std::string> sinks,
                 std::vector<std::string> excludedSinks = {},
                 std::optional<LoggerLevel> level = std::nullopt, bool additive = true);

  /// The sink for a logger labelled `label`: NullLogSink without sinks, the sink itself for
  /// one, a MultiplexingLogSink for more. A sink name without configuration prints
  /// "Unknown sink name: <name>" on standard output and is skipped.
  std::shared_ptr<LogSink> makeSink(const std::string& label) const;
  /// A Logger with `label`, its sink and this configuration as factory.
  Logger makeLoggerObject(const std::string& label) const;
  /// label → sink, over a copy of this configuration.
  LogSinkFactory asFactory() const;

  /// What the walk over the logger configurations selects for `label`.
  struct Selection {
    std::vector<std::string> sinkNames;  // in the order they were first included
    std::optional<LoggerLevel> level;
  };
  Selection select(const std::string& label) const;

 private:
  std::shared_ptr<LogSink> buildSink(const LogSinkInitParams& params,
                                     const std::string& label) const;
};

namespace LoggingSystem {
/// Bootstraps with the configuration's sinks (LoggingConfiguration::asFactory).
void bootstrap(const LoggingConfiguration& configuration);
}  // namespace LoggingSystem

}  // namespace tarnix::base
