#pragma once
// The table of the event bus between the product's processes ("Events" in the main database):
// each process appends the events it posts, with its process identifier, and reads those of
// the others in identifier order. Old rows are deleted by age.
//
// Thread-safe (the main database runs every statement on its queue). Failures are logged
// ("Writing events failed", "Reading events failed", "Reading most recent event identifier
// failed") and answered as nothing written or nothing read: the bus drops what it cannot keep.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "base/Logger.hpp"
#include "common/MainDatabase.hpp"

namespace tarnix::common {

/// One event as stored: the notification's name and its encoded payload.
struct RawPersistedEvent {
  std::string name;
  std::string data;
  bool operator==(const RawPersistedEvent&) const = default;
};

struct StoredEvent {
  std::int64_t identifier = 0;
  RawPersistedEvent event;
  bool operator==(const StoredEvent&) const = default;
};

class EventStorage {
 public:
  EventStorage(std::shared_ptr<MainDatabase> database, base::Logger logger)
      : database_(std::move(database)), logger_(std::move(logger)) {}

  /// Appends `events` in one transaction, stamped with `timestamp`; false when nothing was
  /// written.
  bool store(const std::vector<RawPersistedEvent>& events, std::int64_t sourceProcessIdentifier,
             base::Date timestamp);
  /// The events after `since` that processes other than `excludeProcess` wrote, oldest first.
  std::vector<StoredEvent> events(std::int64_t since, std::int64_t excludeProcess);
  /// The largest identifier stored (0 for an empty table); none when it cannot be read.
  std::optional<std::int64_t> mostRecentEventIdentifier();
  /// Deletes the events stamped before `cutoff`; returns how many went.
  std::int64_t deleteEvents(base::Date cutoff);
  /// How many rows the table holds (0 when it cannot be read).
  std::int64_t count();

 private:
  std::shared_ptr<MainDatabase> database_;
  base::Logger logger_;
};

}  // namespace tarnix::common
