#include "fileprovider/OnlineSyncClient.hpp"

#include <algorithm>

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

SyncCloudResult<std::string> OnlineSyncClient::cloudPath(const common::SyncItem& parentItem,
                                                         const std::string& filename) const {
  if (!itemStorage_) return std::unexpected(common::SyncError(common::SyncError::Code::noSuchItem));
  auto parentPath = itemStorage_->queryCloudPath(parentItem.itemIdentifier);
  if (!parentPath) {
    const auto* sync = parentPath.error().syncError();
    return std::unexpected(sync ? *sync : common::SyncError::noSuchItem(parentItem.itemIdentifier));
  }
  std::string start = itemStorage_->cloudStartPath();
  while (!start.empty() && start.back() == '/') start.pop_back();
  const std::string below = *parentPath == "/" ? "" : *parentPath;
  return start + below + "/" + filename;
}

fp::ProgressPtr OnlineSyncClient::upload(
    const std::string& cloudPath, std::int64_t size,
    const std::function<void(SyncCloudUploads::Completion<CloudEntryUploadOutput>,
                             std::function<void(std::int64_t)>)>& start,
    std::function<void(SyncCloudResult<CloudEntryUploadOutput>)> completionHandler) {
  auto progress = fp::Progress::make(std::max<std::int64_t>(size, 1));
  auto sent = [weak = std::weak_ptr<fp::Progress>(progress)](std::int64_t bytes) {
    // The last unit waits for the answer.
    if (auto p = weak.lock()) p->setCompletedUnitCount(std::min(bytes, p->totalUnitCount() - 1));
  };
  start(
      [progress, notifier = notifier_, cloudPath, drive = cloudClient_->drive().identifier,
       completionHandler =
           std::move(completionHandler)](SyncCloudResult<CloudEntryUploadOutput> result) {
        progress->setCompletedUnitCount(progress->totalUnitCount());
        if (notifier && (result || !result.error().isCancellation())) {
          notifier->sendCompletedNotification({cloudPath, drive, result.has_value()});
        }
        completionHandler(std::move(result));
      },
      std::move(sent));
  return progress;
}

fp::ProgressPtr OnlineSyncClient::uploadFirstEntry(
    const common::SyncItem& parentItem, CloudEntryUploadParams entryParams, std::string filename,
    std::optional<std::string> originalItemIdentifier,
    ResultHandler<common::SyncItem> completionHandler) {
  auto path = cloudPath(parentItem, filename);
  if (!uploads_ || !path) {
    auto error = path
                     ? SyncCloudError(common::SyncError(common::SyncError::Code::badServerResponse))
                     : path.error();
    cloudClient_->cfsSession()->callbackQueue()->async(
        [completionHandler = std::move(completionHandler), error] {
          completionHandler(std::unexpected(error));
        });
    return fp::Progress::make(1);
  }
  common::SyncItem file;
  // A file the system names keeps its identifier from one attempt to the next, so that the
  // chunks the cloud acknowledged before an interruption (even a killed process) are not
  // sent again.
  file.itemIdentifier =
      originalItemIdentifier
          ? common::SyncFileIdentifier::derived("new file/" + *originalItemIdentifier)
          : common::SyncFileIdentifier::make();
  file.parentItemIdentifier = *parentItem.itemIdentifier.folder();
  file.filename = filename;
  file.permission = parentItem.permission;
  file.systemItemIdentifier = std::move(originalItemIdentifier);
  const auto size = entryParams.contentSize;
  return upload(
      *path, size,
      [&](auto done, auto sent) {
        auto params = entryParams;
        params.progress = std::move(sent);
        uploads_->uploadFirstEntry(file, *path, std::move(params), std::move(done));
      },
      [file, entryParams, completionHandler = std::move(completionHandler)](
          SyncCloudResult<CloudEntryUploadOutput> uploaded) mutable {
        if (!uploaded) return completionHandler(std::unexpected(uploaded.error()));
        file.filename = uploaded->filename;
        file.cloudIdentifier = common::CloudItemIdentifier(uploaded->itemIdentifier);
        file.contentVersion = uploaded->contentVersion;
        file.contentChecksum = uploaded->contentChecksum;
        file.contentSize = entryParams.contentSize;
        file.uploadDate = uploaded->uploadDate;
        file.author = uploaded->author;
        // The item keeps the date the user's application set; the cloud got the override.
        file.contentModificationDate = entryParams.contentModificationDate;
        file.cfsContentModificationDateOverride = entryParams.cfsContentModificationDateOverride;
        completionHandler(std::move(file));
      });
}

fp::ProgressPtr OnlineSyncClient::uploadNextEntry(
    const common::SyncItem& parentItem, const common::SyncItem& item,
    CloudEntryUploadParams entryParams, ResultHandler<UploadNextEntryOutput> completionHandler) {
  auto path = cloudPath(parentItem, item.filename);
  if (!uploads_ || !path) {
    auto error = path
                     ? SyncCloudError(common::SyncError(common::SyncError::Code::badServerResponse))
                     : path.error();
    cloudClient_->cfsSession()->callbackQueue()->async(
        [completionHandler = std::move(completionHandler), error] {
          completionHandler(std::unexpected(error));
        });
    return fp::Progress::make(1);
  }
  return upload(
      *path, entryParams.contentSize,
      [&](auto done, auto sent) {
        auto params = entryParams;
        params.progress = std::move(sent);
        uploads_->uploadNextEntry(item, *path, std::move(params), std::move(done));
      },
      [item, entryParams, completionHandler = std::move(completionHandler)](
          SyncCloudResult<CloudEntryUploadOutput> uploaded) {
        if (!uploaded) return completionHandler(std::unexpected(uploaded.error()));
        UploadNextEntryOutput output{common::PatchedSyncItem(item), false, std::nullopt};
        if (uploaded->didCreateConflict) {
          // The item stays the other version; this content is the conflict copy.
          output.hasStaleVersion = true;
          output.conflictedFileName = uploaded->filename;
          return completionHandler(std::move(output));
        }
        auto& patched = output.item;
        patched.setContentVersion(uploaded->contentVersion);
        patched.setContentChecksum(uploaded->contentChecksum);
        patched.setContentSize(entryParams.contentSize);
        patched.setUploadDate(uploaded->uploadDate);
        patched.setAuthor(uploaded->author);
        patched.setContentModificationDate(entryParams.contentModificationDate);
        patched.setCfsContentModificationDateOverride(
            entryParams.cfsContentModificationDateOverride);
        completionHandler(std::move(output));
      });
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
