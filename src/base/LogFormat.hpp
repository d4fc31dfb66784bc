#pragma once
// How a log entry becomes a line of a log file.

#include <string>

#include "base/DateFormatter.hpp"
#include "base/Logger.hpp"

namespace tarnix::base {

struct LogFormat {
  bool includeLocation = false;
  bool includeTimestamp = true;
  bool useIso8601ForTimestamp = false;
  bool includeLevelName = true;
  bool includeLevelEmoji = true;
  bool includeMetadata = true;
  /// Local time, "en_US_POSIX", "yyyy-MM-dd HH:mm:ss:SSS" unless changed.
  DateFormatter dateFormatter;

  const std::string& dateFormat() const { return dateFormatter.dateFormat(); }
  void setDateFormat(std::string pattern) { dateFormatter.setDateFormat(std::move(pattern)); }

  /// The line for `entry`, without a line end:
  ///   "<timestamp> <emoji><[LEVEL]> [<label>] <message>"
  ///   "\n    at <file>:<line>:<function>"   when includeLocation
  ///   "\n    with <metadata description>"   when includeMetadata and the entry has metadata
  /// Parts that are switched off or empty are left out with their separators.
  std::string line(const LogEntry& entry) const;
  void appendLine(std::string& out, const LogEntry& entry) const;
};

}  // namespace tarnix::base
