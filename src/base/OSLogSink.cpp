#include "base/OSLogSink.hpp"

#include "base/StderrOutputStream.hpp"

namespace tarnix::base {

UnifiedLogType unifiedLogType(LoggerLevel level) {
  switch (level) {
    case LoggerLevel::critical:
      return UnifiedLogType::fault;
    case LoggerLevel::error:
    case LoggerLevel::warning:
      return UnifiedLogType::error;
    case LoggerLevel::info:
      return UnifiedLogType::info;
    case LoggerLevel::debug:
    case LoggerLevel::trace:
      return UnifiedLogType::debug;
  }
  return UnifiedLogType::debug;
}

OSLogSink::OSLogSink(std::string label, LoggerLevel level)
    : OSLogSink(std::move(label), level,
                [](std::string_view line) { StderrOutputStream{}.write(line); }) {}

OSLogSink::OSLogSink(std::string label, LoggerLevel level, Output output)
    : LogSink(level), category_(std::move(label)), output_(std::move(output)) {}

void OSLogSink::log(const LogEntry& entry) {
  std::string line;
  line.reserve(entry.message.size() + category_.size() + 4);
  if (!category_.empty()) {
    line += '[';
    line += category_;
    line += "] ";
  }
  line += entry.message;
  line += '\n';
  output_(line);
}

}  // namespace tarnix::base
