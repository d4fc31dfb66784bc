#pragma once
// The decision logic of a listing, as functions of plain values: whether to list a folder at
// all, which names from the cloud may become items, and what a listing changes in the store.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"
#include "common/PatchedSyncItem.hpp"
#include "common/SkipsService.hpp"
#include "common/SyncError.hpp"
#include "common/SyncItem.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/listing/ListingMetadataStorage.hpp"
#include "fileprovider/listing/ListingRequest.hpp"

namespace tarnix::fileprovider {

/// A folder listed this recently is not listed again unless forced.
inline constexpr std::chrono::seconds kListingFreshness{10};

enum class ListingDecision {
  list,
  /// The desktop sync service already holds the folder current.
  skipKeptCurrentByDesktopSync,
  /// Listed less than kListingFreshness ago.
  skipRecentlyListed,
};

ListingDecision decideListing(bool force, bool forceRefreshLocks, ListingOrigin origin,
                              const std::optional<ListingMetadata>& metadata, base::Date now);

/// Whether a name from the cloud can name an item of a local folder: not empty, not "." or
/// "..", without "/" or NUL, valid UTF-8. Any other name could escape its folder or could not
/// be shown; it is skipped, never stored.
bool isSafeCloudName(std::string_view name);
/// The name as the desktop application may show it in the list of skips: invalid UTF-8, NUL
/// and "/" each replaced by U+FFFD.
std::string displayableCloudName(std::string_view name);

/// What one listing changes, before the deletion manager has had its say.
struct ListingChanges {
  /// Created, modified (the listed folder itself included) and moved-away items.
  common::SyncItemListPatch patch;
  /// Stored children with a cloud identifier that the listing no longer has.
  std::vector<common::SyncItem> vanishedItems;
  /// Listed children whose names are unwanted or unsafe.
  std::vector<common::UnwantedCloudItem> unwantedItems;
  /// Files whose cloud lock is gone, as they were stored.
  std::vector<common::SyncItem> removedLocks;
  /// Listed entries left out because the same cloud item was listed before.
  std::size_t duplicateEntries = 0;
};

/// Compares a listing with the store. `storedFolder` is the folder as stored; `storedByCloud`
/// holds every alive stored item that carries the cloud identifier of a listed child (wherever
/// it is stored); `storedChildren` the folder's alive children. Listed children are matched to
/// stored items by cloud identifier; a stored child without a cloud identifier (not yet in the
/// cloud) is left alone. A listed file with a negative size makes the whole listing invalid
/// (`badServerResponse`): nothing of it may be stored. The listing is taken by value so that a
/// caller done with it can move it in: its new children become created items without a copy.
std::expected<ListingChanges, common::SyncError> computeListingChanges(
    const common::SyncItem& storedFolder, SyncCloudFolderItems listed,
    const std::vector<common::SyncItem>& storedChildren,
    const std::vector<common::SyncItem>& storedByCloud, std::int64_t currentUserIdentifier);

}  // namespace tarnix::fileprovider
