#include "base/LoggingConfiguration.hpp"

#include <algorithm>
#include <cstdio>

#include "base/FileLogSink.hpp"
#include "base/OSLogSink.hpp"

namespace tarnix::base {
namespace {

bool appliesTo(const std::string& configured, const std::string& label) {
  if (configured.empty() || configured == label) return true;
  return label.size() > configured.size() && label.starts_with(configured) &&
         label[configured.size()] == '.';
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

void LoggingConfiguration::addSink(const std::string& name, LogSinkInitParams initParams) {
  std::erase_if(sinks, [&](const LogSinkConfiguration& s) { return s.name == name; });
  sinks.push_back({name, std::move(initParams)});
}

void LoggingConfiguration::addLogger(const std::string& label, std::vector<std::string> sinkNames,
                                     std::vector<std::string> excludedSinks,
                                     std::optional<LoggerLevel> level, bool additive) {
  std::erase_if(loggers, [&](const LoggerConfiguration& l) { return l.label == label; });
  loggers.push_back({label, std::move(sinkNames), std::move(excludedSinks), level, additive});
}

LoggingConfiguration::Selection LoggingConfiguration::select(const std::string& label) const {
  std::vector<const LoggerConfiguration*> matching;
  for (const auto& logger : loggers) {
    if (appliesTo(logger.label, label)) matching.push_back(&logger);
  }
  std::stable_sort(matching.begin(), matching.end(),
                   [](const auto* a, const auto* b) { return a->label.size() > b->label.size(); });
  Selection selection;
  std::vector<std::string> excluded;
  for (const auto* logger : matching) {
    excluded.insert(excluded.end(), logger->excludedSinks.begin(), logger->excludedSinks.end());
    for (const auto& name : logger->sinks) {
      if (!contains(excluded, name) && !contains(selection.sinkNames, name)) {
        selection.sinkNames.push_back(name);
      }
    }
    if (!selection.level) selection.level = logger->level;
    if (!logger->additive) break;
  }
  return selection;
}

std::shared_ptr<LogSink> LoggingConfiguration::buildSink(const LogSinkInitParams& params,
                                                         const std::string& label) const {
  auto fileParams = [this](const std::string& path) {
    LogFileInitParams file;
    std::filesystem::path p(path);
    file.url = !rootFolderURL || p.is_absolute() ? p : *rootFolderURL / p;
    if (deploymentEnvironment == DeploymentEnvironment::staging ||
        deploymentEnvironment == DeploymentEnvironment::release) {
      file.format.useIso8601ForTimestamp = true;
    }
    return file;
  };
  return std::visit(
      [&](const auto& p) -> std::shared_ptr<LogSink> {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, LogSinkInitParams::File>) {
          auto file = fileParams(p.path);
          file.truncate = p.truncate;
          file.rollingEnabled = false;
          return FileLogSink::make(file);
        } else if constexpr (std::is_same_v<P, LogSinkInitParams::RollingFile>) {
          auto file = fileParams(p.path);
          if (p.format) file.format = *p.format;
          if (p.sizeLimit) file.sizeLimit = *p.sizeLimit;
          return FileLogSink::make(file);
        } else if constexpr (std::is_same_v<P, LogSinkInitParams::Custom>) {
          return p.factory ? p.factory(label) : nullptr;
        } else {
          return std::make_shared<OSLogSink>(label, LoggerLevel::info);
        }
      },
      params.value);
}

std::shared_ptr<LogSink> LoggingConfiguration::makeSink(const std::string& label) const {
  auto selection = select(label);
  std::vector<std::shared_ptr<LogSink>> built;
  for (const auto& name : selection.sinkNames) {
    auto it = std::find_if(sinks.begin(), sinks.end(),
                           [&](const LogSinkConfiguration& s) { return s.name == name; });
    if (it == sinks.end()) {
      std::printf("Unknown sink name: %s\n", name.c_str());
      std::fflush(stdout);
      continue;
    }
    if (auto sink = buildSink(it->initParams, label)) built.push_back(std::move(sink));
  }
  std::shared_ptr<LogSink> sink;
  if (built.empty()) {
    sink = std::make_shared<NullLogSink>();
  } else if (built.size() == 1) {
    sink = std::move(built.front());
  } else {
    sink = std::make_shared<MultiplexingLogSink>(std::move(built));
  }
  if (auto level = selection.level ? selection.level : defaultLevel) sink->setLogLevel(*level);
  return sink;
}

Logger LoggingConfiguration::makeLoggerObject(const std::string& label) const {
  return Logger(label, asFactory());
}

LogSinkFactory LoggingConfiguration::asFactory() const {
  auto configuration = std::make_shared<const LoggingConfiguration>(*this);
  return [configuration](const std::string& label) { return configuration->makeSink(label); };
}

void LoggingSystem::bootstrap(const LoggingConfiguration& configuration) {
  bootstrap(configuration.asFactory());
}

}  // namespace tarnix::base
