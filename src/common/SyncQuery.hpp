#pragma once
// The vocabulary of the item store's reads: constraints, sort options, page markers, anchors.
#include <cstdint>
#include <optional>
#include <variant>

#include "common/SyncIdentifiers.hpp"

namespace tarnix::common {

/// One condition of `SyncItemStorage::itemCount(matching:)`.
struct SyncItemQueryConstraint {
  enum class Kind { isChildOf, isAlive, isFile, isFolder, isMaterialized };
  Kind kind;
  /// The parent of `isChildOf`.
  std::optional<SyncItemIdentifier> parent;

  static SyncItemQueryConstraint isChildOf(SyncItemIdentifier parent) {
    return {Kind::isChildOf, std::move(parent)};
  }
  static SyncItemQueryConstraint isAlive() { return {Kind::isAlive, std::nullopt}; }
  static SyncItemQueryConstraint isFile() { return {Kind::isFile, std::nullopt}; }
  static SyncItemQueryConstraint isFolder() { return {Kind::isFolder, std::nullopt}; }
  static SyncItemQueryConstraint isMaterialized() { return {Kind::isMaterialized, std::nullopt}; }
  bool operator==(const SyncItemQueryConstraint&) const = default;
};

enum class SyncSortOption { byName, byLastModifiedDate };

/// Where the next page of a paged enumeration starts: after this item.
struct SyncListingPageMarker {
  SyncItemIdentifier lastItemIdentifier;
  bool operator==(const SyncListingPageMarker&) const = default;
};

struct SyncEnumerateItemsQueryOutput {
  /// Present when more items may follow.
  std::optional<SyncListingPageMarker> nextPage;
};

/// A point in the store's change history: every row changed later has a higher rank.
struct SyncAnchor {
  std::int64_t rank = 0;
  auto operator<=>(const SyncAnchor&) const = default;
};

}  // namespace tarnix::common
