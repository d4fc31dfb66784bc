#pragma once
// The bytes of enumeration pages and sync anchors, and the adapters that hand what the item
// store read to the framework's observers.
//
// Anchor: the UTF-8 text "tx" followed by the decimal rank ("tx1234").
// Page: one of the framework's initial pages, or the prefixed identifier text of the last item
// of the previous page.

#include <cstddef>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <variant>

#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "fileprovider/items/FileProviderStatusProvider.hpp"
#include "platform/fileprovider/Enumerator.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// Page and batch sizes below this are raised to it.
inline constexpr std::size_t kMinimumEnumerationSize = 100;

fp::SyncAnchor encodeSyncAnchor(common::SyncAnchor anchor);
/// None unless the bytes are "tx" followed by a decimal signed integer and nothing else.
std::optional<common::SyncAnchor> decodeSyncAnchor(const fp::SyncAnchor& anchor);

fp::Page encodePage(const common::SyncItemIdentifier& lastItemIdentifier);
/// Initial pages decode to none (start at the beginning); a prefixed identifier to a marker;
/// anything else fails.
std::expected<std::optional<common::SyncListingPageMarker>, std::monostate> decodePage(
    const fp::Page& page);

/// Answers `completion` with the store's current anchor; none (logged) when it cannot be read.
void answerCurrentSyncAnchor(common::SyncItemStorage& storage, const base::Logger& logger,
                             const std::function<void(std::optional<fp::SyncAnchor>)>& completion);

/// The observer's suggestion, never below the minimum; the minimum without one.
std::size_t effectiveSize(std::optional<std::int64_t> suggested);

/// Store page → framework observer.
class EnumerationObserver {
 public:
  EnumerationObserver(fp::EnumerationObserverPtr fileProviderObserver,
                      std::shared_ptr<const FileProviderConverter> converter);
  std::size_t pageSize() const;
  void didEnumerate(const common::SyncItemPage& page);
  void didFail(const common::ItemStoreError& error);

 private:
  fp::EnumerationObserverPtr fileProviderObserver_;
  std::shared_ptr<const FileProviderConverter> converter_;
};

/// Store change batch → framework change observer. With a status provider (the working set),
/// a batch ends with the domain's current error while there is one, so that the framework
/// shows it and asks again later.
class EnumerationChangeObserver {
 public:
  EnumerationChangeObserver(fp::ChangeObserverPtr fileProviderObserver,
                            std::shared_ptr<FileProviderStatusProvider> statusProvider,
                            std::shared_ptr<const FileProviderConverter> converter,
                            common::SyncAnchor startAnchor);
  std::size_t batchSize() const;
  void didEnumerate(const common::SyncChangeBatch& batch);
  void didFail(const common::ItemStoreError& error);

 private:
  fp::ChangeObserverPtr fileProviderObserver_;
  std::shared_ptr<FileProviderStatusProvider> statusProvider_;
  std::shared_ptr<const FileProviderConverter> converter_;
  common::SyncAnchor startAnchor_;
};

}  // namespace tarnix::fileprovider
