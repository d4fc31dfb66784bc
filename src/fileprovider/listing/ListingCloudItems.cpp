#include "fileprovider/listing/ListingCloudItems.hpp"

#include <set>

#include "common/SkipsService.hpp"
#include "fileprovider/listing/ListingPatch.hpp"

namespace tarnix::fileprovider {

std::expected<std::vector<common::CloudItem>, common::SyncError> cloudItems(
    const SyncCloudFolderItems& listed) {
  std::vector<common::CloudItem> items;
  std::set<common::CloudItemIdentifier> seen;
  for (const auto* list : {&listed.childFolderItems, &listed.childFileItems}) {
    for (const auto& entry : *list) {
      if (!entry.isFolder() && entry.contentSize < 0) {
        return std::unexpected(common::SyncError(common::SyncError::Code::badServerResponse));
      }
      if (!isSafeCloudName(entry.filename) ||
          common::SkipsService::isUnwantedCloudName(entry.filename, entry.itemIdentifier.type())) {
        continue;
      }
      if (entry.cloudIdentifier && !seen.insert(*entry.cloudIdentifier).second) continue;
      items.push_back({
          .identifier = entry.itemIdentifier,
          .parentIdentifier = entry.parentItemIdentifier,
          .filename = entry.filename,
          .permission = entry.permission,
          .author = entry.author,
          .uploadDate = entry.uploadDate,
          .contentVersion = entry.contentVersion,
          .contentSize = entry.contentSize,
          .contentModificationDate = entry.contentModificationDate,
          .contentChecksum = entry.contentChecksum,
          .historySize = entry.historySize,
          .isFixedFolder = entry.flags.contains(common::SyncItemFlags::isFixedFolder),
      });
    }
  }
  return items;
}

}  // namespace tarnix::fileprovider
