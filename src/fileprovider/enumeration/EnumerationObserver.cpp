#include "fileprovider/enumeration/EnumerationObserver.hpp"

#include <algorithm>
#include <charconv>
#include <string_view>

namespace tarnix::fileprovider {

namespace {
constexpr std::string_view kAnchorPrefix = "tx";
}

fp::SyncAnchor encodeSyncAnchor(common::SyncAnchor anchor) {
  return fp::SyncAnchor{std::string(kAnchorPrefix) + std::to_string(anchor.rank)};
}

std::optional<common::SyncAnchor> decodeSyncAnchor(const fp::SyncAnchor& anchor) {
  std::string_view text = anchor.rawValue;
  if (!text.starts_with(kAnchorPrefix)) return std::nullopt;
  text.remove_prefix(kAnchorPrefix.size());
  if (text.empty()) return std::nullopt;
  std::int64_t rank = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), rank);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return common::SyncAnchor{rank};
}

fp::Page encodePage(const common::SyncItemIdentifier& lastItemIdentifier) {
  return fp::Page{lastItemIdentifier.description()};
}

std::expected<std::optional<common::SyncListingPageMarker>, std::monostate> decodePage(
    const fp::Page& page) {
  if (page.isInitial()) return std::optional<common::SyncListingPageMarker>{};
  auto identifier = common::SyncItemIdentifier::fromPrefixed(page.rawValue);
  if (!identifier) return std::unexpected(std::monostate{});
  return common::SyncListingPageMarker{*identifier};
}

void answerCurrentSyncAnchor(common::SyncItemStorage& storage, const base::Logger& logger,
                             const std::function<void(std::optional<fp::SyncAnchor>)>& completion) {
  auto anchor = storage.currentSyncAnchor();
  if (!anchor) {
    logger.error("Reading the current sync anchor failed",
                 {{"error", anchor.error().description()}});
    return completion(std::nullopt);
  }
  completion(encodeSyncAnchor(*anchor));
}

std::size_t effectiveSize(std::optional<std::int64_t> suggested) {
  if (!suggested || *suggested < static_cast<std::int64_t>(kMinimumEnumerationSize)) {
    return kMinimumEnumerationSize;
  }
  return static_cast<std::size_t>(*suggested);
}

EnumerationObserver::EnumerationObserver(fp::EnumerationObserverPtr fileProviderObserver,
                                         std::shared_ptr<const FileProviderConverter> converter)
    : fileProviderObserver_(std::move(fileProviderObserver)), converter_(std::move(converter)) {}

std::size_t EnumerationObserver::pageSize() const {
  return effectiveSize(fileProviderObserver_->suggestedPageSize());
}

void EnumerationObserver::didEnumerate(const common::SyncItemPage& page) {
  std::vector<fp::ItemPtr> items;
  items.reserve(page.items.size());
  for (const auto& item : page.items) items.push_back(converter_->item(item));
  if (!items.empty()) fileProviderObserver_->didEnumerateItems(std::move(items));
  if (page.output.nextPage) {
    fileProviderObserver_->finishEnumeratingUpToPage(
        encodePage(page.output.nextPage->lastItemIdentifier));
  } else {
    fileProviderObserver_->finishEnumeratingUpToPage(std::nullopt);
  }
}

void EnumerationObserver::didFail(const common::ItemStoreError& error) {
  fileProviderObserver_->finishEnumeratingWithError(converter_->convert(error));
}

EnumerationChangeObserver::EnumerationChangeObserver(
    fp::ChangeObserverPtr fileProviderObserver,
    std::shared_ptr<FileProviderStatusProvider> statusProvider,
    std::shared_ptr<const FileProviderConverter> converter, common::SyncAnchor startAnchor)
    : fileProviderObserver_(std::move(fileProviderObserver)),
      statusProvider_(std::move(statusProvider)),
      converter_(std::move(converter)),
      startAnchor_(startAnchor) {}

std::size_t EnumerationChangeObserver::batchSize() const {
  return effectiveSize(fileProviderObserver_->suggestedBatchSize());
}

void EnumerationChangeObserver::didEnumerate(const common::SyncChangeBatch& batch) {
  if (!batch.updatedItems.empty()) {
    std::vector<fp::ItemPtr> items;
    items.reserve(batch.updatedItems.size());
    for (const auto& item : batch.updatedItems) items.push_back(converter_->item(item));
    fileProviderObserver_->didUpdateItems(std::move(items));
  }
  if (!batch.deletedItemIdentifiers.empty()) {
    std::vector<fp::ItemIdentifier> identifiers;
    identifiers.reserve(batch.deletedItemIdentifiers.size());
    for (const auto& identifier : batch.deletedItemIdentifiers) {
      identifiers.push_back(converter_->itemIdentifier(identifier));
    }
    fileProviderObserver_->didDeleteItemsWithIdentifiers(std::move(identifiers));
  }
  if (statusProvider_) {
    if (auto error = statusProvider_->currentError()) {
      fileProviderObserver_->finishEnumeratingWithError(std::move(*error));
      return;
    }
  }
  // Never hand back an anchor older than the one the framework started from.
  const auto anchor = std::max(batch.lastRank, startAnchor_);
  fileProviderObserver_->finishEnumeratingChangesUpToSyncAnchor(encodeSyncAnchor(anchor),
                                                                batch.moreComing);
}

void EnumerationChangeObserver::didFail(const common::ItemStoreError& error) {
  fileProviderObserver_->finishEnumeratingWithError(converter_->convert(error));
}

}  // namespace tarnix::fileprovider
