#include "common/SyncItem.hpp"

namespace tarnix::common {

std::optional<CloudEntryIdentifier> SyncItem::contentAncilaryVersion() const {
  if (itemRealm == SyncItemRealm::offline) {
    return CloudEntryIdentifier::synthetic(
        contentSize, contentModificationDate.value_or(std::chrono::system_clock::now()));
  }
  return contentVersion;
}

namespace {

bool isFixedFolder(const SyncItem& item) {
  return item.isFolder() && item.flags.contains(SyncItemFlags::isFixedFolder);
}

}  // namespace

bool hasCollaborationLock(const SyncItem& item) {
  return item.lockInfo && item.lockInfo->collaborationToken.has_value();
}

bool allowsMovingAndDeleting(const SyncItem& item) {
  const auto needed = isFixedFolder(item) ? SyncItemPermission::owner : SyncItemPermission::full;
  return isAtLeast(item.permission, needed) && !hasCollaborationLock(item);
}

bool allowsRenaming(const SyncItem& item) {
  const auto needed = isFixedFolder(item) ? SyncItemPermission::owner : SyncItemPermission::editor;
  return isAtLeast(item.permission, needed) && !hasCollaborationLock(item);
}

bool allowsEditing(const SyncItem& item) {
  if (isAtLeast(item.permission, SyncItemPermission::editor)) return true;
  return item.itemRealm == SyncItemRealm::offline && item.permission != SyncItemPermission::none;
}

}  // namespace tarnix::common
