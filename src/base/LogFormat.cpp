#include "base/LogFormat.hpp"

#include <fmt/format.h>

namespace tarnix::base {

void LogFormat::appendLine(std::string& out, const LogEntry& entry) const {
  if (includeTimestamp) {
    if (useIso8601ForTimestamp) {
      out += formatISO8601Local(entry.timestamp);
    } else {
      dateFormatter.appendString(out, entry.timestamp);
    }
    out += ' ';
  }
  if (includeLevelEmoji) out += loggerLevelEmoji(entry.level);
  if (includeLevelName) out += loggerLevelName(entry.level);
  if (includeLevelEmoji || includeLevelName) out += ' ';
  if (!entry.label.empty()) {
    out += '[';
    out += entry.label;
    out += "] ";
  }
  out += entry.message;
  if (includeLocation) {
    fmt::format_to(std::back_inserter(out), "\n    at {}:{}:{}", entry.file, entry.line,
                   entry.function);
  }
  if (includeMetadata && entry.metadata) {
    out += "\n    with ";
    entry.metadata->appendDescription(out);
  }
}

std::string LogFormat::line(const LogEntry& entry) const {
  std::string out;
  out.reserve(64 + entry.message.size());
  appendLine(out, entry);
  return out;
}

}  // namespace tarnix::base
