#include "common/SentryLogSink.hpp"

namespace tarnix::common {

std::shared_ptr<SentryInstance> NullSentryInstance::shared() {
  static auto instance = std::make_shared<NullSentryInstance>();
  return instance;
}

SentryLogSink::SentryLogSink(std::shared_ptr<SentryInstance> sentryInstance,
                             base::LoggerLevel level)
    : LogSink(clamped(level)),
      sentryInstance_(sentryInstance ? std::move(sentryInstance) : NullSentryInstance::shared()) {}

base::LoggerLevel SentryLogSink::clamped(base::LoggerLevel level) {
  return level == base::LoggerLevel::critical ? base::LoggerLevel::critical
                                              : base::LoggerLevel::error;
}

void SentryLogSink::setLogLevel(base::LoggerLevel level) {
  storeLevel(clamped(level));
}

void SentryLogSink::log(const base::LogEntry& entry) {
  sentryInstance_->capture(entry);
}

}  // namespace tarnix::common
