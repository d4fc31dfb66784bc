#pragma once
// Where usage events go. The analytics store (its buckets and upload) sits behind this
// interface; services only name the event and its properties.
//
// Thread safety: implementations accept events from any thread.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"

namespace tarnix::common {

struct AnalyticsEvent {
  std::string name;
  /// An object of the event's properties.
  base::JSONValue properties = base::JSONValue::object();
};

class AnalyticsSender {
 public:
  virtual ~AnalyticsSender() = default;
  virtual void send(AnalyticsEvent event) = 0;
};

/// Drops every event (a build without an analytics store).
class NullAnalyticsSender final : public AnalyticsSender {
 public:
  void send(AnalyticsEvent) override {}
};

/// Keeps every event in memory, in the order sent.
class RecordingAnalyticsSender final : public AnalyticsSender {
 public:
  void send(AnalyticsEvent event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<AnalyticsEvent> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<AnalyticsEvent> events_;
};

}  // namespace tarnix::common
