#pragma once
// A SyncItem as the framework reads it: identity, capabilities from the user's permission and
// cloud locks, content policy, the values the desktop application's context-menu rules read
// (userInfo) and the decorations the file browser draws.
//
// Immutable once made; any thread may read it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/FeatureList.hpp"
#include "common/SyncItem.hpp"
#include "platform/fileprovider/Item.hpp"

namespace tarnix::common {
class DriveConfigurationProvider;
}

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// The extension's bundle identifier; decoration identifiers start with it.
inline constexpr std::string_view kExtensionBundleIdentifier = "com.tarnix.DesktopApp.FileProvider";

/// Folders with a role of their own in a drive.
enum class SpecialItemKind { root, privateFolder, shared, inactive, draft, csp };
/// The case name: "root", "private", "shared", "inactive", "draft", "csp".
std::string_view specialItemKindName(SpecialItemKind kind);

/// "none", "nav", "viewer", "editor", "full", "owner".
std::string_view permissionName(common::SyncItemPermission permission);
/// "invalid", "pending", "stashed", "creating", "subscribed", "stamping", "removing", "removed".
std::string_view offlineFolderStateName(common::OfflineFolderState state);

using common::allowsEditing;
using common::allowsMovingAndDeleting;
using common::allowsRenaming;
/// The framework's capability bits for `item` as seen by the user `currentUserIdentifier`.
fp::ItemCapabilities itemCapabilities(const common::SyncItem& item,
                                      std::int64_t currentUserIdentifier);

class FileProviderItem final : public fp::Item {
 public:
  FileProviderItem(common::SyncItem syncItem, fp::ItemIdentifier itemIdentifier,
                   fp::ItemIdentifier parentItemIdentifier,
                   std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider,
                   std::int64_t currentUserIdentifier,
                   std::optional<SpecialItemKind> specialItemKind,
                   std::shared_ptr<const common::FeatureList> featureList);

  const common::SyncItem& syncItem() const { return syncItem_; }
  std::optional<SpecialItemKind> specialItemKind() const { return specialItemKind_; }

  fp::ItemIdentifier itemIdentifier() const override { return itemIdentifier_; }
  fp::ItemIdentifier parentItemIdentifier() const override { return parentItemIdentifier_; }
  std::string filename() const override { return syncItem_.filename; }
  std::string contentType() const override;
  fp::ItemCapabilities capabilities() const override;
  /// Content: the content version (synthetic for offline items); metadata: the decimal
  /// metadata version.
  fp::ItemVersion itemVersion() const override { return itemVersion_; }
  fp::ContentPolicy contentPolicy() const override;
  std::optional<std::int64_t> documentSize() const override;
  std::optional<base::Date> creationDate() const override { return syncItem_.creationDate; }
  std::optional<base::Date> contentModificationDate() const override {
    return syncItem_.contentModificationDate;
  }
  std::optional<base::Date> lastUsedDate() const override { return syncItem_.lastUsedDate; }
  std::optional<fp::Data> tagData() const override;
  std::optional<fp::FileSystemFlags> fileSystemFlags() const override;
  std::map<std::string, fp::Data> extendedAttributes() const override;
  /// The stored value with its two 32-bit halves swapped; none when nothing is stored.
  std::optional<fp::TypeAndCreator> typeAndCreator() const override;
  base::JSONValue userInfo() const override;
  std::vector<fp::DecorationIdentifier> decorations() const override;

 private:
  bool isEnabled(const common::Feature& feature) const;

  common::SyncItem syncItem_;
  fp::ItemIdentifier itemIdentifier_;
  fp::ItemIdentifier parentItemIdentifier_;
  fp::ItemVersion itemVersion_;
  std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider_;
  std::int64_t currentUserIdentifier_;
  std::optional<SpecialItemKind> specialItemKind_;
  std::shared_ptr<const common::FeatureList> featureList_;
};

}  // namespace tarnix::fileprovider
