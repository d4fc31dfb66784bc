#include "fileprovider/sync/SyncClientProxy.hpp"

namespace tarnix::fileprovider {

template <class T>
fp::ProgressPtr SyncClientProxy::withSyncClient(
    const common::SyncItem& item, ResultHandler<T> completionHandler,
    const std::function<fp::ProgressPtr(SyncClientProtocol&, ResultHandler<T>)>& block) {
  const bool offline = item.itemRealm == common::SyncItemRealm::offline;
  TLOG_DEBUG(
      logger_,
      std::string("Performing action on item from ") + (offline ? "offline" : "online") + " realm",
      {{"itemID", item.itemIdentifier.description()}});
  const auto& client = offline ? syncClientForOfflineRealm_ : syncClientForOnlineRealm_;
  if (!client) {
    logger_.error("No sync client for the item's realm",
                  {{"itemID", item.itemIdentifier.description()}});
    queue_->async([completionHandler = std::move(completionHandler)] {
      completionHandler(
          std::unexpected(common::SyncError(common::SyncError::Code::offlineItemBroken)));
    });
    return fp::Progress::make(1);
  }
  return block(*client, std::move(completionHandler));
}

fp::ProgressPtr SyncClientProxy::downloadFile(
    const common::SyncItem& item, std::filesystem::path destination,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<common::SyncItem> completionHandler) {
  return withSyncClient<common::SyncItem>(
      item, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.downloadFile(item, std::move(destination), std::move(requestedContentVersion),
                                   options, std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::downloadFilePartially(
    const common::SyncItem& item, std::filesystem::path destination,
    cloudfs::ByteRange requestedRange, std::int64_t alignment,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options, ResultHandler<PartialFetchOutputContext> completionHandler) {
  return withSyncClient<PartialFetchOutputContext>(
      item, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.downloadFilePartially(item, std::move(destination), requestedRange, alignment,
                                            std::move(requestedContentVersion), options,
                                            std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::uploadFirstEntry(
    const common::SyncItem& parentItem, CloudEntryUploadParams entryParams, std::string filename,
    std::optional<std::string> originalItemIdentifier,
    ResultHandler<common::SyncItem> completionHandler) {
  // A new file belongs to the realm of the folder it is made in.
  return withSyncClient<common::SyncItem>(
      parentItem, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.uploadFirstEntry(parentItem, std::move(entryParams), std::move(filename),
                                       std::move(originalItemIdentifier), std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::uploadNextEntry(
    const common::SyncItem& parentItem, const common::SyncItem& item,
    CloudEntryUploadParams entryParams, ResultHandler<UploadNextEntryOutput> completionHandler) {
  return withSyncClient<UploadNextEntryOutput>(
      item, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.uploadNextEntry(parentItem, item, std::move(entryParams), std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::createFolder(const common::SyncItem& parentItem,
                                              std::string filename,
                                              ResultHandler<common::SyncItem> completionHandler) {
  return withSyncClient<common::SyncItem>(
      parentItem, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.createFolder(parentItem, std::move(filename), std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::moveItem(const common::SyncItem& item,
                                          std::optional<common::SyncItem> newParent,
                                          std::optional<std::string> newFilename,
                                          ResultHandler<common::SyncItem> completionHandler) {
  return withSyncClient<common::SyncItem>(
      item, std::move(completionHandler), [&](SyncClientProtocol& client, auto done) {
        return client.moveItem(item, std::move(newParent), std::move(newFilename), std::move(done));
      });
}

fp::ProgressPtr SyncClientProxy::deleteItem(const common::SyncItem& item,
                                            ResultHandler<void> completionHandler) {
  return withSyncClient<void>(item, std::move(completionHandler),
                              [&](SyncClientProtocol& client, auto done) {
                                return client.deleteItem(item, std::move(done));
                              });
}

}  // namespace tarnix::fileprovider
