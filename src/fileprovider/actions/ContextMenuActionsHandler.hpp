#pragma once
// Hands context-menu actions that the desktop application carries out (links, view online,
// new documents, shortcuts, search, integrations, duplicate) to its finder-support service.
// On Linux no such application runs: without a service every action fails with an error that
// says so, naming the action.
//
// Threads: any thread; the completion runs once, on any thread.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "base/Logger.hpp"
#include "common/Drive.hpp"
#include "fileprovider/actions/ContextMenuAction.hpp"
#include "platform/DistributedNotificationCenter.hpp"
#include "platform/fileprovider/Error.hpp"

namespace tarnix::fileprovider {

/// The desktop application's "FinderSupport" service: `executeAction:reply:`.
class FinderSupportService {
 public:
  virtual ~FinderSupportService() = default;
  /// `reply` runs once with the service's error, if any.
  virtual void executeAction(
      const std::string& actionJSON,
      std::function<void(std::optional<platform::fileprovider::Error>)> reply) = 0;
};

/// "com.tarnix.UserActionError": the errors of context-menu actions the user sees.
inline constexpr std::string_view kUserActionErrorDomain = "com.tarnix.UserActionError";
platform::fileprovider::Error userActionError(std::int64_t code, std::string description,
                                              std::string recoverySuggestion);
/// "<action> is not available on Linux: ...".
platform::fileprovider::Error unavailableOnLinux(std::string_view actionName);

class ContextMenuActionsHandler {
 public:
  using Completion = std::function<void(std::optional<platform::fileprovider::Error>)>;

  ContextMenuActionsHandler(
      common::Drive drive,
      std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
      base::Logger logger);

  /// Set by whoever offers the desktop application's service; none: forwarded actions fail.
  void setFinderSupportService(std::shared_ptr<FinderSupportService> service);

  void executeAction(const ContextMenuAction& action, Completion completion);
  /// Posts "com.tarnix.WebViewPlayground" with the item; a failure logs "Error sending
  /// WebViewPlayground event.".
  void handleWebViewPlaygroundAction(const common::SyncItemIdentifier& item, Completion completion);

  const common::Drive& drive() const { return drive_; }

 private:
  common::Drive drive_;
  std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter_;
  base::Logger logger_;
  std::mutex mutex_;
  std::shared_ptr<FinderSupportService> finderSupport_;  // guarded by mutex_
};

}  // namespace tarnix::fileprovider
