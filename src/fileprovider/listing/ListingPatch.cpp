#include "fileprovider/listing/ListingPatch.hpp"

#include <unordered_map>
#include <unordered_set>

#include "base/UTF8.hpp"
#include "base/Uuid.hpp"

namespace tarnix::fileprovider {

using common::CloudItemIdentifier;
using common::PatchedSyncItem;
using common::SyncError;
using common::SyncItem;
using common::SyncItemFlags;

ListingDecision decideListing(bool force, bool forceRefreshLocks, ListingOrigin origin,
                              const std::optional<ListingMetadata>& metadata, base::Date now) {
  if (force) return ListingDecision::list;
  if (!forceRefreshLocks && metadata && origin == ListingOrigin::ds) {
    return ListingDecision::skipKeptCurrentByDesktopSync;
  }
  // A time in the future (a clock set back) counts as recent only within the same window, so a
  // wrong clock cannot stop listings for long.
  if (metadata && metadata->lastSynchronizationTime >= now - kListingFreshness &&
      metadata->lastSynchronizationTime <= now + kListingFreshness) {
    return ListingDecision::skipRecentlyListed;
  }
  return ListingDecision::list;
}

bool isSafeCloudName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find('/') != std::string_view::npos) return false;
  if (name.find('\0') != std::string_view::npos) return false;
  return base::isValidUTF8(name);
}

std::string displayableCloudName(std::string_view name) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(name.size());
  std::size_t i = 0;
  while (i < name.size()) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == 0 || byte == '/') {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t length = byte < 0x80           ? 1
                         : (byte >> 5) == 0x6  ? 2
                         : (byte >> 4) == 0xE  ? 3
                         : (byte >> 3) == 0x1E ? 4
                                               : 0;
    if (length > 0 && i + length <= name.size() && base::isValidUTF8(name.substr(i, length))) {
      out += name.substr(i, length);
      i += length;
    } else {
      out += kReplacement;
      ++i;
    }
  }
  return out;
}

namespace {

bool isFixedFolder(const SyncItem& item) {
  return item.flags.contains(SyncItemFlags::isFixedFolder);
}

// The stored item with the listed values written over it; unchanged fields stay unmarked.
PatchedSyncItem merged(const SyncItem& stored, const SyncItem& listed) {
  PatchedSyncItem patched(stored);
  patched.setParentItemIdentifier(listed.parentItemIdentifier);
  patched.setFilename(listed.filename);
  patched.setCloudIdentifier(listed.cloudIdentifier);
  patched.setPermission(listed.permission);
  patched.setUploadDate(listed.uploadDate);
  patched.setContentModificationDate(listed.contentModificationDate);
  if (listed.isFolder()) {
    patched.setHasStandardUserAccess(listed.hasStandardUserAccess);
    patched.setIsProjectFolder(listed.isProjectFolder);
    patched.setIsDocumentRoom(listed.isDocumentRoom);
  } else {
    patched.setContentVersion(listed.contentVersion);
    patched.setContentSize(listed.contentSize);
    patched.setContentChecksum(listed.contentChecksum);
    patched.setAuthor(listed.author);
    patched.setLockInfo(listed.lockInfo);
  }
  auto flags = stored.flags;
  if (isFixedFolder(listed)) {
    flags.insert(SyncItemFlags::isFixedFolder);
  } else {
    flags.remove(SyncItemFlags::isFixedFolder);
  }
  patched.setFlags(flags);
  return patched;
}

}  // namespace

std::expected<ListingChanges, SyncError> computeListingChanges(
    const SyncItem& storedFolder, SyncCloudFolderItems listed,
    const std::vector<SyncItem>& storedChildren, const std::vector<SyncItem>& storedByCloud,
    std::int64_t currentUserIdentifier) {
  ListingChanges changes;
  const auto* folderIdentifier = storedFolder.itemIdentifier.folder();
  if (!folderIdentifier) return std::unexpected(SyncError(SyncError::Code::badServerResponse));

  // The folder itself: its cloud identity and attributes as the cloud has them now.
  {
    auto folder = listed.folderItem;
    folder.parentItemIdentifier = storedFolder.parentItemIdentifier;
    folder.filename = storedFolder.filename;
    auto patched = merged(storedFolder, folder);
    if (patched.hasChanges()) changes.patch.modifiedItems.push_back(std::move(patched));
  }

  std::unordered_map<CloudItemIdentifier, const SyncItem*> known;
  known.reserve(storedByCloud.size());
  for (const auto& item : storedByCloud) {
    if (item.cloudIdentifier) known.emplace(*item.cloudIdentifier, &item);
  }
  const std::size_t listedCount = listed.childFolderItems.size() + listed.childFileItems.size();
  std::unordered_set<CloudItemIdentifier> listedIdentifiers(listedCount);
  // Listed children the store does not know become created items.
  changes.patch.createdItems.reserve(listedCount > known.size() ? listedCount - known.size() : 0);

  auto take = [&](SyncItem& entry) -> std::optional<SyncError> {
    if (!entry.isFolder() && entry.contentSize < 0) {
      return SyncError(SyncError::Code::badServerResponse);
    }
    if (!entry.cloudIdentifier) return std::nullopt;
    if (!listedIdentifiers.insert(*entry.cloudIdentifier).second) {
      ++changes.duplicateEntries;
      return std::nullopt;
    }
    const auto type = entry.itemIdentifier.type();
    if (!isSafeCloudName(entry.filename) ||
        common::SkipsService::isUnwantedCloudName(entry.filename, type)) {
      // Never stored: a stored item of that cloud identity goes away with the vanished ones.
      listedIdentifiers.erase(*entry.cloudIdentifier);
      changes.unwantedItems.push_back(
          {displayableCloudName(entry.filename), type, entry.creationDate});
      return std::nullopt;
    }
    auto found = known.find(*entry.cloudIdentifier);
    if (found == known.end() || found->second->isFolder() != entry.isFolder()) {
      auto created = std::move(entry);
      // A fresh identity: the entry may carry that of an item the store no longer has alive.
      if (created.isFolder()) {
        created.itemIdentifier = common::SyncFolderIdentifier{base::makeUuid()};
      } else {
        created.itemIdentifier = common::SyncFileIdentifier::make();
      }
      created.isMaterialized = false;
      created.localLock.reset();
      created.subscriptionState.reset();
      created.parentItemIdentifier = *folderIdentifier;
      created.itemRealm = storedFolder.itemRealm;
      changes.patch.createdItems.push_back(std::move(created));
      return std::nullopt;
    }
    const SyncItem& stored = *found->second;
    auto patched = merged(stored, entry);
    if (stored.lockInfo && !entry.lockInfo) {
      changes.removedLocks.push_back(stored);
      if (stored.lockInfo->isHeldBy(currentUserIdentifier)) {
        changes.patch.userLockRemovedRemotely = true;
      }
    }
    if (patched.hasChanges()) changes.patch.modifiedItems.push_back(std::move(patched));
    return std::nullopt;
  };
  for (auto* list : {&listed.childFolderItems, &listed.childFileItems}) {
    for (auto& entry : *list) {
      if (auto error = take(entry)) return std::unexpected(*error);
    }
  }

  for (const auto& child : storedChildren) {
    // Not yet in the cloud (being created or uploaded): the listing cannot know it.
    if (!child.cloudIdentifier) continue;
    if (listedIdentifiers.contains(*child.cloudIdentifier)) continue;
    changes.vanishedItems.push_back(child);
  }
  return changes;
}

}  // namespace tarnix::fileprovider
