#pragma once
// A log sink that keeps every entry, and a helper that runs a function in a child process.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Logger.hpp"

namespace tarnix::testing {

class RecordingLogSink final : public base::LogSink {
 public:
  RecordingLogSink() : LogSink(base::LoggerLevel::trace) {}
  void log(const base::LogEntry& entry) override {
    std::lock_guard guard(mutex_);
    entries_.push_back(entry);
  }
  std::vector<base::LogEntry> entries() const {
    std::lock_guard guard(mutex_);
    return entries_;
  }
  std::size_t count(const std::string& message) const {
    std::lock_guard guard(mutex_);
    std::size_t n = 0;
    for (const auto& entry : entries_) n += entry.message == message;
    return n;
  }
  /// Every message and metadata value as one text, to look for leaked secrets.
  std::string everything() const {
    std::lock_guard guard(mutex_);
    std::string text;
    for (const auto& entry : entries_) {
      text += entry.message + "\n";
      if (entry.metadata) text += entry.metadata->description() + "\n";
    }
    return text;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<base::LogEntry> entries_;
};

inline base::Logger recordingLogger(const std::shared_ptr<RecordingLogSink>& sink) {
  return base::Logger("test", [sink](const std::string&) { return sink; });
}

/// Runs `body` in a forked child; returns its exit status (`body`'s result).
inline int runInChild(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

/// Waits (at most `timeout`) until `predicate` holds.
template <class P>
bool eventually(P predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return predicate();
}

}  // namespace tarnix::testing
