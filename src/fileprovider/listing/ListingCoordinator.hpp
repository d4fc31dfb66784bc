#pragma once
// Merges listing requests so that one folder is listed once however many parties wait for it,
// and runs at most a few listings at once, first in first out.
//
// A request equal to one that is running or waiting joins that job: its callback is added and
// no second listing starts. Any other request waits in `pending` until fewer than the bound are
// running, then is handed to the delegate, and is `active` until the delegate completes it;
// then every callback of the job gets the outcome, on the notify queue.
//
// Threads: `add` may be called from any thread. All state is touched on the serial queue
// "com.tarnix.ListingCoordinator"; the delegate is called there and must not block (it
// completes later, from any thread). Callbacks run on `notifyQueue`, each exactly once.

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "fileprovider/listing/ListingError.hpp"
#include "fileprovider/listing/ListingRequest.hpp"

namespace tarnix::fileprovider {

using ListingCompletion = std::function<void(ListingResult<void>)>;

class ListingJob {
 public:
  ListingJob(ListingRequest request, ListingOrigin origin, bool force)
      : request(std::move(request)), origin(origin), force(force) {}

  const ListingRequest request;
  const ListingOrigin origin;
  /// Set too when a forced request joins the job before it starts: a forced listing is never
  /// skipped because an unforced one for the same folder was waiting.
  bool force;
  std::vector<ListingCompletion> callbacks;
  bool done = false;
};

/// Performs the listings the coordinator starts (the scheduler).
class ListingCoordinatorDelegate {
 public:
  virtual ~ListingCoordinatorDelegate() = default;
  /// Called on the coordinator's queue; must return at once and call `completionHandler`
  /// exactly once, from any thread.
  virtual void listingCoordinator(const ListingRequest& request, ListingOrigin origin, bool force,
                                  ListingCompletion completionHandler) = 0;
};

class ListingCoordinator : public std::enable_shared_from_this<ListingCoordinator> {
 public:
  static constexpr std::size_t kDefaultMaxActiveJobs = 4;

  /// `maxActiveJobs` of at least 1.
  static std::shared_ptr<ListingCoordinator> make(
      std::shared_ptr<base::DispatchQueue> notifyQueue, base::Logger logger,
      std::size_t maxActiveJobs = kDefaultMaxActiveJobs);

  /// Held weakly; set once before the first `add`. Without a delegate every job fails.
  void setDelegate(std::weak_ptr<ListingCoordinatorDelegate> delegate);

  /// Files the request (or joins an equal one); `callback` gets the outcome on the notify queue.
  /// Once stopped, the callback gets ListingUnavailable at once.
  void add(ListingRequest request, ListingOrigin origin, bool force, ListingCompletion callback);

  /// Starts no more jobs: the waiting ones and every later request fail with ListingUnavailable;
  /// running jobs go on until the delegate completes them. Returns at once.
  void stop();
  /// After `stop`: waits until no job runs and every callback has run. Not on the coordinator's
  /// queue or the notify queue.
  void waitUntilIdle();

  /// For tests and diagnostics: the counts as the queue sees them now.
  struct Counts {
    std::size_t pending = 0;
    std::size_t active = 0;
  };
  Counts counts();

 private:
  ListingCoordinator(std::shared_ptr<base::DispatchQueue> notifyQueue, base::Logger logger,
                     std::size_t maxActiveJobs);
  void startJobs();
  void complete(const ListingRequest& request, ListingResult<void> outcome);

  base::DispatchQueue serialQueue_{"com.tarnix.ListingCoordinator"};
  std::shared_ptr<base::DispatchQueue> notifyQueue_;
  base::Logger logger_;
  const std::size_t maxActiveJobs_;

  // On serialQueue_ only.
  std::weak_ptr<ListingCoordinatorDelegate> delegate_;
  std::deque<std::shared_ptr<ListingJob>> pending_;
  std::map<ListingRequest, std::shared_ptr<ListingJob>> active_;
  bool stopped_ = false;
  std::vector<std::shared_ptr<base::DispatchGroup>> idleWaiters_;  // left once active_ is empty
};

}  // namespace tarnix::fileprovider
