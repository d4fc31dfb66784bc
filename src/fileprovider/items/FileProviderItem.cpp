#include "fileprovider/items/FileProviderItem.hpp"

#include <utility>

#include "common/Feature.hpp"

namespace tarnix::fileprovider {

using common::SyncItem;
using common::SyncItemPermission;
using fp::ItemCapabilities;

namespace {

constexpr std::uint32_t kMovingAndDeletingBase = 111;  // reading, writing, reparenting,
                                                       // renaming, deleting, evicting
constexpr std::uint32_t kBase = 75;                    // reading, writing, renaming, evicting
constexpr std::uint32_t kRenamingAndTrashing = 24;
constexpr std::uint32_t kWithoutWritingAndTrashing = 109;

// A holder not known yet counts as somebody else until the cloud names it.
bool isLockedByAnotherUser(const SyncItem& item, std::int64_t currentUserIdentifier) {
  return item.lockInfo && !item.lockInfo->isHeldBy(currentUserIdentifier);
}

std::string decoration(std::string_view suffix) {
  return std::string(kExtensionBundleIdentifier) + std::string(suffix);
}

fp::Data bytesToData(const common::Bytes& bytes) {
  return fp::Data(bytes.begin(), bytes.end());
}

}  // namespace

std::string_view specialItemKindName(SpecialItemKind kind) {
  switch (kind) {
    case SpecialItemKind::root:
      return "root";
    case SpecialItemKind::privateFolder:
      return "private";
    case SpecialItemKind::shared:
      return "shared";
    case SpecialItemKind::inactive:
      return "inactive";
    case SpecialItemKind::draft:
      return "draft";
    case SpecialItemKind::csp:
      return "csp";
  }
  return "root";
}

std::string_view permissionName(SyncItemPermission permission) {
  switch (permission) {
    case SyncItemPermission::none:
      return "none";
    case SyncItemPermission::nav:
      return "nav";
    case SyncItemPermission::viewer:
      return "viewer";
    case SyncItemPermission::editor:
      return "editor";
    case SyncItemPermission::full:
      return "full";
    case SyncItemPermission::owner:
      return "owner";
  }
  return "none";
}

std::string_view offlineFolderStateName(common::OfflineFolderState state) {
  using S = common::OfflineFolderState;
  switch (state) {
    case S::invalid:
      return "invalid";
    case S::pending:
      return "pending";
    case S::stashed:
      return "stashed";
    case S::creating:
      return "creating";
    case S::subscribed:
      return "subscribed";
    case S::stamping:
      return "stamping";
    case S::removing:
      return "removing";
    case S::removed:
      return "removed";
  }
  return "invalid";
}

ItemCapabilities itemCapabilities(const SyncItem& item, std::int64_t currentUserIdentifier) {
  std::uint32_t bits = allowsMovingAndDeleting(item) ? kMovingAndDeletingBase : kBase;
  if (!allowsRenaming(item)) bits &= ~kRenamingAndTrashing;
  if (!allowsEditing(item) || isLockedByAnotherUser(item, currentUserIdentifier)) {
    bits &= kWithoutWritingAndTrashing;
  }
  const bool mayRead = item.isFolder()
                           ? item.permission != SyncItemPermission::none
                           : common::isAtLeast(item.permission, SyncItemPermission::viewer);
  if (!mayRead) bits &= ~fp::rawValue(ItemCapabilities::allowsReading);
  return static_cast<ItemCapabilities>(bits);
}

FileProviderItem::FileProviderItem(
    SyncItem syncItem, fp::ItemIdentifier itemIdentifier, fp::ItemIdentifier parentItemIdentifier,
    std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider,
    std::int64_t currentUserIdentifier, std::optional<SpecialItemKind> specialItemKind,
    std::shared_ptr<const common::FeatureList> featureList)
    : syncItem_(std::move(syncItem)),
      itemIdentifier_(std::move(itemIdentifier)),
      parentItemIdentifier_(std::move(parentItemIdentifier)),
      driveConfigurationProvider_(std::move(driveConfigurationProvider)),
      currentUserIdentifier_(currentUserIdentifier),
      specialItemKind_(specialItemKind),
      featureList_(std::move(featureList)) {
  // Computed once: an offline item's synthetic version depends on the clock when it has no
  // modification date, and the framework must see one version per item object.
  auto content = syncItem_.contentAncilaryVersion();
  itemVersion_ = {content ? content->rawValue : fp::Data{},
                  std::to_string(syncItem_.metadataVersion)};
}

bool FileProviderItem::isEnabled(const common::Feature& feature) const {
  return featureList_ && featureList_->isEnabled(feature);
}

std::string FileProviderItem::contentType() const {
  return std::string(syncItem_.isFolder() ? fp::kContentTypeFolder : fp::kContentTypeItem);
}

ItemCapabilities FileProviderItem::capabilities() const {
  return itemCapabilities(syncItem_, currentUserIdentifier_);
}

fp::ContentPolicy FileProviderItem::contentPolicy() const {
  if (itemIdentifier_.isRootContainer()) return fp::ContentPolicy::downloadLazily;
  if (syncItem_.subscriptionState == common::OfflineFolderState::subscribed &&
      isEnabled(common::Feature::materializeSyncedItems)) {
    return fp::ContentPolicy::downloadEagerlyAndKeepDownloaded;
  }
  return fp::ContentPolicy::inherited;
}

std::optional<std::int64_t> FileProviderItem::documentSize() const {
  if (syncItem_.isFolder()) return std::nullopt;
  return syncItem_.contentSize;
}

std::optional<fp::Data> FileProviderItem::tagData() const {
  if (!syncItem_.tagData) return std::nullopt;
  return bytesToData(*syncItem_.tagData);
}

std::optional<fp::FileSystemFlags> FileProviderItem::fileSystemFlags() const {
  if (!syncItem_.fileSystemFlags) return std::nullopt;
  return static_cast<fp::FileSystemFlags>(static_cast<std::uint32_t>(*syncItem_.fileSystemFlags));
}

std::map<std::string, fp::Data> FileProviderItem::extendedAttributes() const {
  std::map<std::string, fp::Data> attributes;
  if (!syncItem_.extendedAttributes) return attributes;
  for (const auto& [name, value] : syncItem_.extendedAttributes->values) {
    attributes.emplace(name, bytesToData(value));
  }
  return attributes;
}

std::optional<fp::TypeAndCreator> FileProviderItem::typeAndCreator() const {
  const std::uint64_t stored = syncItem_.typeAndCreator;
  if (stored == 0) return std::nullopt;
  const std::uint64_t swapped = (stored << 32) | (stored >> 32);
  // The framework's pair lies in memory as one little-endian 64-bit value, type first.
  return fp::TypeAndCreator{static_cast<std::uint32_t>(swapped & 0xffffffffu),
                            static_cast<std::uint32_t>(swapped >> 32)};
}

base::JSONValue FileProviderItem::userInfo() const {
  auto info = base::JSONValue::object();
  const auto& lock = syncItem_.lockInfo;
  if (lock) {
    std::string owner = lock->firstName;
    if (!lock->lastName.empty()) owner += (owner.empty() ? "" : " ") + lock->lastName;
    info["lockOwner"] = owner;
  }
  info["currentUserOwnsLock"] = lock.has_value() && lock->isHeldBy(currentUserIdentifier_);
  info["isCollaborationLock"] = common::hasCollaborationLock(syncItem_);
  info["tarnixPermission"] = std::string(permissionName(syncItem_.permission));
  if (specialItemKind_)
    info["specialItemKind"] = std::string(specialItemKindName(*specialItemKind_));
  info["realm"] = std::string(common::description(syncItem_.itemRealm));
  if (syncItem_.subscriptionState) {
    info["subscriptionState"] = std::string(offlineFolderStateName(*syncItem_.subscriptionState));
  }
  // The item store keeps no shortcut marker yet: no item is a shortcut.
  info["isShortcut"] = false;
  return info;
}

std::vector<fp::DecorationIdentifier> FileProviderItem::decorations() const {
  std::vector<fp::DecorationIdentifier> result;
  if (const auto& lock = syncItem_.lockInfo) {
    const bool lockingOn =
        isEnabled(common::Feature::manualLocking) || isEnabled(common::Feature::automaticLocking);
    if (lock->collaborationToken) {
      if (lockingOn && isEnabled(common::Feature::csppPlus)) {
        result.push_back(decoration(".isUnderCoediting"));
      }
    } else if (lockingOn) {
      result.push_back(
          decoration(lock->isHeldBy(currentUserIdentifier_) ? ".isSelfLocked" : ".isLocked"));
    }
  }
  if (syncItem_.itemRealm == common::SyncItemRealm::offline && syncItem_.subscriptionState) {
    using S = common::OfflineFolderState;
    switch (*syncItem_.subscriptionState) {
      case S::subscribed:
        result.push_back(decoration(".syncDone"));
        break;
      case S::pending:
      case S::stashed:
      case S::creating:
      case S::stamping:
        result.push_back(decoration(".syncProgress"));
        break;
      case S::invalid:
        result.push_back(decoration(".syncError"));
        break;
      case S::removing:
      case S::removed:
        break;
    }
  }
  if (syncItem_.hasStandardUserAccess) result.push_back(decoration(".unifiedStandardUserAccess"));
  if (syncItem_.isProjectFolder && isEnabled(common::Feature::visualIndicatorsForSpecialFolders)) {
    result.push_back(decoration(".projectFolderV1"));
  }
  if (syncItem_.isDocumentRoom && isEnabled(common::Feature::documentRoom)) {
    result.push_back(decoration(".documentRoom"));
  }
  return result;
}

}  // namespace tarnix::fileprovider
