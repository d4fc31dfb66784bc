#include "fileprovider/events/EventBroker.hpp"

#include <algorithm>

namespace tarnix::fileprovider {

namespace {

class PathUpdatedInfoCoder final : public PersistableEventCoder {
 public:
  std::string encode(const base::JSONValue& payload) const override {
    return base::dumpJSON(payload);
  }
  std::expected<base::JSONValue, std::string> decode(const std::string& data) const override {
    auto json = base::parseJSON(data);
    if (!json) return std::unexpected(json.error().message);
    auto info = PathUpdatedInfo::fromJSON(*json);
    if (!info) return std::unexpected(info.error());
    return info->toJSON();
  }
};

}  // namespace

base::JSONValue PathUpdatedInfo::toJSON() const {
  return {{"cloudPath", cloudPath}, {"driveIdentifier", driveIdentifier}};
}

std::expected<PathUpdatedInfo, std::string> PathUpdatedInfo::fromJSON(const base::JSONValue& json) {
  auto path = base::jsonString(json, "cloudPath");
  auto drive = base::jsonString(json, "driveIdentifier");
  if (!path || !drive) return std::unexpected("cloudPath and driveIdentifier must be strings");
  return PathUpdatedInfo{std::move(*path), std::move(*drive)};
}

std::shared_ptr<const PersistableEventCoder> pathUpdatedInfoCoder() {
  static const auto coder = std::make_shared<const PathUpdatedInfoCoder>();
  return coder;
}

// MARK: EventStorageCleaner

EventStorageCleaner::EventStorageCleaner(std::shared_ptr<common::EventStorage> storage,
                                         std::int64_t threshold, std::shared_ptr<base::Clock> clock,
                                         base::Logger logger)
    : storage_(std::move(storage)),
      threshold_(std::max<std::int64_t>(1, threshold)),
      clock_(clock ? std::move(clock) : base::Clock::system()),
      logger_(std::move(logger)) {}

EventStorageCleaner::~EventStorageCleaner() {
  drain();
}

void EventStorageCleaner::didStore(std::int64_t count) {
  serialQueue_.async([this, count] {
    counter_ += count;
    if (counter_ < threshold_) return;
    counter_ = 0;
    vacuumQueue_.async([this] {
      logger_.info("Vaccuming events");
      storage_->deleteEvents(clock_->now() - kRetention);
    });
  });
}

void EventStorageCleaner::drain() {
  serialQueue_.drain();
  vacuumQueue_.drain();
}

// MARK: EventBroker

std::shared_ptr<EventBroker> EventBroker::make(Collaborators collaborators, base::Logger logger) {
  if (!collaborators.clock) collaborators.clock = base::Clock::system();
  return std::shared_ptr<EventBroker>(new EventBroker(std::move(collaborators), std::move(logger)));
}

EventBroker::EventBroker(Collaborators collaborators, base::Logger logger)
    : c_(std::move(collaborators)),
      processIdentifierString_(std::to_string(c_.processIdentifier)),
      logger_(std::move(logger)) {}

EventBroker::~EventBroker() {
  stop();
}

void EventBroker::start() {
  serialQueue_.sync(
      [this] { lastEventIdentifier_ = c_.storage->mostRecentEventIdentifier().value_or(0); });
  std::weak_ptr<EventBroker> weak = weak_from_this();
  subscription_ = c_.distributedNotificationCenter->addObserver(
      kEventsPersistedNotification, [weak](const std::string&, const std::string& writer) {
        auto self = weak.lock();
        if (!self || writer == self->processIdentifierString_) return;
        self->handleReplayTrigger();
      });
}

void EventBroker::stop() {
  if (stopped_.exchange(true)) return;
  subscription_.reset();
  if (!serialQueue_.isCurrent()) serialQueue_.drain();
  if (!localEventsQueue_.isCurrent()) localEventsQueue_.drain();
}

void EventBroker::post(const std::string& name, const base::JSONValue& payload) {
  deliver(name, payload);
  auto coder = c_.coders.find(name);
  if (coder == c_.coders.end()) {
    logger_.error("No coder for event, not sent to other processes", {{"name", name}});
    return;
  }
  auto data = coder->second->encode(payload);
  serialQueue_.async([self = shared_from_this(), name, data = std::move(data)] {
    self->outgoingEvents_.push_back({name, data});
    self->flush();
  });
}

std::shared_ptr<void> EventBroker::subscribe(std::string name, Handler handler) {
  auto observer = std::make_shared<Observer>(Observer{std::move(name), std::move(handler)});
  std::lock_guard lock(observersMutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  observers_.push_back(observer);
  return observer;
}

void EventBroker::drain() {
  serialQueue_.drain();
  localEventsQueue_.drain();
}

void EventBroker::flush() {
  if (outgoingEvents_.empty() || stopped_) return;
  auto events = std::move(outgoingEvents_);
  outgoingEvents_.clear();
  if (!c_.storage->store(events, c_.processIdentifier, c_.clock->now())) return;
  if (c_.storageCleaner) c_.storageCleaner->didStore(static_cast<std::int64_t>(events.size()));
  c_.distributedNotificationCenter->post(kEventsPersistedNotification, processIdentifierString_);
}

void EventBroker::handleReplayTrigger() {
  if (moreEventsToReplay_.exchange(true)) return;
  serialQueue_.async([self = shared_from_this()] { self->replay(); });
}

void EventBroker::replay() {
  moreEventsToReplay_ = false;
  if (stopped_) return;
  for (auto& stored : c_.storage->events(lastEventIdentifier_, c_.processIdentifier)) {
    lastEventIdentifier_ = std::max(lastEventIdentifier_, stored.identifier);
    const auto& name = stored.event.name;
    auto coder = c_.coders.find(name);
    if (coder == c_.coders.end()) {
      logger_.error("Replaying event failed", {{"name", name}, {"error", "no coder for it"}});
      continue;
    }
    auto payload = coder->second->decode(stored.event.data);
    if (!payload) {
      logger_.error("Replaying event failed", {{"name", name}, {"error", payload.error()}});
      continue;
    }
    deliver(name, *payload);
  }
}

void EventBroker::deliver(const std::string& name, const base::JSONValue& payload) {
  std::vector<std::shared_ptr<Observer>> observers;
  {
    std::lock_guard lock(observersMutex_);
    for (const auto& weak : observers_) {
      if (auto observer = weak.lock(); observer && observer->name == name)
        observers.push_back(std::move(observer));
    }
  }
  if (observers.empty()) return;
  localEventsQueue_.async([observers = std::move(observers), payload] {
    for (const auto& observer : observers) observer->handler(payload);
  });
}

}  // namespace tarnix::fileprovider
