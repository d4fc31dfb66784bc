#include "common/SyncItem.hpp"

namespace tarnix::common {

std::optional<CloudEntryIdentifier> SyncItem::contentAncilaryVersion() const {
  if (itemRealm == SyncItemRealm::offline) {
    return CloudEntryIdentifier::synthetic(
        contentSize, contentModificationDate.value_or(std::chrono::system_clock::now()));
  }
  return contentVersion;
}

}  // namespace tarnix::common
