#pragma once
// What a listing is asked for, and who asked. Equal requests (same case, same payload) are
// merged by the coordinator, so a request is a value usable as a map key.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "common/SyncIdentifiers.hpp"
#include "common/SyncItemAttributes.hpp"

namespace tarnix::fileprovider {

/// Who asked for a listing.
enum class ListingOrigin {
  /// A file-provider enumerator presents the folder.
  enumerator,
  /// The real-time event socket reported a change.
  red,
  /// The desktop sync service reported a change.
  ds,
};
/// "enumerator", "red" or "ds".
std::string_view description(ListingOrigin origin);

struct ListingRequest {
  struct ByIdentifier {
    common::SyncFolderIdentifier folderIdentifier;
    bool forceRefreshLocks = false;
    auto operator<=>(const ByIdentifier&) const = default;
  };
  struct ByIdentifierOnRealmChange {
    common::SyncFolderIdentifier folderIdentifier;
    common::SyncItemRealm itemRealm = common::SyncItemRealm::online;
    auto operator<=>(const ByIdentifierOnRealmChange&) const = default;
  };
  struct ByIdentifierOnMove {
    common::SyncItemIdentifier itemIdentifier = common::SyncFolderIdentifier::zero();
    std::optional<common::SyncFolderIdentifier> newParent;
    std::optional<std::string> newFilename;
    auto operator<=>(const ByIdentifierOnMove&) const = default;
  };
  struct ByPath {
    std::string path;
    auto operator<=>(const ByPath&) const = default;
  };
  struct ByPathExclusive {
    std::string path;
    auto operator<=>(const ByPathExclusive&) const = default;
  };
  struct ByPathOnMove {
    std::string target;
    std::string source;
    auto operator<=>(const ByPathOnMove&) const = default;
  };

  std::variant<ByIdentifier, ByIdentifierOnRealmChange, ByIdentifierOnMove, ByPath, ByPathExclusive,
               ByPathOnMove>
      value;

  static ListingRequest byIdentifier(common::SyncFolderIdentifier folder, bool forceRefreshLocks) {
    return {ByIdentifier{std::move(folder), forceRefreshLocks}};
  }
  static ListingRequest byIdentifierOnRealmChange(common::SyncFolderIdentifier folder,
                                                  common::SyncItemRealm realm) {
    return {ByIdentifierOnRealmChange{std::move(folder), realm}};
  }
  static ListingRequest byIdentifierOnMove(common::SyncItemIdentifier item,
                                           std::optional<common::SyncFolderIdentifier> newParent,
                                           std::optional<std::string> newFilename) {
    return {ByIdentifierOnMove{std::move(item), std::move(newParent), std::move(newFilename)}};
  }
  static ListingRequest byPath(std::string path) { return {ByPath{std::move(path)}}; }
  static ListingRequest byPathExclusive(std::string path) {
    return {ByPathExclusive{std::move(path)}};
  }
  static ListingRequest byPathOnMove(std::string target, std::string source) {
    return {ByPathOnMove{std::move(target), std::move(source)}};
  }

  /// For logs: the case and its payload ("byIdentifier(folder/…)").
  std::string description() const;

  auto operator<=>(const ListingRequest&) const = default;
  bool operator==(const ListingRequest&) const = default;
};

}  // namespace tarnix::fileprovider
