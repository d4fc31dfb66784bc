#include "fileprovider/items/FileProviderConverter.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

#include "common/Feature.hpp"

namespace tarnix::fileprovider {

using common::SyncError;

namespace {

std::string lowercased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Top-level folders of a drive mounted at the cloud's root, by lower-cased cloud path.
struct SpecialPath {
  std::string_view path;
  SpecialItemKind kind;
};
constexpr std::array kSpecialPaths{
    SpecialPath{"/private", SpecialItemKind::privateFolder},
    SpecialPath{"/shared", SpecialItemKind::shared},
    SpecialPath{"/inactive", SpecialItemKind::inactive},
    SpecialPath{"/csp", SpecialItemKind::csp},
};

}  // namespace

fp::Error bridgedError(const SyncError& error) {
  return fp::Error(std::string(kSyncErrorDomain), static_cast<std::int64_t>(error.code()),
                   {{std::string(fp::Error::kLocalizedDescriptionKey), error.description()}});
}

FileProviderConverter::FileProviderConverter(
    common::Drive drive, std::shared_ptr<common::SyncItemStorage> itemStorage,
    std::shared_ptr<common::DriveRepository> driveRepository,
    common::SyncFolderIdentifier cloudRootItemIdentifier,
    std::shared_ptr<const common::FeatureList> featureList,
    std::shared_ptr<ReachabilityRechecking> networkMonitor,
    std::shared_ptr<common::DriveConfigurationProvider> driveConfigurationProvider)
    : drive_(std::move(drive)),
      itemStorage_(std::move(itemStorage)),
      driveRepository_(std::move(driveRepository)),
      cloudRootItemIdentifier_(std::move(cloudRootItemIdentifier)),
      lowercasedCloudStartPath_(lowercased(drive_.cloudStartPath)),
      currentUserIdentifier_(drive_.userIdentifier),
      featureList_(std::move(featureList)),
      networkMonitor_(std::move(networkMonitor)),
      driveConfigurationProvider_(std::move(driveConfigurationProvider)) {
  while (lowercasedCloudStartPath_.size() > 1 && lowercasedCloudStartPath_.ends_with('/')) {
    lowercasedCloudStartPath_.pop_back();
  }
}

fp::ItemIdentifier FileProviderConverter::itemIdentifier(
    const common::SyncItemIdentifier& identifier) const {
  if (identifier.isFolder() && *identifier.folder() == cloudRootItemIdentifier_) {
    return fp::ItemIdentifier::rootContainer();
  }
  return fp::ItemIdentifier(identifier.description());
}

std::optional<common::SyncItemIdentifier> FileProviderConverter::syncItemIdentifier(
    const fp::ItemIdentifier& identifier) const {
  if (identifier.isRootContainer()) return common::SyncItemIdentifier(cloudRootItemIdentifier_);
  return common::SyncItemIdentifier::fromPrefixed(identifier.rawValue());
}

std::optional<SpecialItemKind> FileProviderConverter::specialItemKind(
    const common::SyncItem& item) const {
  if (!item.isFolder()) return std::nullopt;
  if (*item.itemIdentifier.folder() == cloudRootItemIdentifier_) return SpecialItemKind::root;
  const std::string name = lowercased(item.filename);
  if (item.parentItemIdentifier == cloudRootItemIdentifier_) {
    const std::string base = lowercasedCloudStartPath_ == "/" ? "" : lowercasedCloudStartPath_;
    const std::string path = base + "/" + name;
    for (const auto& special : kSpecialPaths) {
      if (path == special.path) return special.kind;
    }
    if (path == "/private/drafts") return SpecialItemKind::draft;
    return std::nullopt;
  }
  // Drafts lives in the user's private folder ("/Private/Drafts" or "/Private/<user>/Drafts");
  // only folders of that name need their path.
  if (name != "drafts" || !itemStorage_) return std::nullopt;
  auto path = itemStorage_->queryCloudPath(item.itemIdentifier);
  if (!path) return std::nullopt;
  std::string full = lowercasedCloudStartPath_ == "/" ? "" : lowercasedCloudStartPath_;
  full += lowercased(*path);
  if (!full.starts_with("/private/")) return std::nullopt;
  const auto depth = std::ranges::count(full, '/');
  return depth <= 3 ? std::optional(SpecialItemKind::draft) : std::nullopt;
}

std::shared_ptr<const FileProviderItem> FileProviderConverter::item(
    const common::SyncItem& syncItem) const {
  return std::make_shared<const FileProviderItem>(
      syncItem, itemIdentifier(syncItem.itemIdentifier),
      itemIdentifier(syncItem.parentItemIdentifier), driveConfigurationProvider_,
      currentUserIdentifier_, specialItemKind(syncItem), featureList_);
}

fp::Error FileProviderConverter::convert(const SyncError& error) const {
  using Code = SyncError::Code;
  switch (error.code()) {
    case Code::noSuchItem:
      if (error.itemIdentifier()) {
        return fp::Error::forNonExistentItem(
            fp::ItemIdentifier(error.itemIdentifier()->description()));
      }
      return fp::Error(fp::FileProviderErrorCode::noSuchItem);
    case Code::deletionRejected:
      if (error.item()) return fp::Error::forRejectedDeletion(item(*error.item()));
      return fp::Error(fp::FileProviderErrorCode::deletionRejected);
    case Code::filenameCollision:
      if (error.item()) return fp::Error::forCollision(item(*error.item()));
      return fp::Error(fp::FileProviderErrorCode::filenameCollision);
    case Code::noCloudIdentifier:
      return fp::Error(fp::FileProviderErrorCode::cannotSynchronize);
    case Code::pageMarkerExpired:
      return fp::Error(fp::FileProviderErrorCode::pageExpired);
    case Code::directoryNotEmpty:
      return fp::Error(fp::FileProviderErrorCode::directoryNotEmpty);
    case Code::serverUnreachable:
      if (featureList_ && featureList_->isEnabled(common::Feature::networkMonitor)) {
        if (networkMonitor_) networkMonitor_->recheckReachability();
        return fp::Error(fp::FileProviderErrorCode::serverUnreachable);
      }
      break;
    default:
      break;
  }
  return fp::Error::wrapping(bridgedError(error));
}

fp::Error FileProviderConverter::convert(const common::ItemStoreError& error) const {
  if (error.isAnchorExpired()) return fp::Error(fp::FileProviderErrorCode::syncAnchorExpired);
  if (const auto* sync = error.syncError()) return convert(*sync);
  const fp::Error::UserInfo info{
      {std::string(fp::Error::kLocalizedDescriptionKey), error.description()}};
  if (const auto* database = error.databaseError()) {
    return fp::Error::wrapping(
        fp::Error("Common.DatabaseError", static_cast<std::int64_t>(database->kind), info));
  }
  return fp::Error::wrapping(fp::Error("Common.ItemStoreError", 0, info));
}

fp::Error FileProviderConverter::convert(const fp::Error& error) const {
  if (error.isFileProviderError() || error.is(fp::CocoaErrorCode::userCancelled) ||
      error.is(fp::CocoaErrorCode::fileReadNoPermission)) {
    return error;
  }
  return fp::Error::wrapping(error);
}

}  // namespace tarnix::fileprovider
