#include "fileprovider/locking/ContextMenuLockingService.hpp"

#include <set>

namespace tarnix::fileprovider {

namespace {

std::string extensionOf(const std::string& filename) {
  const auto dot = filename.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == filename.size()) return "";
  std::string extension = filename.substr(dot + 1);
  for (auto& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

struct Outcome {
  std::mutex mutex;
  std::size_t outstanding = 0;
  std::optional<common::LockingError> firstError;
};

}  // namespace

ContextMenuLockingService::ContextMenuLockingService(
    std::shared_ptr<LockingService> lockingService,
    std::shared_ptr<common::AnalyticsSender> analytics,
    std::shared_ptr<common::SyncItemStorage> itemStorage, base::Logger logger)
    : lockingService_(std::move(lockingService)),
      analytics_(std::move(analytics)),
      itemStorage_(std::move(itemStorage)),
      logger_(std::move(logger)) {}

void ContextMenuLockingService::lock(const std::vector<common::SyncFileIdentifier>& files,
                                     Completion completion) {
  run(files, true, std::move(completion));
}

void ContextMenuLockingService::unlock(const std::vector<common::SyncFileIdentifier>& files,
                                       Completion completion) {
  run(files, false, std::move(completion));
}

void ContextMenuLockingService::run(const std::vector<common::SyncFileIdentifier>& files,
                                    bool locking, Completion completion) {
  std::set<std::string> types;
  bool canUnlockOthers = true;
  for (const auto& file : files) {
    auto item = itemStorage_->item(common::SyncItemIdentifier(file));
    if (!item) continue;
    types.insert(extensionOf(item->filename));
    // Only an owner or manager may break somebody else's lock.
    if (item->permission != common::SyncItemPermission::full &&
        item->permission != common::SyncItemPermission::owner) {
      canUnlockOthers = false;
    }
  }
  common::AnalyticsEvent event;
  event.name = locking ? "manual_file_lock" : "manual_file_unlock";
  event.properties["document_types"] = base::JSONValue::array();
  for (const auto& type : types) event.properties["document_types"].push_back(type);
  event.properties["number_of_files"] = files.size();
  event.properties["context_menu"] = true;
  if (!locking) event.properties["unlock_rights"] = canUnlockOthers ? "full" : "own";

  if (files.empty()) {
    event.properties["did_fail"] = false;
    if (analytics_) analytics_->send(std::move(event));
    return completion(std::nullopt);
  }
  auto outcome = std::make_shared<Outcome>();
  outcome->outstanding = files.size();
  auto finished = [outcome, analytics = analytics_, event, completion,
                   logger = logger_](std::optional<common::LockingError> error) mutable {
    std::optional<common::LockingError> first;
    {
      std::lock_guard lock(outcome->mutex);
      if (error && !outcome->firstError) outcome->firstError = error;
      if (--outcome->outstanding != 0) return;
      first = outcome->firstError;
    }
    event.properties["did_fail"] = first.has_value();
    if (analytics) analytics->send(std::move(event));
    if (!first) return completion(std::nullopt);
    logger.warning("Manual locking failed", {{"error", first->description()}});
    completion(first->platformError());
  };
  for (const auto& file : files) {
    if (locking) {
      lockingService_->lockFile(file, common::LocalLockSource::manual(), {},
                                [finished](LockingResult<common::LocalLock> result) mutable {
                                  finished(result ? std::nullopt : std::optional(result.error()));
                                });
    } else {
      lockingService_->unlockFile(file, common::LocalLockSource::manual(),
                                  [finished](LockingResult<void> result) mutable {
                                    finished(result ? std::nullopt : std::optional(result.error()));
                                  });
    }
  }
}

}  // namespace tarnix::fileprovider
