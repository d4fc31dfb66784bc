#include "fileprovider/sync/SyncService.hpp"

namespace tarnix::fileprovider {

SyncService::SyncService(std::shared_ptr<common::SyncItemStorage> itemStorage, common::Drive drive,
                         std::shared_ptr<SyncClientProtocol> syncClient, base::Logger logger)
    : itemStorage_(std::move(itemStorage)),
      drive_(std::move(drive)),
      syncClient_(std::move(syncClient)),
      logger_(std::move(logger)) {}

template <class T>
SyncClientProtocol::ResultHandler<T> SyncService::logged(
    const common::SyncItem& item, SyncClientProtocol::ResultHandler<T> handler) const {
  return [logger = logger_, itemID = item.itemIdentifier.description(),
          handler = std::move(handler)](SyncCloudResult<T> result) {
    if (!result && !result.error().isCancellation()) {
      logger.error("Received error while downloading content",
                   {{"itemID", itemID}, {"error", result.error().description()}});
    }
    handler(std::move(result));
  };
}

fp::ProgressPtr SyncService::downloadFile(
    const common::SyncItem& item, std::filesystem::path destination,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options,
    SyncClientProtocol::ResultHandler<common::SyncItem> completionHandler) {
  return syncClient_->downloadFile(item, std::move(destination), std::move(requestedContentVersion),
                                   options, logged(item, std::move(completionHandler)));
}

fp::ProgressPtr SyncService::downloadFilePartially(
    const common::SyncItem& item, std::filesystem::path destination,
    cloudfs::ByteRange requestedRange, std::int64_t alignment,
    std::optional<common::CloudEntryIdentifier> requestedContentVersion,
    fp::FetchContentsOptions options,
    SyncClientProtocol::ResultHandler<PartialFetchOutputContext> completionHandler) {
  return syncClient_->downloadFilePartially(item, std::move(destination), requestedRange, alignment,
                                            std::move(requestedContentVersion), options,
                                            logged(item, std::move(completionHandler)));
}

}  // namespace tarnix::fileprovider
