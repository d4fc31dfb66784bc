#pragma once
// Manual locks from the file manager's context menu: locks or unlocks the selected files with
// source manual and records "manual_file_lock" / "manual_file_unlock" with "document_types",
// "number_of_files", "did_fail", "context_menu" and, for unlock, "unlock_rights".
//
// Threads: any thread; the completion runs once, on the locking service's queue, with the
// first failure (after every file was tried) as a framework error.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/Logger.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/locking/LockingService.hpp"
#include "platform/fileprovider/Error.hpp"

namespace tarnix::fileprovider {

class ContextMenuLockingService {
 public:
  using Completion = std::function<void(std::optional<platform::fileprovider::Error>)>;

  /// `analytics` may be null.
  ContextMenuLockingService(std::shared_ptr<LockingService> lockingService,
                            std::shared_ptr<common::AnalyticsSender> analytics,
                            std::shared_ptr<common::SyncItemStorage> itemStorage,
                            base::Logger logger);

  void lock(const std::vector<common::SyncFileIdentifier>& files, Completion completion);
  void unlock(const std::vector<common::SyncFileIdentifier>& files, Completion completion);

 private:
  void run(const std::vector<common::SyncFileIdentifier>& files, bool locking,
           Completion completion);

  std::shared_ptr<LockingService> lockingService_;
  std::shared_ptr<common::AnalyticsSender> analytics_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
