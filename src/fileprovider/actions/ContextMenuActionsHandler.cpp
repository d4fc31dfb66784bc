#include "fileprovider/actions/ContextMenuActionsHandler.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

fp::Error userActionError(std::int64_t code, std::string description,
                          std::string recoverySuggestion) {
  fp::Error::UserInfo info;
  info[std::string(fp::Error::kLocalizedDescriptionKey)] = std::move(description);
  info[std::string(fp::Error::kLocalizedRecoverySuggestionKey)] = std::move(recoverySuggestion);
  return fp::Error(std::string(kUserActionErrorDomain), code, std::move(info));
}

fp::Error unavailableOnLinux(std::string_view actionName) {
  return userActionError(
      2, std::string(actionName) + " is not available on Linux.",
      "This action is carried out by the Tarnix desktop application, which does not run here.");
}

ContextMenuActionsHandler::ContextMenuActionsHandler(
    common::Drive drive,
    std::shared_ptr<platform::DistributedNotificationCenter> distributedNotificationCenter,
    base::Logger logger)
    : drive_(std::move(drive)),
      distributedNotificationCenter_(std::move(distributedNotificationCenter)),
      logger_(std::move(logger)) {}

void ContextMenuActionsHandler::setFinderSupportService(
    std::shared_ptr<FinderSupportService> service) {
  std::lock_guard lock(mutex_);
  finderSupport_ = std::move(service);
}

void ContextMenuActionsHandler::executeAction(const ContextMenuAction& action,
                                              Completion completion) {
  std::shared_ptr<FinderSupportService> service;
  {
    std::lock_guard lock(mutex_);
    service = finderSupport_;
  }
  const auto type = std::string(name(action.type));
  if (!service) {
    logger_.warning("No desktop application to carry out the action", {{"type", type}});
    return completion(unavailableOnLinux(type));
  }
  logger_.info("Forwarding action to the desktop application",
               {{"type", type}, {"count", action.selection.size()}});
  service->executeAction(action.json().dump(), std::move(completion));
}

void ContextMenuActionsHandler::handleWebViewPlaygroundAction(
    const common::SyncItemIdentifier& item, Completion completion) {
  if (!distributedNotificationCenter_) {
    logger_.error("Error sending WebViewPlayground event.");
    return completion(unavailableOnLinux("WebView playground"));
  }
  base::JSONValue event = {{"driveIdentifier", drive_.identifier},
                           {"itemIdentifier", item.description()}};
  distributedNotificationCenter_->post("com.tarnix.WebViewPlayground", event.dump());
  completion(std::nullopt);
}

}  // namespace tarnix::fileprovider
