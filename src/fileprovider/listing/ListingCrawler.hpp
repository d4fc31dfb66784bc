#pragma once
// Walks a subtree folder by folder: each folder added is listed (origin `enumerator`, not
// forced), then its child folders are added, until none is left.
//
// Threads: any thread may call `add`. The set of folders still to list is touched only on
// "com.tarnix.ListingCrawler".

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/listing/ListingScheduler.hpp"

namespace tarnix::fileprovider {

class ListingCrawler : public std::enable_shared_from_this<ListingCrawler> {
 public:
  ListingCrawler(std::shared_ptr<ListingScheduler> scheduler,
                 std::shared_ptr<common::SyncItemStorage> itemStorage, base::Logger logger);

  /// Ignored once stopped. `whenIdle` runs (on the crawler's queue) once no folder is left to
  /// list, or when the crawler stops.
  void add(const std::vector<common::SyncFolderIdentifier>& folders,
           std::function<void()> whenIdle = {});
  bool isRunning();
  /// Forgets the folders still to list and hands the scheduler no more; a listing already
  /// handed over ends with the scheduler. Not on the crawler's queue.
  void stop();

 private:
  void tick();
  void becameIdle();

  std::weak_ptr<ListingScheduler> scheduler_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.ListingCrawler"};
  // On serialQueue_ only.
  std::set<common::SyncFolderIdentifier> folders_;
  bool isRunning_ = false;
  bool stopped_ = false;
  std::vector<std::function<void()>> idleWaiters_;
};

}  // namespace tarnix::fileprovider
