#pragma once
// The sync client the sync service talks to: each call goes to the client of the item's realm,
// the cloud client for the online realm, the offline sync engine for the offline realm. A drive
// without an offline engine answers calls for offline items with offlineItemBroken.
//
// Threads: any; completions as the chosen client's.

#include <memory>

#include "base/DispatchQueue.hpp"
#include "base/Logger.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"

namespace tarnix::fileprovider {

class SyncClientProxy final : public SyncClientProtocol {
 public:
  SyncClientProxy(std::shared_ptr<SyncClientProtocol> syncClientForOnlineRealm,
                  std::shared_ptr<SyncClientProtocol> syncClientForOfflineRealm,
                  base::Logger logger)
      : syncClientForOnlineRealm_(std::move(syncClientForOnlineRealm)),
        syncClientForOfflineRealm_(std::move(syncClientForOfflineRealm)),
        logger_(std::move(logger)) {}

  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path destination,
                               std::optional<common::CloudEntryIdentifier> requestedContentVersion,
                               fp::FetchContentsOptions options,
                               ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path destination,
      cloudfs::ByteRange requestedRange, std::int64_t alignment,
      std::optional<common::CloudEntryIdentifier> requestedContentVersion,
      fp::FetchContentsOptions options,
      ResultHandler<PartialFetchOutputContext> completionHandler) override;
  fp::ProgressPtr uploadFirstEntry(const common::SyncItem& parentItem,
                                   CloudEntryUploadParams entryParams, std::string filename,
                                   std::optional<std::string> originalItemIdentifier,
                                   ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr uploadNextEntry(const common::SyncItem& parentItem, const common::SyncItem& item,
                                  CloudEntryUploadParams entryParams,
                                  ResultHandler<UploadNextEntryOutput> completionHandler) override;
  fp::ProgressPtr createFolder(const common::SyncItem& parentItem, std::string filename,
                               ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr moveItem(const common::SyncItem& item, std::optional<common::SyncItem> newParent,
                           std::optional<std::string> newFilename,
                           ResultHandler<common::SyncItem> completionHandler) override;
  fp::ProgressPtr deleteItem(const common::SyncItem& item,
                             ResultHandler<void> completionHandler) override;

 private:
  /// Runs `block` with the client of `item`'s realm, logging "Performing action on item from
  /// online realm" (or offline) at debug level; without such a client `block` is not run and
  /// `completionHandler` gets offlineItemBroken on the proxy's own queue.
  template <class T>
  fp::ProgressPtr withSyncClient(
      const common::SyncItem& item, ResultHandler<T> completionHandler,
      const std::function<fp::ProgressPtr(SyncClientProtocol&, ResultHandler<T>)>& block);
  std::shared_ptr<SyncClientProtocol> syncClientForOnlineRealm_;
  std::shared_ptr<SyncClientProtocol> syncClientForOfflineRealm_;
  base::Logger logger_;
  std::shared_ptr<base::DispatchQueue> queue_ =
      base::DispatchQueue::make("com.tarnix.SyncClientProxy");
};

}  // namespace tarnix::fileprovider
