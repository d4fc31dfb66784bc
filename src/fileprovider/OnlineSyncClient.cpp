#include "fileprovider/OnlineSyncClient.hpp"

namespace tarnix::fileprovider {
namespace {

// A request without bytes to count: one unit, done when it completes; cancelling it cancels
// the request.
template <class T>
fp::ProgressPtr requestProgress(
    const std::function<cloudfs::CloudFSSessionTask(SyncClientProtocol::ResultHandler<T>)>& send,
    SyncClientProtocol::ResultHandler<T> completionHandler) {
  auto progress = fp::Progress::make(1);
  auto task =
      send([progress, completionHandler = std::move(completionHandler)](SyncCloudResult<T> result) {
        progress->setCompletedUnitCount(1);
        completionHandler(std::move(result));
      });
  progress->setCancellationHandler([task] { task.cancel(); });
  return progress;
}

}  // namespace

// Namespace changes go without a lock token until this machine takes cloud locks of its own.

fp::ProgressPtr OnlineSyncClient::downloadFile(
    const common::SyncItem& item, std::filesystem::path destination,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<common::SyncItem> completionHandler) {
  return downloads_->downloadFile(item, std::move(destination), std::move(requestedContentVersion),
                                  options, std::move(completionHandler));
}

fp::ProgressPtr OnlineSyncClient::downloadFilePartially(
    const common::SyncItem& item, std::filesystem::path destination,
    cloudfs::ByteRange requestedRange, std::int64_t alignment,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<PartialFetchOutputContext> completionHandler) {
  return downloads_->downloadFilePartially(item, std::move(destination), requestedRange, alignment,
                                           std::move(requestedContentVersion), options,
                                           std::move(completionHandler));
}

fp::ProgressPtr OnlineSyncClient::createFolder(const common::SyncItem& parentItem,
                                               std::string filename,
                                               ResultHandler<common::SyncItem> completionHandler) {
  return requestProgress<common::SyncItem>(
      [&](auto done) { return cloudClient_->createFolder(parentItem, filename, std::move(done)); },
      std::move(completionHandler));
}

fp::ProgressPtr OnlineSyncClient::moveItem(const common::SyncItem& item,
                                           std::optional<common::SyncItem> newParent,
                                           std::optional<std::string> newFilename,
                                           ResultHandler<common::SyncItem> completionHandler) {
  return requestProgress<common::SyncItem>(
      [&](auto done) {
        return cloudClient_->moveItem(item, std::move(newParent), std::move(newFilename),
                                      std::nullopt, std::move(done));
      },
      std::move(completionHandler));
}

fp::ProgressPtr OnlineSyncClient::deleteItem(const common::SyncItem& item,
                                             ResultHandler<void> completionHandler) {
  return requestProgress<void>(
      [&](auto done) { return cloudClient_->deleteItem(item, std::nullopt, std::move(done)); },
      std::move(completionHandler));
}

}  // namespace tarnix::fileprovider
