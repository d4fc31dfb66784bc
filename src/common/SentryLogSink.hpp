#pragma once
// The sink that forwards errors to crash reporting.

#include <memory>

#include "base/Logger.hpp"

namespace tarnix::common {

/// Where crash-reporting events go. Thread-safe.
class SentryInstance {
 public:
  virtual ~SentryInstance() = default;
  /// Turns a log entry into a crash-reporting event.
  virtual void capture(const base::LogEntry& entry) = 0;
};

/// Crash reporting that drops every event (nothing is sent anywhere yet).
class NullSentryInstance final : public SentryInstance {
 public:
  void capture(const base::LogEntry&) override {}
  static std::shared_ptr<SentryInstance> shared();
};

/// Never more verbose than `error`: setting `critical` keeps `critical`, any other level gives
/// `error`.
class SentryLogSink final : public base::LogSink {
 public:
  explicit SentryLogSink(
      std::shared_ptr<SentryInstance> sentryInstance = NullSentryInstance::shared(),
      base::LoggerLevel level = base::LoggerLevel::error);

  void setLogLevel(base::LoggerLevel level) override;
  void log(const base::LogEntry& entry) override;

 private:
  static base::LoggerLevel clamped(base::LoggerLevel level);
  std::shared_ptr<SentryInstance> sentryInstance_;
};

}  // namespace tarnix::common
