#pragma once
// Small value types carried by sync items: realm, permission, option sets and extended
// attributes. Realm, permission and flags are stored as integers.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::common {

/// Which engine serves an item: the cloud on demand (online) or the desktop sync service's
/// offline folders (offline).
enum class SyncItemRealm : std::int64_t { online = 0, offline = 1 };
/// "online" / "offline".
std::string_view description(SyncItemRealm realm);
std::optional<SyncItemRealm> syncItemRealmFromRaw(std::int64_t raw);

/// The user's effective permission on an item, ordered from none to owner.
enum class SyncItemPermission : std::int64_t {
  none = 0,
  nav = 1,
  viewer = 2,
  editor = 3,
  full = 4,
  owner = 5
};
inline bool isAtLeast(SyncItemPermission value, SyncItemPermission other) {
  return static_cast<std::int64_t>(value) >= static_cast<std::int64_t>(other);
}
std::optional<SyncItemPermission> syncItemPermissionFromRaw(std::int64_t raw);
/// The cloud's permission names ("NONE", "NAV", "VIEWER_ONLY", "READ", "READWRITE", "RWD",
/// "MODIFY"); anything else gives none.
std::optional<SyncItemPermission> permissionFromCfsName(std::string_view name);
/// The cloud's permission descriptions ("None", "Nav", "Viewer Only", "Viewer", "Editor",
/// "Full", "Owner"); anything else gives none.
std::optional<SyncItemPermission> permissionFromCfsDescription(std::string_view description);

/// A small option set over a signed integer.
template <class Tag>
struct OptionSet {
  std::int64_t rawValue = 0;

  constexpr bool contains(OptionSet other) const {
    return (rawValue & other.rawValue) == other.rawValue;
  }
  constexpr bool isEmpty() const { return rawValue == 0; }
  constexpr void insert(OptionSet other) { rawValue |= other.rawValue; }
  constexpr void remove(OptionSet other) { rawValue &= ~other.rawValue; }
  constexpr OptionSet operator|(OptionSet other) const { return {rawValue | other.rawValue}; }
  constexpr OptionSet operator&(OptionSet other) const { return {rawValue & other.rawValue}; }
  constexpr bool operator==(const OptionSet&) const = default;
};

struct SyncItemFlagsTag;
/// Flags of an item, stored as their integer.
struct SyncItemFlags : OptionSet<SyncItemFlagsTag> {
  static constexpr OptionSet<SyncItemFlagsTag> isFixedFolder{1};
  /// The item has rows in ItemExtendedAttributes.
  static constexpr OptionSet<SyncItemFlagsTag> hasExtendedAttributes{2};
  constexpr SyncItemFlags() = default;
  constexpr SyncItemFlags(OptionSet<SyncItemFlagsTag> set) : OptionSet(set) {}
};

struct SyncItemFieldsTag;
/// The fields that differ in a PatchedSyncItem from the stored row.
struct SyncItemFields : OptionSet<SyncItemFieldsTag> {
  using Set = OptionSet<SyncItemFieldsTag>;
  static constexpr Set contents{1};
  static constexpr Set filename{2};
  static constexpr Set parentItemIdentifier{4};
  static constexpr Set permission{8};
  static constexpr Set creationDate{16};
  static constexpr Set contentModificationDate{32};
  static constexpr Set lastUsedDate{64};
  static constexpr Set tagData{128};
  static constexpr Set fileSystemFlags{256};
  static constexpr Set extendedAttributes{512};
  static constexpr Set typeAndCreator{1024};
  static constexpr Set historySize{2048};
  static constexpr Set lockOwner{4096};
  static constexpr Set cloudIdentifier{8192};
  static constexpr Set hasStandardUserAccess{16384};
  static constexpr Set isProjectFolder{32768};
  static constexpr Set isDocumentRoom{65536};
  static constexpr Set revision{131072};
  static constexpr Set isMaterialized{262144};
  constexpr SyncItemFields() = default;
  constexpr SyncItemFields(Set set) : OptionSet(set) {}
};

struct SyncItemReadOptionsTag;
/// What an item read fills besides the item row and its cloud lock.
struct SyncItemReadOptions : OptionSet<SyncItemReadOptionsTag> {
  using Set = OptionSet<SyncItemReadOptionsTag>;
  static constexpr Set skipExtendedAttributes{1};
  static constexpr Set includeLocalLocks{2};
  static constexpr Set skipSubscriptionState{4};
  constexpr SyncItemReadOptions() = default;
  constexpr SyncItemReadOptions(Set set) : OptionSet(set) {}
};

using Bytes = std::vector<std::uint8_t>;

/// Extended attributes of an item: name to value.
struct SyncExtendedAttributes {
  std::map<std::string, Bytes> values;
  bool operator==(const SyncExtendedAttributes&) const = default;
};

}  // namespace tarnix::common
