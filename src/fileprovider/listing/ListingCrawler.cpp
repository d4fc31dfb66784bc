#include "fileprovider/listing/ListingCrawler.hpp"

namespace tarnix::fileprovider {

ListingCrawler::ListingCrawler(std::shared_ptr<ListingScheduler> scheduler,
                               std::shared_ptr<common::SyncItemStorage> itemStorage,
                               base::Logger logger)
    : scheduler_(std::move(scheduler)),
      itemStorage_(std::move(itemStorage)),
      logger_(std::move(logger)) {}

void ListingCrawler::add(const std::vector<common::SyncFolderIdentifier>& folders,
                         std::function<void()> whenIdle) {
  serialQueue_.async([self = shared_from_this(), folders, whenIdle = std::move(whenIdle)] {
    if (self->stopped_) {
      if (whenIdle) whenIdle();
      return;
    }
    self->folders_.insert(folders.begin(), folders.end());
    if (whenIdle) self->idleWaiters_.push_back(whenIdle);
    if (self->isRunning_) return;
    if (self->folders_.empty()) return self->becameIdle();
    self->isRunning_ = true;
    TLOG_DEBUG(self->logger_, "Crawler started");
    self->tick();
  });
}

bool ListingCrawler::isRunning() {
  return serialQueue_.sync([this] { return isRunning_; });
}

void ListingCrawler::stop() {
  serialQueue_.sync([this] {
    if (stopped_) return;
    stopped_ = true;
    folders_.clear();
    if (isRunning_) logger_.info("Crawler stopped");
    isRunning_ = false;
    becameIdle();
  });
}

void ListingCrawler::becameIdle() {
  for (auto& waiter : std::exchange(idleWaiters_, {})) waiter();
}

void ListingCrawler::tick() {
  if (stopped_) return;
  auto scheduler = scheduler_.lock();
  if (folders_.empty() || !scheduler) {
    isRunning_ = false;
    logger_.info("Crawler stopped");
    becameIdle();
    return;
  }
  auto folder = *folders_.begin();
  folders_.erase(folders_.begin());
  std::weak_ptr<ListingCrawler> weak = weak_from_this();
  scheduler->triggerListing(
      common::SyncItemIdentifier(folder), ListingOrigin::enumerator, false, false,
      [weak, folder](ListingResult<void> result) {
        auto self = weak.lock();
        if (!self) return;
        self->serialQueue_.async([self, folder, listed = result.has_value()] {
          if (self->stopped_) return;
          if (listed) {
            auto children = self->itemStorage_->enumerateAllItems(
                folder, common::SyncItemReadOptions::skipExtendedAttributes |
                            common::SyncItemReadOptions::skipSubscriptionState);
            if (!children) {
              self->logger_.error(
                  "Unable to enumerate items from DB during crawling",
                  {{"itemID", folder.description()}, {"error", children.error().description()}});
            } else {
              for (const auto& child : *children) {
                if (const auto* childFolder = child.itemIdentifier.folder()) {
                  self->folders_.insert(*childFolder);
                }
              }
            }
          }
          self->tick();
        });
      });
}

}  // namespace tarnix::fileprovider
