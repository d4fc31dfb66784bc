#include "fileprovider/events/ListingEventTranslation.hpp"

namespace tarnix::fileprovider {

using cloudfs::CFSSyncEventAction;
using common::SyncFolderIdentifier;
using common::SyncItemIdentifier;
using Kind = ListingEvent::Kind;

namespace {

std::string withoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::optional<std::string> parentPath(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::nullopt;
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::vector<SyncFolderIdentifier> ListingEvent::foldersToList() const {
  std::vector<SyncFolderIdentifier> folders;
  if (from) folders.push_back(*from);
  if (folder && (!from || *folder != *from)) folders.push_back(*folder);
  // A folder whose permission changed is listed itself: its children carry the permission.
  if (kind == Kind::didChangePermission && item && item->isFolder())
    folders.push_back(*item->folder());
  return folders;
}

std::map<SyncFolderIdentifier, bool> TranslatedEvents::foldersToList() const {
  std::map<SyncFolderIdentifier, bool> folders;
  for (const auto& event : events) {
    for (const auto& folder : event.foldersToList()) {
      auto& locks = folders[folder];
      locks = locks || event.refreshesLocks();
    }
  }
  return folders;
}

ListingEventTranslation::ListingEventTranslation(
    std::shared_ptr<common::SyncItemStorage> itemStorage, std::string cloudStartPath)
    : itemStorage_(std::move(itemStorage)),
      cloudStartPath_(withoutTrailingSlash(std::move(cloudStartPath))) {}

std::optional<SyncItemIdentifier> ListingEventTranslation::identifier(const std::string& path) {
  const auto absolute = withoutTrailingSlash(path);
  if (auto cached = pathToIdentifier_.find(absolute); cached != pathToIdentifier_.end())
    return cached->second;
  std::string relative;
  if (cloudStartPath_ == "/" || cloudStartPath_.empty()) {
    relative = absolute;
  } else if (absolute == cloudStartPath_) {
    relative = "";
  } else if (absolute.starts_with(cloudStartPath_ + "/")) {
    relative = absolute.substr(cloudStartPath_.size());
  } else {
    return std::nullopt;
  }
  std::optional<common::SyncItem> found;
  if (relative.empty()) {
    if (auto root = itemStorage_->rootItem()) found = std::move(*root);
  } else if (auto item = itemStorage_->findItem(relative)) {
    found = std::move(*item);
  }
  if (!found) return std::nullopt;
  pathToIdentifier_.emplace(absolute, found->itemIdentifier);
  return found->itemIdentifier;
}

std::optional<SyncFolderIdentifier> ListingEventTranslation::parentFolder(const std::string& path) {
  auto parent = parentPath(withoutTrailingSlash(path));
  if (!parent) return std::nullopt;
  auto found = identifier(*parent);
  if (!found || !found->isFolder()) return std::nullopt;
  return *found->folder();
}

void ListingEventTranslation::translate(const cloudfs::CFSSyncEvent& event,
                                        TranslatedEvents& into) {
  translate(event.action.rawValue, event.sourceFilePath, event.targetFilePath, into);
}

void ListingEventTranslation::translate(const std::string& action,
                                        const std::optional<std::string>& sourcePath,
                                        const std::optional<std::string>& targetPath,
                                        TranslatedEvents& into) {
  auto is = [&](const CFSSyncEventAction& known) { return action == known.rawValue; };
  if (is(CFSSyncEventAction::nop) || (!sourcePath && !targetPath)) {
    ++into.skippedEvents;
    return;
  }
  const auto& path = targetPath ? *targetPath : *sourcePath;
  ListingEvent listing;
  listing.folder = parentFolder(path);
  if (is(CFSSyncEventAction::moveFile) || is(CFSSyncEventAction::moveFolder)) {
    const auto source = sourcePath.value_or(path);
    listing.item = identifier(source);
    listing.from = parentFolder(source);
    listing.kind =
        parentPath(withoutTrailingSlash(source)) == parentPath(withoutTrailingSlash(path))
            ? Kind::didRenameItem
            : Kind::didReparentItem;
    // Paths below the moved item now lead elsewhere.
    pathToIdentifier_.clear();
  } else if (is(CFSSyncEventAction::deleteFile) || is(CFSSyncEventAction::deleteFolder)) {
    listing.kind = Kind::didDeleteItem;
    listing.item = identifier(path);
    pathToIdentifier_.clear();
  } else if (is(CFSSyncEventAction::restoreFromTrash)) {
    listing.kind = Kind::didRestoreItemFromTrash;
  } else if (is(CFSSyncEventAction::permissionChange)) {
    listing.kind = Kind::didChangePermission;
    listing.item = identifier(path);
  } else if (is(CFSSyncEventAction::upgradeToLatestFile)) {
    listing.kind = Kind::didChangeContentVersion;
    listing.item = identifier(path);
  } else if (is(CFSSyncEventAction::lockFile)) {
    listing.kind = Kind::didLockFile;
    listing.item = identifier(path);
  } else if (is(CFSSyncEventAction::unlockFile)) {
    listing.kind = Kind::didUnlockFile;
    listing.item = identifier(path);
  } else {
    // New entries, copies, and actions this version does not know: the folder shows them.
    listing.kind = Kind::didAddEntryForItem;
  }
  if (listing.foldersToList().empty()) {
    ++into.eventsWithUndiscoveredLocations;
    return;
  }
  into.events.push_back(std::move(listing));
}

TranslatedEvents ListingEventTranslation::translate(
    const std::vector<cloudfs::CFSSyncEvent>& events) {
  TranslatedEvents translated;
  for (const auto& event : events) translate(event, translated);
  return translated;
}

}  // namespace tarnix::fileprovider
