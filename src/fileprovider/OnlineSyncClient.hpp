#pragma once
// The sync client of a drive's online realm: downloads through the drive's SyncCloudDownloads,
// uploads through its SyncCloudUploads (the end of each is announced through the upload
// notifier), namespace changes through its SyncCloudClient. Completions run exactly once, on
// the cloud session's callback queue or the chunk uploader's queue.

#include <memory>

#include "fileprovider/cloud/SyncClientProtocol.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"
#include "fileprovider/upload/SyncCloudUploads.hpp"
#include "fileprovider/upload/UploadNotifier.hpp"

namespace tarnix::fileprovider {

class OnlineSyncClient final : public SyncClientProtocol {
 public:
  /// `uploads` may be null (uploads then fail with badServerResponse); `itemStorage` gives the
  /// cloud paths uploads are sent to; `notifier` may be null.
  OnlineSyncClient(std::shared_ptr<SyncCloudClient> cloudClient,
                   std::shared_ptr<SyncCloudDownloads> downloads,
                   std::shared_ptr<SyncCloudUploads> uploads = nullptr,
                   std::shared_ptr<common::SyncItemStorage> itemStorage = nullptr,
                   std::shared_ptr<UploadNotifier> notifier = nullptr)
      : cloudClient_(std::move(cloudClient)),
        downloads_(std::move(downloads)),
        uploads_(std::move(uploads)),
        itemStorage_(std::move(itemStorage)),
        notifier_(std::move(notifier)) {}

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
  /// The cloud path of `filename` in `parentItem`, below the drive's cloud start path.
  SyncCloudResult<std::string> cloudPath(const common::SyncItem& parentItem,
                                         const std::string& filename) const;
  /// Runs the upload of `cloudPath` (`start` gets the completion and what hears the bytes the
  /// cloud acknowledged), counts those bytes in the returned progress and announces the end.
  fp::ProgressPtr upload(
      const std::string& cloudPath, std::int64_t size,
      const std::function<void(SyncCloudUploads::Completion<CloudEntryUploadOutput>,
                               std::function<void(std::int64_t)>)>& start,
      std::function<void(SyncCloudResult<CloudEntryUploadOutput>)> completionHandler);

  std::shared_ptr<SyncCloudClient> cloudClient_;
  std::shared_ptr<SyncCloudDownloads> downloads_;
  std::shared_ptr<SyncCloudUploads> uploads_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<UploadNotifier> notifier_;
};

}  // namespace tarnix::fileprovider
