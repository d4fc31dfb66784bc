#include "fileprovider/enumeration/Enumerator.hpp"

#include "fileprovider/enumeration/EnumerationObserver.hpp"

namespace tarnix::fileprovider {

namespace {

// The domain of a listing failure that is no SyncError (a transport or store failure).
constexpr std::string_view kListingErrorDomain = "com.tarnix.ListingError";

std::string sortByName(const fp::Page& page) {
  if (page == fp::Page::initialPageSortedByDate()) return "date";
  if (page == fp::Page::initialPageSortedByName()) return "name";
  return "none";
}
}  // namespace

Enumerator::Enumerator(std::shared_ptr<common::SyncItemStorage> itemStorage,
                       std::shared_ptr<const FileProviderConverter> converter,
                       std::shared_ptr<ListingScheduler> listingScheduler,
                       std::shared_ptr<CloudItemPresentationTracker> presentationTracker,
                       base::Logger logger, common::SyncItemIdentifier enumeratedItemIdentifier)
    : itemStorage_(std::move(itemStorage)),
      converter_(std::move(converter)),
      listingScheduler_(std::move(listingScheduler)),
      presentationTracker_(std::move(presentationTracker)),
      logger_(std::move(logger)),
      enumeratedItemIdentifier_(std::move(enumeratedItemIdentifier)) {
  if (presentationTracker_) presentationTracker_->didStartPresenting(enumeratedItemIdentifier_);
  TLOG_DEBUG(logger_, "Enumerator created for " + enumeratedItemIdentifier_.description());
}

Enumerator::~Enumerator() {
  // An enumerator the framework dropped without invalidating still ends its presentation.
  invalidate();
}

void Enumerator::invalidate() {
  if (!alive_.exchange(false)) return;
  if (presentationTracker_) presentationTracker_->didStopPresenting(enumeratedItemIdentifier_);
  logger_.info("Enumerator invalidated for " + enumeratedItemIdentifier_.description());
}

void Enumerator::waitForPresentationListing(
    std::function<void(std::optional<fp::Error>)> completion) {
  if (!presentationTracker_) return completion(std::nullopt);
  presentationTracker_->whenPresentationListed(
      enumeratedItemIdentifier_, [converter = converter_, completion = std::move(completion)](
                                     std::optional<PresentationListingFailure> failure) {
        if (!failure) return completion(std::nullopt);
        if (failure->syncError) return completion(converter->convert(*failure->syncError));
        completion(converter->convert(
            fp::Error(std::string(kListingErrorDomain), 0,
                      {{std::string(fp::Error::kLocalizedDescriptionKey), failure->description}})));
      });
}

void Enumerator::enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) {
  logger_.info("Enumerating items", [&] {
    return base::LoggerMetadata{{"enumeratedItemID", enumeratedItemIdentifier_.description()},
                                {"page", page.rawValue},
                                {"sortBy", sortByName(page)}};
  });
  EnumerationObserver adapter(observer, converter_);
  auto marker = decodePage(page);
  if (!marker) {
    logger_.error("Page for enumeration is invalid",
                  {{"enumeratedItemID", enumeratedItemIdentifier_.description()}});
    observer->finishEnumeratingWithError(fp::Error(fp::FileProviderErrorCode::pageExpired));
    return;
  }
  const auto* folder = enumeratedItemIdentifier_.folder();
  if (!folder) {
    // A file has no children.
    observer->finishEnumeratingUpToPage(std::nullopt);
    return;
  }
  if (!*marker) {
    // The first page tells a missing container from an empty one.
    auto container = itemStorage_->item(enumeratedItemIdentifier_);
    if (!container) return adapter.didFail(container.error());
  }
  auto result = itemStorage_->enumerateItems(*folder, *marker, adapter.pageSize());
  if (!result) return adapter.didFail(result.error());
  adapter.didEnumerate(*result);
}

void Enumerator::enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) {
  auto decoded = decodeSyncAnchor(anchor);
  if (!decoded) {
    logger_.warning("Sync anchor is invalid",
                    {{"enumeratedItemID", enumeratedItemIdentifier_.description()},
                     {"anchor", anchor.rawValue}});
    observer->finishEnumeratingWithError(fp::Error(fp::FileProviderErrorCode::syncAnchorExpired));
    return;
  }
  logger_.info(
      "Enumerating changes",
      {{"enumeratedItemID", enumeratedItemIdentifier_.description()}, {"anchor", anchor.rawValue}});
  EnumerationChangeObserver adapter(observer, nullptr, converter_, *decoded);
  const auto* folder = enumeratedItemIdentifier_.folder();
  if (!folder) {
    // A file has no changes below it: the answer is the present anchor.
    auto current = itemStorage_->currentSyncAnchor();
    if (!current) return adapter.didFail(current.error());
    observer->finishEnumeratingChangesUpToSyncAnchor(encodeSyncAnchor(std::max(*current, *decoded)),
                                                     false);
    return;
  }
  auto batch = itemStorage_->enumerateChanges(*folder, *decoded, adapter.batchSize());
  if (!batch) {
    logger_.error("Enumerating changes for items from storage failed.",
                  {{"enumeratedItemID", enumeratedItemIdentifier_.description()},
                   {"error", batch.error().description()}});
    return adapter.didFail(batch.error());
  }
  TLOG_DEBUG(logger_, "Enumerating changes has been completed.",
             {{"enumeratedItemID", enumeratedItemIdentifier_.description()},
              {"changeCount", batch->changeCount},
              {"moreComing", batch->moreComing}});
  adapter.didEnumerate(*batch);
}

void Enumerator::currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) {
  answerCurrentSyncAnchor(*itemStorage_, logger_, completion);
}

}  // namespace tarnix::fileprovider
