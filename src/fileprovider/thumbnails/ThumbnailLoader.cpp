#include "fileprovider/thumbnails/ThumbnailLoader.hpp"

#include <mutex>

namespace tarnix::fileprovider {

namespace {

/// What one fetchThumbnails call shares between its answers; touched on the callback queue.
struct Batch {
  fp::ReplicatedExtension::PerThumbnailCompletion perThumbnail;
  fp::ReplicatedExtension::ErrorCompletion completion;
  fp::ProgressPtr progress;
  std::size_t remaining = 0;

  std::mutex fetchesMutex;
  std::vector<std::shared_ptr<SyncThumbnailFetch>> fetches;  // guarded by fetchesMutex

  /// On the callback queue.
  void answer(const fp::ItemIdentifier& identifier, std::optional<fp::Data> data,
              std::optional<fp::Error> error) {
    perThumbnail(identifier, std::move(data), std::move(error));
    progress->setCompletedUnitCount(progress->completedUnitCount() + 1);
    if (--remaining == 0) completion(std::nullopt);
  }
};

}  // namespace

ThumbnailLoader::ThumbnailLoader(std::shared_ptr<SyncThumbnailLoader> syncThumbnailLoader,
                                 std::shared_ptr<const FileProviderConverter> converter,
                                 base::Logger logger)
    : syncThumbnailLoader_(std::move(syncThumbnailLoader)),
      converter_(std::move(converter)),
      logger_(std::move(logger)) {}

fp::Error convertThumbnailError(const FileProviderConverter& converter,
                                const SyncThumbnailError& error) {
  if (const auto* storeError = std::get_if<common::ItemStoreError>(&error)) {
    return converter.convert(*storeError);
  }
  const auto& cloudError = std::get<SyncCloudError>(error);
  if (const auto* syncError = cloudError.syncError()) return converter.convert(*syncError);
  if (cloudError.isCancellation()) return fp::Error(fp::CocoaErrorCode::userCancelled);
  const auto* sessionError = cloudError.sessionError();
  fp::Error::UserInfo info{
      {std::string(fp::Error::kLocalizedDescriptionKey), cloudError.description()}};
  if (const auto* urlError = std::get_if<cloudfs::URLError>(sessionError)) {
    return converter.convert(fp::Error(cloudfs::URLError::domain, urlError->rawCode(), info));
  }
  return converter.convert(fp::Error(cloudfs::URLError::domain,
                                     static_cast<int>(cloudfs::URLError::Code::unknown), info));
}

fp::ProgressPtr ThumbnailLoader::fetchThumbnails(
    const std::vector<fp::ItemIdentifier>& identifiers, fp::ThumbnailSize requestedSize,
    fp::ReplicatedExtension::PerThumbnailCompletion perThumbnailCompletionHandler,
    fp::ReplicatedExtension::ErrorCompletion completionHandler) {
  base::LoggerMetadataValue::Array itemIDs;
  for (const auto& identifier : identifiers) itemIDs.emplace_back(identifier.rawValue());
  logger_.info("Fetching thumbnails", base::LoggerMetadata{{"itemIDs", std::move(itemIDs)}});

  auto batch = std::make_shared<Batch>();
  batch->perThumbnail = std::move(perThumbnailCompletionHandler);
  batch->completion = std::move(completionHandler);
  batch->progress = fp::Progress::make(static_cast<std::int64_t>(identifiers.size()));
  batch->remaining = identifiers.size();
  const auto& callbackQueue = syncThumbnailLoader_->callbackQueue();
  if (identifiers.empty()) {
    callbackQueue->async([batch] { batch->completion(std::nullopt); });
    return batch->progress;
  }

  const auto size = thumbnailDimensions(requestedSize.width, requestedSize.height);
  std::vector<std::shared_ptr<SyncThumbnailFetch>> fetches;
  for (const auto& identifier : identifiers) {
    auto parsed = converter_->syncItemIdentifier(identifier);
    if (!parsed) {
      logger_.error("Invalid item ID given by system to fetchThumbnails()",
                    base::LoggerMetadata{{"itemID", identifier.rawValue()}});
      callbackQueue->async([batch, identifier] {
        batch->answer(identifier, std::nullopt, fp::Error::forNonExistentItem(identifier));
      });
      continue;
    }
    fetches.push_back(syncThumbnailLoader_->fetchThumbnail(
        *parsed, size, [converter = converter_, batch, identifier](SyncThumbnailResult result) {
          if (result) {
            batch->answer(identifier, std::move(*result), std::nullopt);
            return;
          }
          batch->answer(identifier, std::nullopt,
                        convertThumbnailError(*converter, result.error()));
        }));
  }
  {
    std::lock_guard lock(batch->fetchesMutex);
    batch->fetches = std::move(fetches);
  }
  std::weak_ptr<Batch> weakBatch = batch;
  batch->progress->setCancellationHandler([weakBatch] {
    auto batch = weakBatch.lock();
    if (!batch) return;
    std::vector<std::shared_ptr<SyncThumbnailFetch>> fetches;
    {
      std::lock_guard lock(batch->fetchesMutex);
      fetches = batch->fetches;
    }
    for (const auto& fetch : fetches) fetch->cancel();
  });
  return batch->progress;
}

}  // namespace tarnix::fileprovider
