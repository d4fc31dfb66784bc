#include "fileprovider/listing/ListingCoordinator.hpp"

#include <algorithm>
#include <utility>

namespace tarnix::fileprovider {

namespace {

ListingResult<void> stoppedError() {
  return std::unexpected(ListingError(ListingUnavailable{"the listing scheduler is stopped"}));
}

}  // namespace

std::shared_ptr<ListingCoordinator> ListingCoordinator::make(
    std::shared_ptr<base::DispatchQueue> notifyQueue, base::Logger logger,
    std::size_t maxActiveJobs) {
  return std::shared_ptr<ListingCoordinator>(
      new ListingCoordinator(std::move(notifyQueue), std::move(logger), maxActiveJobs));
}

ListingCoordinator::ListingCoordinator(std::shared_ptr<base::DispatchQueue> notifyQueue,
                                       base::Logger logger, std::size_t maxActiveJobs)
    : notifyQueue_(std::move(notifyQueue)),
      logger_(std::move(logger)),
      maxActiveJobs_(std::max<std::size_t>(1, maxActiveJobs)) {}

void ListingCoordinator::setDelegate(std::weak_ptr<ListingCoordinatorDelegate> delegate) {
  serialQueue_.async(
      [self = shared_from_this(), delegate = std::move(delegate)] { self->delegate_ = delegate; });
}

void ListingCoordinator::add(ListingRequest request, ListingOrigin origin, bool force,
                             ListingCompletion callback) {
  serialQueue_.async([self = shared_from_this(), request = std::move(request), origin, force,
                      callback = std::move(callback)]() mutable {
    if (self->stopped_) {
      self->notifyQueue_->async([callback = std::move(callback)] { callback(stoppedError()); });
      return;
    }
    if (auto found = self->active_.find(request); found != self->active_.end()) {
      found->second->callbacks.push_back(std::move(callback));
      return;
    }
    auto waiting = std::ranges::find_if(self->pending_,
                                        [&](const auto& job) { return job->request == request; });
    if (waiting != self->pending_.end()) {
      (*waiting)->force = (*waiting)->force || force;
      (*waiting)->callbacks.push_back(std::move(callback));
      return;
    }
    auto job = std::make_shared<ListingJob>(std::move(request), origin, force);
    job->callbacks.push_back(std::move(callback));
    self->pending_.push_back(std::move(job));
    self->startJobs();
  });
}

void ListingCoordinator::stop() {
  auto waiting = serialQueue_.sync([this] {
    stopped_ = true;
    return std::exchange(pending_, {});
  });
  for (auto& job : waiting) {
    job->done = true;
    notifyQueue_->async([job] {
      for (auto& callback : job->callbacks) callback(stoppedError());
    });
  }
}

void ListingCoordinator::waitUntilIdle() {
  auto idle = std::make_shared<base::DispatchGroup>();
  idle->enter();
  serialQueue_.async([self = shared_from_this(), idle] {
    if (self->active_.empty()) {
      idle->leave();
    } else {
      self->idleWaiters_.push_back(idle);
    }
  });
  idle->wait();
  // The callbacks of the last jobs were queued before the wait ended.
  notifyQueue_->drain();
}

ListingCoordinator::Counts ListingCoordinator::counts() {
  return serialQueue_.sync([this] { return Counts{pending_.size(), active_.size()}; });
}

void ListingCoordinator::startJobs() {
  while (!stopped_ && active_.size() < maxActiveJobs_ && !pending_.empty()) {
    auto job = std::move(pending_.front());
    pending_.pop_front();
    active_.emplace(job->request, job);
    auto completion = [weak = weak_from_this(),
                       request = job->request](ListingResult<void> outcome) {
      auto self = weak.lock();
      if (!self) return;
      self->serialQueue_.async([self, request, outcome = std::move(outcome)]() mutable {
        self->complete(request, std::move(outcome));
      });
    };
    auto delegate = delegate_.lock();
    if (!delegate) {
      completion(
          std::unexpected(ListingError(ListingUnavailable{"the listing scheduler is gone"})));
      continue;
    }
    delegate->listingCoordinator(job->request, job->origin, job->force, std::move(completion));
  }
}

void ListingCoordinator::complete(const ListingRequest& request, ListingResult<void> outcome) {
  auto found = active_.find(request);
  if (found == active_.end()) {
    logger_.error("cannot find active job for listing request",
                  {{"request", request.description()}});
    return;
  }
  auto job = std::move(found->second);
  active_.erase(found);
  job->done = true;
  notifyQueue_->async([job, outcome = std::move(outcome)] {
    for (auto& callback : job->callbacks) callback(outcome);
  });
  startJobs();
  if (active_.empty()) {
    for (auto& waiter : std::exchange(idleWaiters_, {})) waiter->leave();
  }
}

}  // namespace tarnix::fileprovider
