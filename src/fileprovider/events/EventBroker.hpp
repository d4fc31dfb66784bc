#pragma once
// The event bus between the product's processes (a mount and the commands run beside it, say):
// an event posted in one process is delivered to the observers of that process at once, and
// persisted in the shared event storage; the other processes are told through a distributed
// notification and replay what they have not seen, each with the coder of its name. A process
// never replays its own events.
//
// Threads: any thread may post or subscribe. Writes and replays run on the serial queue
// "com.tarnix.EventBroker"; observers are called on "com.tarnix.EventBroker.LocalEvents", in
// the order events were posted or replayed. stop() ends the replays; nothing is delivered after
// it returns.

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/DispatchQueue.hpp"
#include "base/JSONValue.hpp"
#include "base/Logger.hpp"
#include "common/EventStorage.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

/// Turns the payload of one kind of event into stored text and back.
class PersistableEventCoder {
 public:
  virtual ~PersistableEventCoder() = default;
  virtual std::string encode(const base::JSONValue& payload) const = 0;
  /// The payload, or why the text is none of this kind's.
  virtual std::expected<base::JSONValue, std::string> decode(const std::string& data) const = 0;
};
using EventCoderList = std::map<std::string, std::shared_ptr<const PersistableEventCoder>>;

/// A cloud path of a drive changed. Keys "cloudPath" and "driveIdentifier".
struct PathUpdatedInfo {
  static constexpr const char* kEventName = "com.tarnix.PathUpdated";
  std::string cloudPath;
  std::string driveIdentifier;

  base::JSONValue toJSON() const;
  static std::expected<PathUpdatedInfo, std::string> fromJSON(const base::JSONValue& json);
  bool operator==(const PathUpdatedInfo&) const = default;
};
/// The coder of PathUpdatedInfo: its JSON, checked on the way back.
std::shared_ptr<const PersistableEventCoder> pathUpdatedInfoCoder();

/// Deletes old rows of the event storage once enough were written since the last time.
class EventStorageCleaner {
 public:
  /// Rows older than this go.
  static constexpr std::chrono::seconds kRetention{120};

  EventStorageCleaner(std::shared_ptr<common::EventStorage> storage, std::int64_t threshold,
                      std::shared_ptr<base::Clock> clock, base::Logger logger);
  ~EventStorageCleaner();
  /// `count` events were written; at the threshold the old ones are deleted ("Vaccuming
  /// events") on the cleaner's own queue.
  void didStore(std::int64_t count);
  /// Waits for a deletion under way.
  void drain();

 private:
  std::shared_ptr<common::EventStorage> storage_;
  const std::int64_t threshold_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.EventStorageCleaner"};
  base::DispatchQueue vacuumQueue_{"com.tarnix.EventStorageCleaner.Vacuum"};
  std::int64_t counter_ = 0;  // on serialQueue_
};

class EventBroker final : public std::enable_shared_from_this<EventBroker> {
 public:
  /// Posted (object: the writer's process identifier) after events were persisted.
  static constexpr const char* kEventsPersistedNotification =
      "com.tarnix.EventBroker.EventsPersisted";
  using Handler = std::function<void(const base::JSONValue& payload)>;

  struct Collaborators {
    std::shared_ptr<common::EventStorage> storage;
    std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter;
    EventCoderList coders;
    std::int64_t processIdentifier = 0;
    /// May be null.
    std::shared_ptr<EventStorageCleaner> storageCleaner;
    std::shared_ptr<base::Clock> clock;
  };

  static std::shared_ptr<EventBroker> make(Collaborators collaborators, base::Logger logger);
  ~EventBroker();

  /// Starts following the other processes from the newest stored event on.
  void start();
  void stop();

  /// Delivers `payload` to this process's observers of `name` and persists it for the others.
  /// A name without a coder is delivered locally only (and logged).
  void post(const std::string& name, const base::JSONValue& payload);
  /// Calls `handler` for every event named `name` until the returned token is released.
  std::shared_ptr<void> subscribe(std::string name, Handler handler);

  /// Waits until what was posted before is persisted and delivered (for tools and tests).
  void drain();

 private:
  EventBroker(Collaborators collaborators, base::Logger logger);
  void flush();
  void handleReplayTrigger();
  void replay();
  void deliver(const std::string& name, const base::JSONValue& payload);

  Collaborators c_;
  std::string processIdentifierString_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.EventBroker"};
  base::DispatchQueue localEventsQueue_{"com.tarnix.EventBroker.LocalEvents"};
  std::shared_ptr<void> subscription_;
  std::atomic<bool> stopped_{false};

  // On serialQueue_.
  std::int64_t lastEventIdentifier_ = 0;
  std::vector<common::RawPersistedEvent> outgoingEvents_;
  /// A replay is queued and has not begun: triggers meanwhile need no other.
  std::atomic<bool> moreEventsToReplay_{false};

  struct Observer {
    std::string name;
    Handler handler;
  };
  std::mutex observersMutex_;
  std::vector<std::weak_ptr<Observer>> observers_;  // guarded by observersMutex_
};

}  // namespace tarnix::fileprovider
