#pragma once
// A log sink that keeps every entry, for tests that read log lines.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Logger.hpp"

namespace tarnix::testing {

class CapturingLogSink final : public base::LogSink {
 public:
  CapturingLogSink() : base::LogSink(base::LoggerLevel::trace) {}

  void log(const base::LogEntry& entry) override {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  std::vector<base::LogEntry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  /// Entries whose message is `message`.
  std::vector<base::LogEntry> entries(const std::string& message) const {
    std::vector<base::LogEntry> out;
    for (auto& entry : entries()) {
      if (entry.message == message) out.push_back(entry);
    }
    return out;
  }
  /// Every message and metadata value as one text, to look for things that must not be there.
  std::string allText() const {
    std::string out;
    for (const auto& entry : entries()) {
      out += entry.message + " " + (entry.metadata ? entry.metadata->description() : "") + "\n";
    }
    return out;
  }

  /// A logger writing here.
  static std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> makeLogger(
      const std::string& label = "test") {
    auto sink = std::make_shared<CapturingLogSink>();
    base::Logger logger(label, [sink](const std::string&) { return sink; });
    return {logger, sink};
  }

 private:
  mutable std::mutex mutex_;
  std::vector<base::LogEntry> entries_;
};

}  // namespace tarnix::testing
