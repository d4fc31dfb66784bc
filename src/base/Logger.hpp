#pragma once
// Levels, log entries, sinks and the Logger value that every component logs through.
//
// A Logger is a label plus a sink. The process decides once, at start, which sink a label gets
// (LoggingSystem::bootstrap); a logger made before that keeps a sink that discards everything.
// Message and metadata are built only when the sink lets the level through: pass a callable
// (or use the TLOG_* macros) for anything that costs more than a string literal.

#include <atomic>
#include <chrono>
#include <concepts>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "base/LoggerMetadata.hpp"

namespace tarnix::base {

/// Ordered from least to most verbose. A sink lets a message through when
/// message level <= sink level.
enum class LoggerLevel : int { critical = 1, error = 2, warning = 3, info = 4, debug = 5, trace = 6 };

inline constexpr LoggerLevel kDefaultLoggerLevel = LoggerLevel::info;

/// "[FAULT]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]", "[TRACE]".
std::string_view loggerLevelName(LoggerLevel level);
/// The coloured circle of the level (UTF-8).
std::string_view loggerLevelEmoji(LoggerLevel level);
/// The level with this raw value (1...6), or none.
std::optional<LoggerLevel> loggerLevelFromRawValue(long long raw);
constexpr int rawValue(LoggerLevel level) { return static_cast<int>(level); }

struct LogEntry {
  LoggerLevel level = LoggerLevel::info;
  std::string label;
  std::string message;
  std::optional<LoggerMetadata> metadata;
  std::string file;
  std::string function;
  std::int64_t line = 0;
  std::chrono::system_clock::time_point timestamp;
};

/// Where entries go. Sinks are shared between the loggers that hold them and are safe to use
/// from any thread. The level is read on every log call, so reading it is a relaxed atomic load.
class LogSink {
 public:
  virtual ~LogSink() = default;

  LoggerLevel logLevel() const noexcept { return level_.load(std::memory_order_relaxed); }
  virtual void setLogLevel(LoggerLevel level) { storeLevel(level); }

  /// Writes `entry`. Callers have checked the level already.
  virtual void log(const LogEntry& entry) = 0;

  virtual std::optional<LoggerMetadataValue> metadataValue(std::string_view key) const;
  virtual void setMetadataValue(std::string_view key, std::optional<LoggerMetadataValue> value);
  virtual LoggerMetadata metadata() const;
  virtual void setMetadata(LoggerMetadata metadata);

 protected:
  explicit LogSink(LoggerLevel level) : level_(level) {}
  void storeLevel(LoggerLevel level) { level_.store(level, std::memory_order_relaxed); }

 private:
  std::atomic<LoggerLevel> level_;
  mutable std::mutex metadataMutex_;
  LoggerMetadata metadata_;
};

/// Reports `critical`, ignores every write, has no metadata.
class NullLogSink final : public LogSink {
 public:
  NullLogSink() : LogSink(LoggerLevel::critical) {}
  void setLogLevel(LoggerLevel) override {}
  void log(const LogEntry&) override {}
  std::optional<LoggerMetadataValue> metadataValue(std::string_view) const override { return {}; }
  void setMetadataValue(std::string_view, std::optional<LoggerMetadataValue>) override {}
  LoggerMetadata metadata() const override { return {}; }
  void setMetadata(LoggerMetadata) override {}
};

using LogSinkFactory = std::function<std::shared_ptr<LogSink>(const std::string& label)>;

/// Hands each entry to every child sink whose level lets it through, in list order.
class MultiplexingLogSink final : public LogSink {
 public:
  explicit MultiplexingLogSink(std::vector<std::shared_ptr<LogSink>> sinks);
  /// A factory that makes one sink per child factory for the label.
  static LogSinkFactory factory(std::vector<LogSinkFactory> factories);

  const std::vector<std::shared_ptr<LogSink>>& sinks() const { return sinks_; }

  void setLogLevel(LoggerLevel level) override;
  void log(const LogEntry& entry) override;
  std::optional<LoggerMetadataValue> metadataValue(std::string_view key) const override;
  void setMetadataValue(std::string_view key, std::optional<LoggerMetadataValue> value) override;
  LoggerMetadata metadata() const override;
  void setMetadata(LoggerMetadata metadata) override;

 private:
  std::vector<std::shared_ptr<LogSink>> sinks_;
};

namespace detail {
template <class M>
std::string evaluateMessage(M&& message) {
  if constexpr (std::is_invocable_v<M>) {
    return std::string(std::forward<M>(message)());
  } else {
    return std::string(std::forward<M>(message));
  }
}
template <class D>
LoggerMetadata evaluateMetadata(D&& metadata) {
  if constexpr (std::is_invocable_v<D>) {
    return LoggerMetadata(std::forward<D>(metadata)());
  } else {
    return LoggerMetadata(std::forward<D>(metadata));
  }
}
/// "base/Logger.cpp" from a full source path: the file and its folder.
std::string shortFileName(const char* path);
}  // namespace detail

/// A message: text, or a callable returning text (evaluated only when it will be written).
template <class M>
concept LogMessageSource =
    std::convertible_to<M, std::string_view> || std::convertible_to<M, std::string> ||
    (std::is_invocable_v<M> && std::convertible_to<std::invoke_result_t<M>, std::string>);

/// Metadata: a LoggerMetadata, or a callable returning one (evaluated only when written).
template <class D>
concept LogMetadataSource =
    std::convertible_to<D, LoggerMetadata> ||
    (std::is_invocable_v<D> && std::convertible_to<std::invoke_result_t<D>, LoggerMetadata>);

class Logger {
 public:
  /// Makes the sink with the process-wide factory (LoggingSystem::bootstrap).
  explicit Logger(std::string label);
  Logger(std::string label, LogSinkFactory factory);
  /// Label "", a NullLogSink, and a factory that makes NullLogSinks.
  static Logger null();

  const std::string& label() const { return label_; }
  const std::shared_ptr<LogSink>& sink() const { return sink_; }
  void setSink(std::shared_ptr<LogSink> sink) { sink_ = std::move(sink); }
  const LogSinkFactory& factory() const { return factory_; }

  /// Label `suffix` when this label is empty, else label + "." + suffix; a sink from the same
  /// factory, set to `level` when one is given.
  Logger child(std::string_view suffix, std::optional<LoggerLevel> level = std::nullopt) const;

  bool willLogMessage(LoggerLevel level) const noexcept { return level <= sink_->logLevel(); }
  LoggerLevel logLevel() const { return sink_->logLevel(); }
  void setLogLevel(LoggerLevel level) { sink_->setLogLevel(level); }
  std::optional<LoggerMetadataValue> metadataValue(std::string_view key) const {
    return sink_->metadataValue(key);
  }
  void setMetadataValue(std::string_view key, std::optional<LoggerMetadataValue> value) {
    sink_->setMetadataValue(key, std::move(value));
  }

  template <LogMessageSource M>
  void log(LoggerLevel level, M&& message,
           std::source_location location = std::source_location::current()) const {
    if (!willLogMessage(level)) return;
    write(level, detail::evaluateMessage(std::forward<M>(message)), std::nullopt, location);
  }
  template <LogMessageSource M, LogMetadataSource D>
  void log(LoggerLevel level, M&& message, D&& metadata,
           std::source_location location = std::source_location::current()) const {
    if (!willLogMessage(level)) return;
    write(level, detail::evaluateMessage(std::forward<M>(message)),
          detail::evaluateMetadata(std::forward<D>(metadata)), location);
  }
  template <LogMessageSource M>
  void log(LoggerLevel level, M&& message, LoggerMetadata metadata,
           std::source_location location = std::source_location::current()) const {
    if (!willLogMessage(level)) return;
    write(level, detail::evaluateMessage(std::forward<M>(message)), std::move(metadata), location);
  }

#define TARNIX_LOGGER_LEVEL_METHOD(name)                                                      \
  template <LogMessageSource M>                                                               \
  void name(M&& message, std::source_location location = std::source_location::current())    \
      const {                                                                                 \
    log(LoggerLevel::name, std::forward<M>(message), location);                               \
  }                                                                                           \
  template <LogMessageSource M, LogMetadataSource D>                                          \
  void name(M&& message, D&& metadata,                                                        \
            std::source_location location = std::source_location::current()) const {         \
    log(LoggerLevel::name, std::forward<M>(message), std::forward<D>(metadata), location);    \
  }                                                                                           \
  template <LogMessageSource M>                                                               \
  void name(M&& message, LoggerMetadata metadata,                                             \
            std::source_location location = std::source_location::current()) const {         \
    log(LoggerLevel::name, std::forward<M>(message), std::move(metadata), location);          \
  }
  TARNIX_LOGGER_LEVEL_METHOD(trace)
  TARNIX_LOGGER_LEVEL_METHOD(debug)
  TARNIX_LOGGER_LEVEL_METHOD(info)
  TARNIX_LOGGER_LEVEL_METHOD(warning)
  TARNIX_LOGGER_LEVEL_METHOD(error)
  TARNIX_LOGGER_LEVEL_METHOD(critical)
#undef TARNIX_LOGGER_LEVEL_METHOD

  /// Builds the entry (timestamp now) and hands it to the sink, without a level check.
  void write(LoggerLevel level, std::string message, std::optional<LoggerMetadata> metadata,
             const std::source_location& location) const;

 private:
  std::string label_;
  LogSinkFactory factory_;
  std::shared_ptr<LogSink> sink_;
};

namespace LoggingSystem {
/// Replaces the process-wide factory. Loggers made earlier keep their sinks.
void bootstrap(LogSinkFactory factory);
bool isBootstrapped();
/// The current process-wide factory (NullLogSinks before any bootstrap).
LogSinkFactory factory();
}  // namespace LoggingSystem

}  // namespace tarnix::base

/// Lazy logging: the arguments after the logger are evaluated only when the level passes.
/// TLOG_INFO(logger_, "Listing folder", {{"itemID", id.description()}});
#define TARNIX_LOG_AT(logger, level, ...)                               \
  do {                                                                  \
    const auto& tarnix_logger_ = (logger);                              \
    if (tarnix_logger_.willLogMessage(level)) {                         \
      tarnix_logger_.log(level, __VA_ARGS__);                           \
    }                                                                   \
  } while (0)
#define TLOG_TRACE(logger, ...) TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::trace, __VA_ARGS__)
#define TLOG_DEBUG(logger, ...) TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::debug, __VA_ARGS__)
#define TLOG_INFO(logger, ...) TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::info, __VA_ARGS__)
#define TLOG_WARNING(logger, ...) \
  TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::warning, __VA_ARGS__)
#define TLOG_ERROR(logger, ...) TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::error, __VA_ARGS__)
#define TLOG_CRITICAL(logger, ...) \
  TARNIX_LOG_AT(logger, ::tarnix::base::LoggerLevel::critical, __VA_ARGS__)
