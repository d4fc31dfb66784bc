#pragma once
// The provider's context-menu actions: identifiers "com.tarnix.DesktopApp.FileProviderActions"
// followed by a suffix (".Lock", ".Unlock", ".Subscribe", ".Unsubscribe", ".Debug.Crawl",
// ".Debug.ForceRefresh", ".Debug.WebViewPlayground", ".ViewOnline", ".ViewLinkOptions",
// ".CopyLink", ".CopyDirectLink", ".CopyDesktopLink", ".PartnerIntegrations", ".SearchFolder",
// ".CreateShortcut", ".CreateNewDocument", ".FileLevelUI", ".Duplicate"). Each action keeps
// the part of the selection it accepts (files, folders, any items, one item), logging what it
// drops, and runs once with the rest: locks, listings and crawls here, the others through the
// desktop application (ContextMenuActionsHandler), which on Linux answers that it is not
// available. Keeping folders offline is not part of this build and says so.
//
// Threads: any thread; actions start on the queue "com.tarnix.FileProviderActionHandler" and
// complete once, on any thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "fileprovider/actions/ContextMenuActionsHandler.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::fileprovider {

inline constexpr std::string_view kFileProviderActionsPrefix =
    "com.tarnix.DesktopApp.FileProviderActions";

/// Always held by a shared_ptr: queued actions keep it alive.
class CustomActionHandler : public std::enable_shared_from_this<CustomActionHandler> {
 public:
  using Completion = std::function<void(std::optional<platform::fileprovider::Error>)>;
  using FilesAction =
      std::function<void(const std::vector<common::SyncFileIdentifier>&, Completion)>;
  using FoldersAction =
      std::function<void(const std::vector<common::SyncFolderIdentifier>&, Completion)>;

  /// The services the local actions call; an empty one makes its action fail as unavailable.
  struct Services {
    /// The framework's identifier as a sync item identifier (none for anything else).
    std::function<std::optional<common::SyncItemIdentifier>(
        const platform::fileprovider::ItemIdentifier&)>
        syncItemIdentifier;
    FilesAction lock;
    FilesAction unlock;
    FoldersAction subscribe;
    FoldersAction unsubscribe;
    FoldersAction crawl;
    FoldersAction forceRefresh;
  };

  CustomActionHandler(Services services, std::shared_ptr<ContextMenuActionsHandler> contextMenu,
                      base::Logger logger);

  /// Logs "Performing action" ("actionIdentifier", "actionID"), then runs the action. An
  /// unknown identifier logs "Unknown action identifier" and fails with "Invalid action
  /// requested by system.".
  void performAction(const std::string& actionIdentifier,
                     const std::vector<platform::fileprovider::ItemIdentifier>& items,
                     Completion completion);

  std::vector<common::SyncItemIdentifier> selectOnlyCloudIdentifiers(
      const std::vector<platform::fileprovider::ItemIdentifier>& items,
      std::string_view actionName) const;
  std::vector<common::SyncFolderIdentifier> selectOnlyFolderIdentifiers(
      const std::vector<common::SyncItemIdentifier>& items, std::string_view actionName) const;
  std::vector<common::SyncFileIdentifier> selectOnlyFileIdentifiers(
      const std::vector<common::SyncItemIdentifier>& items, std::string_view actionName) const;

 private:
  void run(const std::string& actionIdentifier,
           const std::vector<platform::fileprovider::ItemIdentifier>& items, Completion completion);

  Services services_;
  std::shared_ptr<ContextMenuActionsHandler> contextMenu_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> syncQueue_;
};

}  // namespace tarnix::fileprovider
