#pragma once
// The console sink: the system log's stand-in on Linux is standard error. Only the entry's
// message is written, after the label (the log category); location and metadata are not.

#include <functional>
#include <string>
#include <string_view>

#include "base/Logger.hpp"

namespace tarnix::base {

/// The system-log message types levels map to.
enum class UnifiedLogType { fault, error, info, debug };
/// critical → fault; error, warning → error; info → info; debug, trace → debug.
UnifiedLogType unifiedLogType(LoggerLevel level);

class OSLogSink final : public LogSink {
 public:
  /// Receives one finished line (with its line end).
  using Output = std::function<void(std::string_view line)>;

  static constexpr std::string_view kSubsystem = "tarnix";

  /// A sink for category `label` writing to standard error.
  explicit OSLogSink(std::string label, LoggerLevel level = LoggerLevel::info);
  OSLogSink(std::string label, LoggerLevel level, Output output);

  const std::string& category() const { return category_; }
  /// Writes "[<label>] <message>" (just the message when the label is empty).
  void log(const LogEntry& entry) override;

 private:
  std::string category_;
  Output output_;
};

}  // namespace tarnix::base
