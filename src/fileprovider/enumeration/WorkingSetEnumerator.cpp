#include "fileprovider/enumeration/WorkingSetEnumerator.hpp"

#include "fileprovider/enumeration/EnumerationObserver.hpp"

namespace tarnix::fileprovider {

WorkingSetEnumerator::WorkingSetEnumerator(
    base::Logger logger, std::shared_ptr<common::SyncItemStorage> itemStorage,
    std::shared_ptr<const FileProviderConverter> converter,
    std::shared_ptr<FileProviderStatusProvider> statusProvider)
    : logger_(std::move(logger)),
      itemStorage_(std::move(itemStorage)),
      converter_(std::move(converter)),
      statusProvider_(std::move(statusProvider)) {}

void WorkingSetEnumerator::enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) {
  logger_.info("Enumerating items from Working Set", {{"page", page.rawValue}});
  EnumerationObserver adapter(observer, converter_);
  auto marker = decodePage(page);
  if (!marker) {
    logger_.error("Requested to enumerate Working Set from invalid page",
                  {{"page", page.rawValue}});
    observer->finishEnumeratingWithError(fp::Error(fp::FileProviderErrorCode::pageExpired));
    return;
  }
  auto result = itemStorage_->enumerateItems(std::nullopt, *marker, adapter.pageSize());
  if (!result) return adapter.didFail(result.error());
  adapter.didEnumerate(*result);
}

void WorkingSetEnumerator::enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) {
  auto decoded = decodeSyncAnchor(anchor);
  if (!decoded) {
    logger_.warning("Invalid sync anchor for working set enumeration given by FP daemon.",
                    {{"anchor", anchor.rawValue}});
    observer->finishEnumeratingWithError(fp::Error(fp::FileProviderErrorCode::syncAnchorExpired));
    return;
  }
  logger_.info("Enumerating changes from Working Set", {{"anchor", anchor.rawValue}});
  EnumerationChangeObserver adapter(observer, statusProvider_, converter_, *decoded);
  auto batch = itemStorage_->enumerateChanges(std::nullopt, *decoded, adapter.batchSize());
  if (!batch) {
    logger_.error("Enumerating changes from Working Set failed.",
                  {{"error", batch.error().description()}});
    return adapter.didFail(batch.error());
  }
  TLOG_DEBUG(logger_, "Enumerating changes from Working Set has been completed.",
             {{"changeCount", batch->changeCount}, {"moreComing", batch->moreComing}});
  adapter.didEnumerate(*batch);
  if (!batch->moreComing) drainedPublisher_.send();
}

void WorkingSetEnumerator::currentSyncAnchor(
    std::function<void(std::optional<fp::SyncAnchor>)> completion) {
  answerCurrentSyncAnchor(*itemStorage_, logger_, completion);
}

}  // namespace tarnix::fileprovider
