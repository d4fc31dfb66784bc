#pragma once
// Enumeration: the system asks an enumerator for a container's items page by page, and for the
// changes since a sync anchor batch by batch. Answers go to observers the system passes in.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/Item.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::platform::fileprovider {

/// Where an enumeration of items resumes. The system starts with one of the two initial pages
/// and then hands back whatever page the enumerator finished with.
struct Page {
  Data rawValue;

  static const Page& initialPageSortedByDate();
  static const Page& initialPageSortedByName();
  bool isInitial() const;

  bool operator==(const Page&) const = default;
};

/// The position in a container's history that change enumeration resumes from.
struct SyncAnchor {
  Data rawValue;
  bool operator==(const SyncAnchor&) const = default;
};

/// Receives one page of items. Exactly one finish call ends each enumerateItems.
class EnumerationObserver {
 public:
  virtual ~EnumerationObserver() = default;
  virtual void didEnumerateItems(std::vector<ItemPtr> items) = 0;
  /// No next page: the enumeration is complete.
  virtual void finishEnumeratingUpToPage(std::optional<Page> nextPage) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
  /// How many items the system would like per page; none when it has no preference.
  virtual std::optional<std::int64_t> suggestedPageSize() const { return std::nullopt; }
};

/// Receives one batch of changes. Exactly one finish call ends each enumerateChanges.
class ChangeObserver {
 public:
  virtual ~ChangeObserver() = default;
  virtual void didUpdateItems(std::vector<ItemPtr> items) = 0;
  virtual void didDeleteItemsWithIdentifiers(std::vector<ItemIdentifier> identifiers) = 0;
  /// `moreComing`: the system should ask again from `anchor` at once.
  virtual void finishEnumeratingChangesUpToSyncAnchor(SyncAnchor anchor, bool moreComing) = 0;
  virtual void finishEnumeratingWithError(Error error) = 0;
  /// How many changes the system would like per batch; none when it has no preference.
  virtual std::optional<std::int64_t> suggestedBatchSize() const { return std::nullopt; }
};

using EnumerationObserverPtr = std::shared_ptr<EnumerationObserver>;
using ChangeObserverPtr = std::shared_ptr<ChangeObserver>;

/// Called from any thread; observers may be answered later from another thread.
class Enumerator {
 public:
  virtual ~Enumerator() = default;
  /// The system no longer uses this enumerator.
  virtual void invalidate() = 0;
  virtual void enumerateItems(EnumerationObserverPtr observer, Page page) = 0;
  virtual void enumerateChanges(ChangeObserverPtr observer, SyncAnchor anchor) = 0;
  /// The anchor of the present state; none when the enumerator has none.
  virtual void currentSyncAnchor(std::function<void(std::optional<SyncAnchor>)> completion) = 0;
  /// For hosts that must show a container's children as they are now rather than as last
  /// known (a first showing, a command): an extension that lists a presented container from
  /// elsewhere calls `completion` once the listing that presenting this enumerator's container
  /// started has ended, with why it failed if it did. Exactly once, on any thread. An extension
  /// that lists nothing has nothing to wait for.
  virtual void waitForPresentationListing(std::function<void(std::optional<Error>)> completion) {
    completion(std::nullopt);
  }
};

using EnumeratorPtr = std::shared_ptr<Enumerator>;

}  // namespace tarnix::platform::fileprovider
