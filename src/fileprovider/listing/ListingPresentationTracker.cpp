#include "fileprovider/listing/ListingPresentationTracker.hpp"

namespace tarnix::fileprovider {

namespace {

PresentationListingFailure failureOf(const ListingError& error) {
  PresentationListingFailure failure;
  if (const auto* sync = error.syncError()) failure.syncError = *sync;
  failure.description = error.description();
  return failure;
}

}  // namespace

ListingPresentationTracker::ListingPresentationTracker(std::weak_ptr<ListingScheduler> scheduler,
                                                       Signal signal, base::Logger logger)
    : scheduler_(std::move(scheduler)), signal_(std::move(signal)), logger_(std::move(logger)) {}

void ListingPresentationTracker::didStartPresenting(const common::SyncItemIdentifier& container) {
  const auto* folder = container.folder();
  if (!folder) return;
  std::uint64_t number = 0;
  {
    base::MutexLock lock(mutex_);
    auto& presentation = presentations_[*folder];
    ++presentation.presenters;
    number = ++presentation.asked;
  }
  auto scheduler = scheduler_.lock();
  if (!scheduler) {
    listingEnded(
        *folder, number,
        std::unexpected(ListingError(ListingUnavailable{"the listing scheduler is gone"})));
    return;
  }
  std::weak_ptr<ListingPresentationTracker> weak = weak_from_this();
  scheduler->triggerListing(container, ListingOrigin::enumerator, false, false,
                            [weak, folder = *folder, number](ListingResult<void> result) {
                              if (auto self = weak.lock())
                                self->listingEnded(folder, number, result);
                            });
}

void ListingPresentationTracker::didStopPresenting(const common::SyncItemIdentifier& container) {
  const auto* folder = container.folder();
  if (!folder) return;
  base::MutexLock lock(mutex_);
  auto found = presentations_.find(*folder);
  if (found == presentations_.end() || found->second.presenters <= 0) return;
  --found->second.presenters;
  pruneLocked(found);
}

void ListingPresentationTracker::whenPresentationListed(const common::SyncItemIdentifier& container,
                                                        ListedCompletion completion) {
  const auto* folder = container.folder();
  std::optional<PresentationListingFailure> failure;
  {
    base::MutexLock lock(mutex_);
    auto found = folder ? presentations_.find(*folder) : presentations_.end();
    if (found != presentations_.end()) {
      auto& presentation = found->second;
      if (presentation.ended < presentation.asked) {
        presentation.waiters.emplace_back(presentation.asked, std::move(completion));
        return;
      }
      failure = presentation.failure;
    }
  }
  completion(std::move(failure));
}

void ListingPresentationTracker::listingEnded(const common::SyncFolderIdentifier& folder,
                                              std::uint64_t number,
                                              const ListingResult<void>& result) {
  std::optional<PresentationListingFailure> failure;
  if (!result) failure = failureOf(result.error());
  std::vector<ListedCompletion> done;
  {
    base::MutexLock lock(mutex_);
    auto found = presentations_.find(folder);
    if (found == presentations_.end()) return;
    auto& presentation = found->second;
    // Listings of one folder may end out of order; the latest one says how the folder is.
    if (number > presentation.ended) {
      presentation.ended = number;
      presentation.failure = failure;
    }
    std::erase_if(presentation.waiters, [&](auto& waiter) {
      if (waiter.first > number) return false;
      done.push_back(std::move(waiter.second));
      return true;
    });
    pruneLocked(found);
  }
  for (auto& completion : done) completion(failure);
}

void ListingPresentationTracker::pruneLocked(
    std::map<common::SyncFolderIdentifier, Presentation>::iterator found) {
  const auto& presentation = found->second;
  if (presentation.presenters <= 0 && presentation.waiters.empty() &&
      presentation.ended >= presentation.asked) {
    presentations_.erase(found);
  }
}

void ListingPresentationTracker::folderDidChange(const common::SyncFolderIdentifier& folder) {
  TLOG_DEBUG(logger_, "Folder changed by listing, signalling enumerators",
             {{"itemID", folder.description()}});
  if (signal_) signal_(folder);
}

bool ListingPresentationTracker::isPresented(const common::SyncFolderIdentifier& folder) const {
  base::MutexLock lock(mutex_);
  auto found = presentations_.find(folder);
  return found != presentations_.end() && found->second.presenters > 0;
}

}  // namespace tarnix::fileprovider
