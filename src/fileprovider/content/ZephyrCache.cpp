#include "fileprovider/content/ZephyrCache.hpp"

namespace tarnix::fileprovider {

bool shouldTryFastAccess(const std::optional<ZephyrFileMode>& mode,
                         const std::optional<common::CloudEntryIdentifier>& version) {
  if (!mode || mode->kind == ZephyrFileMode::Kind::keelvault) return true;
  return !(version && mode->entryID && *mode->entryID == *version);
}

std::optional<ZephyrFileMode> ZephyrCache::mode(const common::SyncItemIdentifier& item) {
  std::lock_guard lock(mutex_);
  auto found = index_.find(item);
  if (found == index_.end()) return std::nullopt;
  entries_.splice(entries_.begin(), entries_, found->second);
  return found->second->second;
}

void ZephyrCache::setMode(const common::SyncItemIdentifier& item, ZephyrFileMode mode) {
  std::lock_guard lock(mutex_);
  if (auto found = index_.find(item); found != index_.end()) {
    found->second->second = std::move(mode);
    entries_.splice(entries_.begin(), entries_, found->second);
    return;
  }
  entries_.emplace_front(item, std::move(mode));
  index_.emplace(item, entries_.begin());
  if (entries_.size() > capacity_) {
    index_.erase(entries_.back().first);
    entries_.pop_back();
  }
}

std::size_t ZephyrCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace tarnix::fileprovider
