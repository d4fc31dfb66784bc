#pragma once
// What the context menu hands to the desktop application: the drive, the kind of action and
// the selected items, as JSON ({"driveIdentifier": "...", "type": "copyLink", "selection":
// [{"fileProvider": {"itemIdentifier": "file/..."}}, {"nbda": {"localUrl": "file:///..."}}]}).

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/JSONValue.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

enum class ActionType {
  viewOnline,
  partnerIntegrations,
  askDocument,
  shareViewLinkOptions,
  copyLink,
  copyDirectLink,
  copyDesktopLink,
  createDocument,
  createShortcut,
  searchInFolder,
  tarnixActions,
  duplicate,
};
/// The case name ("viewOnline", ...).
std::string_view name(ActionType type);
std::optional<ActionType> actionTypeNamed(std::string_view name);

/// Why a link could not be made, as the desktop application reports it.
enum class CopyLinkFailureReason {
  folderSharingDisabled,
  domainFolderSharingDisabled,
  domainFileSharingDisabled,
  insufficientPermission,
  unauthenticated,
};
enum class DirectLinkKind { http, desktop };

struct ContextMenuAction {
  struct FileProviderItem {
    common::SyncItemIdentifier itemIdentifier;
    bool operator==(const FileProviderItem&) const = default;
  };
  struct ConnectedFolderItem {
    std::string localUrl;
    bool operator==(const ConnectedFolderItem&) const = default;
  };
  /// An item of a drive served by the product's cache appliance.
  struct NbdaItem {
    std::string localUrl;
    bool operator==(const NbdaItem&) const = default;
  };
  using Item = std::variant<FileProviderItem, ConnectedFolderItem, NbdaItem>;

  std::string driveIdentifier;
  ActionType type = ActionType::viewOnline;
  std::vector<Item> selection;

  base::JSONValue json() const;
  /// Fails with a reason; an item object with more or fewer than one key fails with "Invalid
  /// number of keys found, expected one."
  static std::expected<ContextMenuAction, std::string> decode(const base::JSONValue& json);
  bool operator==(const ContextMenuAction&) const = default;
};

}  // namespace tarnix::fileprovider
