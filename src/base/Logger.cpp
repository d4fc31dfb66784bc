#include "base/Logger.hpp"

#include <cstring>

namespace tarnix::base {

std::string_view loggerLevelName(LoggerLevel level) {
  switch (level) {
    case LoggerLevel::critical: return "[FAULT]";
    case LoggerLevel::error: return "[ERROR]";
    case LoggerLevel::warning: return "[WARN ]";
    case LoggerLevel::info: return "[INFO ]";
    case LoggerLevel::debug: return "[DEBUG]";
    case LoggerLevel::trace: return "[TRACE]";
  }
  return "[?????]";
}

std::string_view loggerLevelEmoji(LoggerLevel level) {
  switch (level) {
    case LoggerLevel::critical: return "\U0001F534";
    case LoggerLevel::error: return "\U0001F7E0";
    case LoggerLevel::warning: return "\U0001F7E1";
    case LoggerLevel::info: return "\U0001F7E2";
    case LoggerLevel::debug: return "\u26AA";
    case LoggerLevel::trace: return "\U0001F7E3";
  }
  return "";
}

std::optional<LoggerLevel> loggerLevelFromRawValue(long long raw) {
  if (raw < 1 || raw > 6) return std::nullopt;
  return static_cast<LoggerLevel>(raw);
}

std::optional<LoggerMetadataValue> LogSink::metadataValue(std::string_view key) const {
  std::lock_guard lock(metadataMutex_);
  return metadata_.get(key);
}

void LogSink::setMetadataValue(std::string_view key, std::optional<LoggerMetadataValue> value) {
  std::lock_guard lock(metadataMutex_);
  metadata_.set(key, std::move(value));
}

LoggerMetadata LogSink::metadata() const {
  std::lock_guard lock(metadataMutex_);
  return metadata_;
}

void LogSink::setMetadata(LoggerMetadata metadata) {
  std::lock_guard lock(metadataMutex_);
  metadata_ = std::move(metadata);
}

namespace {
LoggerLevel mostVerbose(const std::vector<std::shared_ptr<LogSink>>& sinks) {
  LoggerLevel level = LoggerLevel::critical;
  for (const auto& s : sinks) {
    if (s->logLevel() > level) level = s->logLevel();
  }
  return level;
}
}  // namespace

MultiplexingLogSink::MultiplexingLogSink(std::vector<std::shared_ptr<LogSink>> sinks)
    : LogSink(mostVerbose(sinks)), sinks_(std::move(sinks)) {}

LogSinkFactory MultiplexingLogSink::factory(std::vector<LogSinkFactory> factories) {
  return [factories = std::move(factories)](const std::string& label) -> std::shared_ptr<LogSink> {
    std::vector<std::shared_ptr<LogSink>> sinks;
    sinks.reserve(factories.size());
    for (const auto& f : factories) sinks.push_back(f(label));
    return std::make_shared<MultiplexingLogSink>(std::move(sinks));
  };
}

void MultiplexingLogSink::setLogLevel(LoggerLevel level) {
  for (auto& s : sinks_) s->setLogLevel(level);
  storeLevel(level);
}

void MultiplexingLogSink::log(const LogEntry& entry) {
  for (auto& s : sinks_) {
    if (entry.level <= s->logLevel()) s->log(entry);
  }
}

std::optional<LoggerMetadataValue> MultiplexingLogSink::metadataValue(std::string_view key) const {
  for (const auto& s : sinks_) {
    if (auto value = s->metadataValue(key)) return value;
  }
  return std::nullopt;
}

void MultiplexingLogSink::setMetadataValue(std::string_view key,
                                           std::optional<LoggerMetadataValue> value) {
  for (auto& s : sinks_) s->setMetadataValue(key, value);
}

LoggerMetadata MultiplexingLogSink::metadata() const {
  LoggerMetadata merged;
  for (const auto& s : sinks_) merged.merge(s->metadata());
  return merged;
}

void MultiplexingLogSink::setMetadata(LoggerMetadata metadata) {
  for (auto& s : sinks_) s->setMetadata(metadata);
}

namespace detail {
std::string shortFileName(const char* path) {
  std::string_view p(path ? path : "");
  auto last = p.rfind('/');
  if (last == std::string_view::npos || last == 0) return std::string(p);
  auto previous = p.rfind('/', last - 1);
  return std::string(previous == std::string_view::npos ? p : p.substr(previous + 1));
}
}  // namespace detail

namespace {
std::mutex gFactoryMutex;
bool gBootstrapped = false;
LogSinkFactory& processFactory() {
  static LogSinkFactory factory = [](const std::string&) { return std::make_shared<NullLogSink>(); };
  return factory;
}
}  // namespace

namespace LoggingSystem {
void bootstrap(LogSinkFactory factory) {
  std::lock_guard lock(gFactoryMutex);
  processFactory() = std::move(factory);
  gBootstrapped = true;
}
bool isBootstrapped() {
  std::lock_guard lock(gFactoryMutex);
  return gBootstrapped;
}
LogSinkFactory factory() {
  std::lock_guard lock(gFactoryMutex);
  return processFactory();
}
}  // namespace LoggingSystem

Logger::Logger(std::string label) : Logger(std::move(label), LoggingSystem::factory()) {}

Logger::Logger(std::string label, LogSinkFactory factory)
    : label_(std::move(label)), factory_(std::move(factory)), sink_(factory_(label_)) {
  if (!sink_) sink_ = std::make_shared<NullLogSink>();
}

Logger Logger::null() {
  return Logger("", [](const std::string&) { return std::make_shared<NullLogSink>(); });
}

Logger Logger::child(std::string_view suffix, std::optional<LoggerLevel> level) const {
  std::string label = label_.empty() ? std::string(suffix) : label_ + "." + std::string(suffix);
  Logger logger(std::move(label), factory_);
  if (level) logger.setLogLevel(*level);
  return logger;
}

void Logger::write(LoggerLevel level, std::string message, std::optional<LoggerMetadata> metadata,
                   const std::source_location& location) const {
  LogEntry entry;
  entry.level = level;
  entry.label = label_;
  entry.message = std::move(message);
  entry.metadata = std::move(metadata);
  entry.file = detail::shortFileName(location.file_name());
  entry.function = location.function_name();
  entry.line = location.line();
  entry.timestamp = std::chrono::system_clock::now();
  sink_->log(entry);
}

}  // namespace tarnix::base
