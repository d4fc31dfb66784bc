#pragma once
// Blocking forms of the extension's asynchronous calls, for threads made to wait (FUSE request
// threads, the change synchroniser's thread). Each waits at most `timeout`; a call that does not
// complete in time has its progress cancelled and fails with ETIMEDOUT. A completion arriving
// after that is dropped, and the file it hands over removed.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "platform/fileprovider/ReplicatedExtension.hpp"

namespace tarnix::host {

namespace fp = platform::fileprovider;

/// A failed call: the extension's error, or none when the call timed out.
struct CallError {
  std::optional<fp::Error> error;
  /// The errno the host answers with (one table, in ExtensionCalls.cpp).
  int errnoValue() const;
  std::string description() const;
};

template <class T>
using CallResult = std::expected<T, CallError>;

/// The errno for an extension error.
int errnoForError(const fp::Error& error);
/// The extension does not know the item (any more).
bool isNoSuchItem(const CallError& error);
/// A failure that may pass: no answer in time, no network, a server fault, a locked file.
bool isTransientFailure(const CallError& error);

struct ItemPage {
  std::vector<fp::ItemPtr> items;
  std::optional<fp::Page> nextPage;
};

struct ChangeBatch {
  std::vector<fp::ItemPtr> updated;
  std::vector<fp::ItemIdentifier> deleted;
  fp::SyncAnchor anchor;
  bool moreComing = false;
};

struct FetchedContents {
  std::filesystem::path file;
  fp::ItemPtr item;
};

/// What a creation or modification left: the item as the extension stored it, the fields not
/// yet carried to the cloud, and whether the contents must be fetched again.
struct ChangedItem {
  fp::ItemPtr item;
  fp::ItemFields pendingFields = fp::ItemFields::none;
  bool shouldFetchContent = false;
};

struct FetchedRange {
  std::filesystem::path file;
  fp::ItemPtr item;
  /// Which bytes of the contents `file` holds, and where in it.
  fp::DeliveredRange delivered;
};

/// Hears the progress of a call that has started.
using ProgressObserver = std::function<void(const fp::ProgressPtr&)>;

class ExtensionCalls {
 public:
  using Duration = std::chrono::steady_clock::duration;
  ExtensionCalls(fp::ReplicatedExtensionPtr extension, Duration timeout, fp::Request request = {})
      : extension_(std::move(extension)), timeout_(timeout), request_(std::move(request)) {}

  const fp::ReplicatedExtensionPtr& extension() const { return extension_; }
  /// The same calls, waiting at most `timeout` (uploads of large files take long).
  std::shared_ptr<ExtensionCalls> withTimeout(Duration timeout) const {
    return std::make_shared<ExtensionCalls>(extension_, timeout, request_);
  }

  CallResult<fp::ItemPtr> item(const fp::ItemIdentifier& identifier) const;
  CallResult<FetchedContents> fetchContents(const fp::ItemIdentifier& identifier) const;
  CallResult<FetchedRange> fetchPartialContents(const fp::ItemIdentifier& identifier,
                                                const fp::ItemVersion& version,
                                                fp::ByteRange minimalRange,
                                                std::int64_t alignment) const;
  /// Creates the item `itemTemplate` describes (its identifier is the host's own, its parent
  /// and name say where); `contents` for files.
  /// `started` hears the call's progress once it is under way (for contents: bytes sent).
  CallResult<ChangedItem> createItem(fp::ItemPtr itemTemplate, fp::ItemFields fields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::CreateItemOptions options = {},
                                     const ProgressObserver& started = {}) const;
  /// Changes `changedFields` of the item (the template carries their new values), based on
  /// `baseVersion`.
  CallResult<ChangedItem> modifyItem(fp::ItemPtr item, const fp::ItemVersion& baseVersion,
                                     fp::ItemFields changedFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     fp::ModifyItemOptions options = {},
                                     const ProgressObserver& started = {}) const;
  CallResult<void> deleteItem(const fp::ItemIdentifier& identifier,
                              const fp::ItemVersion& baseVersion,
                              fp::DeleteItemOptions options = {}) const;
  CallResult<fp::EnumeratorPtr> enumerator(const fp::ItemIdentifier& container) const;
  /// One page; `pageSize` is what the host suggests.
  CallResult<ItemPage> enumerateItems(fp::Enumerator& enumerator, const fp::Page& page,
                                      std::int64_t pageSize) const;
  CallResult<ChangeBatch> enumerateChanges(fp::Enumerator& enumerator,
                                           const fp::SyncAnchor& anchor) const;
  CallResult<std::optional<fp::SyncAnchor>> currentSyncAnchor(fp::Enumerator& enumerator) const;
  /// Waits, at most `timeout` (not the calls' own), for the listing that presenting the
  /// enumerator's container started; fails with the listing's error or, when it did not end
  /// in time, with no error.
  CallResult<void> waitForPresentationListing(fp::Enumerator& enumerator, Duration timeout) const;

 private:
  fp::ReplicatedExtensionPtr extension_;
  Duration timeout_;
  fp::Request request_;
};

}  // namespace tarnix::host
