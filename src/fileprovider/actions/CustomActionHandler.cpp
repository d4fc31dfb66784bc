#include "fileprovider/actions/CustomActionHandler.hpp"

#include <array>

#include "base/Uuid.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

namespace {

enum class Selection { files, folders, items, oneItem };
enum class Local { lock, unlock, subscribe, unsubscribe, crawl, forceRefresh, webViewPlayground };

struct ActionSpec {
  std::string_view suffix;
  Selection selection;
  std::string_view logName;
  std::variant<Local, ActionType> performer;
};

constexpr std::array<ActionSpec, 18> kActions{{
    {".Lock", Selection::files, "Lock", Local::lock},
    {".Unlock", Selection::files, "Unlock", Local::unlock},
    {".Subscribe", Selection::folders, "Subscribe", Local::subscribe},
    {".Unsubscribe", Selection::folders, "Unsubscribe", Local::unsubscribe},
    {".Debug.Crawl", Selection::folders, "Crawl", Local::crawl},
    {".Debug.ForceRefresh", Selection::folders, "ForceRefresh", Local::forceRefresh},
    {".Debug.WebViewPlayground", Selection::oneItem, "WebView playground",
     Local::webViewPlayground},
    {".ViewOnline", Selection::items, "View in cloud", ActionType::viewOnline},
    {".ViewLinkOptions", Selection::items, "ViewLinkOptions", ActionType::shareViewLinkOptions},
    {".CopyLink", Selection::items, "CopyLink", ActionType::copyLink},
    {".CopyDirectLink", Selection::items, "CopyDirectLink", ActionType::copyDirectLink},
    {".CopyDesktopLink", Selection::items, "CopyDesktopLink", ActionType::copyDesktopLink},
    {".PartnerIntegrations", Selection::items, "Integrations...", ActionType::partnerIntegrations},
    {".SearchFolder", Selection::items, "SearchFolder", ActionType::searchInFolder},
    {".CreateShortcut", Selection::items, "Create shortcut", ActionType::createShortcut},
    {".CreateNewDocument", Selection::items, "CreateNewDocument", ActionType::createDocument},
    {".FileLevelUI", Selection::items, "FileLevelUI", ActionType::tarnixActions},
    {".Duplicate", Selection::items, "Duplicate", ActionType::duplicate},
}};

const ActionSpec* actionFor(std::string_view identifier) {
  if (!identifier.starts_with(kFileProviderActionsPrefix)) return nullptr;
  const auto suffix = identifier.substr(kFileProviderActionsPrefix.size());
  for (const auto& action : kActions) {
    if (action.suffix == suffix) return &action;
  }
  return nullptr;
}

fp::Error invalidAction() {
  return userActionError(1, "Invalid action requested by system.",
                         "Please try again or contact Tarnix support.");
}

fp::Error offlineFoldersUnavailable() {
  return userActionError(3, "Keeping folders offline is not available in this version.",
                         "Folders stay available online; their files download when opened.");
}

}  // namespace

CustomActionHandler::CustomActionHandler(Services services,
                                         std::shared_ptr<ContextMenuActionsHandler> contextMenu,
                                         base::Logger logger)
    : services_(std::move(services)),
      contextMenu_(std::move(contextMenu)),
      logger_(std::move(logger)),
      syncQueue_(base::DispatchQueue::make("com.tarnix.FileProviderActionHandler")) {}

std::vector<common::SyncItemIdentifier> CustomActionHandler::selectOnlyCloudIdentifiers(
    const std::vector<fp::ItemIdentifier>& items, std::string_view actionName) const {
  std::vector<common::SyncItemIdentifier> selected;
  for (const auto& item : items) {
    auto identifier =
        services_.syncItemIdentifier ? services_.syncItemIdentifier(item) : std::nullopt;
    if (!identifier) {
      logger_.warning("Unknown itemIdentifier given by system in " + std::string(actionName),
                      {{"itemIdentifier", item.rawValue()}});
      continue;
    }
    selected.push_back(std::move(*identifier));
  }
  return selected;
}

std::vector<common::SyncFolderIdentifier> CustomActionHandler::selectOnlyFolderIdentifiers(
    const std::vector<common::SyncItemIdentifier>& items, std::string_view actionName) const {
  std::vector<common::SyncFolderIdentifier> folders;
  for (const auto& item : items) {
    if (const auto* folder = item.folder()) {
      folders.push_back(*folder);
    } else {
      logger_.warning(
          "Expected folder identifier but got a different one in " + std::string(actionName),
          {{"itemID", item.description()}});
    }
  }
  return folders;
}

std::vector<common::SyncFileIdentifier> CustomActionHandler::selectOnlyFileIdentifiers(
    const std::vector<common::SyncItemIdentifier>& items, std::string_view actionName) const {
  std::vector<common::SyncFileIdentifier> files;
  for (const auto& item : items) {
    if (const auto* file = item.file()) {
      files.push_back(*file);
    } else {
      logger_.warning(
          "Expected file identifier but got a different one in " + std::string(actionName),
          {{"itemID", item.description()}});
    }
  }
  return files;
}

void CustomActionHandler::performAction(const std::string& actionIdentifier,
                                        const std::vector<fp::ItemIdentifier>& items,
                                        Completion completion) {
  logger_.info("Performing action",
               {{"actionIdentifier", actionIdentifier}, {"actionID", base::makeUuid()}});
  syncQueue_->async([self = shared_from_this(), actionIdentifier, items,
                     completion = std::move(completion)]() mutable {
    self->run(actionIdentifier, items, std::move(completion));
  });
}

void CustomActionHandler::run(const std::string& actionIdentifier,
                              const std::vector<fp::ItemIdentifier>& items, Completion completion) {
  const auto* action = actionFor(actionIdentifier);
  if (!action) {
    logger_.error("Unknown action identifier", {{"actionIdentifier", actionIdentifier}});
    return completion(invalidAction());
  }
  const auto identifiers = selectOnlyCloudIdentifiers(items, action->logName);
  if (const auto* type = std::get_if<ActionType>(&action->performer)) {
    ContextMenuAction forwarded;
    forwarded.driveIdentifier = contextMenu_ ? contextMenu_->drive().identifier : std::string();
    forwarded.type = *type;
    for (const auto& identifier : identifiers) {
      forwarded.selection.emplace_back(ContextMenuAction::FileProviderItem{identifier});
    }
    if (!contextMenu_) return completion(unavailableOnLinux(name(*type)));
    return contextMenu_->executeAction(forwarded, std::move(completion));
  }
  const auto unavailable = [&] { completion(unavailableOnLinux(action->logName)); };
  switch (std::get<Local>(action->performer)) {
    case Local::lock:
    case Local::unlock: {
      const auto& perform =
          std::get<Local>(action->performer) == Local::lock ? services_.lock : services_.unlock;
      if (!perform) return unavailable();
      return perform(selectOnlyFileIdentifiers(identifiers, action->logName),
                     std::move(completion));
    }
    case Local::subscribe:
    case Local::unsubscribe: {
      const auto& perform = std::get<Local>(action->performer) == Local::subscribe
                                ? services_.subscribe
                                : services_.unsubscribe;
      if (!perform) return completion(offlineFoldersUnavailable());
      return perform(selectOnlyFolderIdentifiers(identifiers, action->logName),
                     std::move(completion));
    }
    case Local::crawl:
    case Local::forceRefresh: {
      const auto& perform = std::get<Local>(action->performer) == Local::crawl
                                ? services_.crawl
                                : services_.forceRefresh;
      if (!perform) return unavailable();
      return perform(selectOnlyFolderIdentifiers(identifiers, action->logName),
                     std::move(completion));
    }
    case Local::webViewPlayground:
      if (identifiers.size() != 1 || !contextMenu_) {
        logger_.warning("Expected one item in " + std::string(action->logName),
                        {{"count", identifiers.size()}});
        return completion(invalidAction());
      }
      return contextMenu_->handleWebViewPlaygroundAction(identifiers.front(),
                                                         std::move(completion));
  }
  completion(invalidAction());
}

}  // namespace tarnix::fileprovider
