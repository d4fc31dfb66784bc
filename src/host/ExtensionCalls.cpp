#include "host/ExtensionCalls.hpp"

#include <cerrno>
#include <memory>
#include <system_error>

#include "base/Mutex.hpp"
#include "host/Awaited.hpp"
#include "host/ReplicaError.hpp"

#include "cloudfs/URLError.hpp"
#include "common/SyncError.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"

namespace tarnix::host {
namespace {

template <class T>
CallResult<T> await(const std::shared_ptr<Awaited<CallResult<T>>>& awaited,
                    ExtensionCalls::Duration timeout, const fp::ProgressPtr& progress) {
  auto value = awaited->wait(timeout);
  if (!value) {
    if (progress) progress->cancel();
    return std::unexpected(CallError{});
  }
  return std::move(*value);
}

CallError failed(fp::Error error) {
  return CallError{std::move(error)};
}

// Hands over `value`, which holds the downloaded `file`; the file goes when the caller stopped
// waiting (nobody else would ever remove it).
template <class T>
void giveFile(Awaited<CallResult<T>>& awaited, T value, const std::filesystem::path& file) {
  if (awaited.give(std::move(value)) || !awaited.abandoned()) return;
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

class PageObserver final : public fp::EnumerationObserver {
 public:
  PageObserver(std::shared_ptr<Awaited<CallResult<ItemPage>>> awaited, std::int64_t pageSize)
      : awaited_(std::move(awaited)), pageSize_(pageSize) {}
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    base::MutexLock lock(mutex_);
    for (auto& item : items) page_.items.push_back(std::move(item));
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    ItemPage page;
    {
      base::MutexLock lock(mutex_);
      page_.nextPage = std::move(nextPage);
      page = std::move(page_);
    }
    awaited_->give(std::move(page));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    awaited_->give(std::unexpected(failed(std::move(error))));
  }
  std::optional<std::int64_t> suggestedPageSize() const override { return pageSize_; }

 private:
  std::shared_ptr<Awaited<CallResult<ItemPage>>> awaited_;
  std::int64_t pageSize_;
  base::Mutex mutex_;
  ItemPage page_ TARNIX_GUARDED_BY(mutex_);
};

class BatchObserver final : public fp::ChangeObserver {
 public:
  explicit BatchObserver(std::shared_ptr<Awaited<CallResult<ChangeBatch>>> awaited)
      : awaited_(std::move(awaited)) {}
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    base::MutexLock lock(mutex_);
    for (auto& item : items) batch_.updated.push_back(std::move(item));
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    base::MutexLock lock(mutex_);
    for (auto& id : identifiers) batch_.deleted.push_back(std::move(id));
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool moreComing) override {
    ChangeBatch batch;
    {
      base::MutexLock lock(mutex_);
      batch_.anchor = std::move(anchor);
      batch_.moreComing = moreComing;
      batch = std::move(batch_);
    }
    awaited_->give(std::move(batch));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    awaited_->give(std::unexpected(failed(std::move(error))));
  }

 private:
  std::shared_ptr<Awaited<CallResult<ChangeBatch>>> awaited_;
  base::Mutex mutex_;
  ChangeBatch batch_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace

// The one table from the provider's errors to errno. A server fault (an answer the provider
// could not use, a transfer the server broke off, after the provider's retries) is EIO; an
// errno of the network (EHOSTUNREACH, ENETDOWN) means the network is down or the host cannot be
// reached at all.
bool isNoSuchItem(const CallError& error) {
  return error.error && error.error->is(fp::FileProviderErrorCode::noSuchItem);
}

bool isTransientFailure(const CallError& error) {
  switch (error.errnoValue()) {
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EIO:
    case EBUSY:
      return true;
    default:
      return false;
  }
}

int errnoForError(const fp::Error& error) {
  using C = fp::FileProviderErrorCode;
  struct Row {
    C code;
    int value;
  };
  static constexpr Row kFileProvider[] = {
      {C::noSuchItem, ENOENT},
      {C::filenameCollision, EEXIST},
      {C::directoryNotEmpty, ENOTEMPTY},
      // The item may not go (the capability check's answer, too).
      {C::deletionRejected, EPERM},
      {C::notAuthenticated, EACCES},
      {C::serverUnreachable, EHOSTUNREACH},
      {C::insufficientQuota, ENOSPC},
      {C::cannotSynchronize, EIO},
      {C::versionNoLongerAvailable, ESTALE},
      {C::excludedFromSync, EIO},
      {C::domainDisabled, ENODEV},
      {C::syncAnchorExpired, ESTALE},
  };
  // Sync errors, which reach the host inside a framework error.
  using S = common::SyncError::Code;
  struct SyncRow {
    S code;
    int value;
  };
  static constexpr SyncRow kSync[] = {
      {S::permissionDenied, EACCES},
      {S::authenticationRequired, EACCES},
      {S::serverUnreachable, EHOSTUNREACH},
      {S::badServerResponse, EIO},
      {S::throttledByServer, EIO},
      {S::noSuchItem, ENOENT},
      {S::pathNotFound, ENOENT},
      {S::filenameCollision, EEXIST},
      {S::directoryNotEmpty, ENOTEMPTY},
      {S::deletionRejected, EPERM},
      // Locked by somebody else: it may pass.
      {S::fileLocked, EBUSY},
      {S::uploadRejected, EINVAL},
      {S::invalidFilePath, EINVAL},
      {S::chunkUploadInProgress, EBUSY},
  };
  // Transport errors handed on as they are.
  using U = cloudfs::URLError::Code;
  struct TransportRow {
    U code;
    int value;
  };
  static constexpr TransportRow kTransport[] = {
      {U::notConnectedToInternet, ENETDOWN},
      {U::cannotFindHost, EHOSTUNREACH},
      {U::cannotConnectToHost, EHOSTUNREACH},
      {U::networkConnectionLost, EIO},
      {U::timedOut, EIO},
  };
  if (error.isFileProviderError()) {
    for (const auto& row : kFileProvider)
      if (error.is(row.code)) return row.value;
    return EIO;
  }
  if (error.is(fp::CocoaErrorCode::fileReadNoPermission)) return EACCES;
  if (error.is(fp::CocoaErrorCode::userCancelled)) return ECANCELED;
  if (error.is(fp::CocoaErrorCode::featureUnsupported)) return ENOTSUP;
  if (error.domain() == "NSPOSIXErrorDomain" && error.code() > 0 && error.code() < 4096)
    return static_cast<int>(error.code());
  if (error.domain() == fileprovider::kSyncErrorDomain) {
    for (const auto& row : kSync)
      if (error.code() == static_cast<std::int64_t>(row.code)) return row.value;
  }
  if (error.domain() == cloudfs::URLError::domain) {
    for (const auto& row : kTransport)
      if (error.code() == static_cast<std::int64_t>(row.code)) return row.value;
  }
  if (auto underlying = error.underlyingError()) return errnoForError(*underlying);
  return EIO;
}

int errnoForReplicaError(const ReplicaError& error, const base::Logger& logger) {
  using K = ReplicaError::Kind;
  if (error.kind == K::extension && error.call) return error.call->errnoValue();
  // A replica file that could not be made says why: no space, too many open files, ...
  if (error.kind == K::fileSystem && error.code.value() > 0 &&
      (error.code.category() == std::generic_category() ||
       error.code.category() == std::system_category()))
    return error.code.value();
  struct Row {
    K kind;
    int value;
  };
  static constexpr Row kReplica[] = {
      {K::noSuchItem, ENOENT},  {K::isFolder, EISDIR},  {K::notReadable, EACCES},
      {K::notWritable, EACCES}, {K::extension, EIO},    {K::store, EIO},
      {K::fileSystem, EIO},     {K::sizeMismatch, EIO}, {K::rangeNotDelivered, EIO},
  };
  for (const auto& row : kReplica)
    if (row.kind == error.kind) return row.value;
  logger.error("Unknown replica error answered with EIO", {{"error", error.description()}});
  return EIO;
}

int CallError::errnoValue() const {
  return error ? errnoForError(*error) : ETIMEDOUT;
}

std::string CallError::description() const {
  return error ? error->description() : std::string("the extension did not answer in time");
}

CallResult<fp::ItemPtr> ExtensionCalls::item(const fp::ItemIdentifier& identifier) const {
  auto awaited = std::make_shared<Awaited<CallResult<fp::ItemPtr>>>();
  auto progress = extension_->item(
      identifier, request_, [awaited](fp::ItemPtr item, std::optional<fp::Error> error) {
        if (error || !item)
          awaited->give(std::unexpected(failed(error.value_or(fp::Error::forNonExistentItem({})))));
        else
          awaited->give(std::move(item));
      });
  return await(awaited, timeout_, progress);
}

CallResult<FetchedContents> ExtensionCalls::fetchContents(
    const fp::ItemIdentifier& identifier) const {
  auto awaited = std::make_shared<Awaited<CallResult<FetchedContents>>>();
  auto progress = extension_->fetchContents(
      identifier, std::nullopt, request_,
      [awaited](std::optional<std::filesystem::path> file, fp::ItemPtr item,
                std::optional<fp::Error> error) {
        if (error || !file || !item)
          awaited->give(std::unexpected(
              failed(error.value_or(fp::Error(fp::FileProviderErrorCode::cannotSynchronize)))));
        else
          giveFile(*awaited, FetchedContents{*file, std::move(item)}, *file);
      });
  return await(awaited, timeout_, progress);
}

CallResult<FetchedRange> ExtensionCalls::fetchPartialContents(const fp::ItemIdentifier& identifier,
                                                              const fp::ItemVersion& version,
                                                              fp::ByteRange minimalRange,
                                                              std::int64_t alignment) const {
  auto awaited = std::make_shared<Awaited<CallResult<FetchedRange>>>();
  auto progress = extension_->fetchPartialContents(
      identifier, version, request_, minimalRange, alignment, fp::FetchContentsOptions::none,
      [awaited](std::optional<std::filesystem::path> file, fp::ItemPtr item,
                fp::DeliveredRange delivered, fp::MaterializationFlags,
                std::optional<fp::Error> error) {
        if (error || !file || !item)
          awaited->give(std::unexpected(
              failed(error.value_or(fp::Error(fp::FileProviderErrorCode::cannotSynchronize)))));
        else
          giveFile(*awaited, FetchedRange{*file, std::move(item), delivered}, *file);
      });
  return await(awaited, timeout_, progress);
}

namespace {

fp::ReplicatedExtension::ChangeItemCompletion changeCompletion(
    std::shared_ptr<Awaited<CallResult<ChangedItem>>> awaited) {
  return [awaited = std::move(awaited)](fp::ItemPtr item, fp::ItemFields pending, bool refetch,
                                        std::optional<fp::Error> error) {
    if (error || !item)
      awaited->give(std::unexpected(
          failed(error.value_or(fp::Error(fp::FileProviderErrorCode::cannotSynchronize)))));
    else
      awaited->give(ChangedItem{std::move(item), pending, refetch});
  };
}

}  // namespace

CallResult<ChangedItem> ExtensionCalls::createItem(
    fp::ItemPtr itemTemplate, fp::ItemFields fields,
    const std::optional<std::filesystem::path>& contents, fp::CreateItemOptions options,
    const ProgressObserver& started) const {
  auto awaited = std::make_shared<Awaited<CallResult<ChangedItem>>>();
  auto progress = extension_->createItem(std::move(itemTemplate), fields, contents, options,
                                         request_, changeCompletion(awaited));
  if (started) started(progress);
  return await(awaited, timeout_, progress);
}

CallResult<ChangedItem> ExtensionCalls::modifyItem(
    fp::ItemPtr item, const fp::ItemVersion& baseVersion, fp::ItemFields changedFields,
    const std::optional<std::filesystem::path>& contents, fp::ModifyItemOptions options,
    const ProgressObserver& started) const {
  auto awaited = std::make_shared<Awaited<CallResult<ChangedItem>>>();
  auto progress = extension_->modifyItem(std::move(item), baseVersion, changedFields, contents,
                                         options, request_, changeCompletion(awaited));
  if (started) started(progress);
  return await(awaited, timeout_, progress);
}

CallResult<void> ExtensionCalls::deleteItem(const fp::ItemIdentifier& identifier,
                                            const fp::ItemVersion& baseVersion,
                                            fp::DeleteItemOptions options) const {
  auto awaited = std::make_shared<Awaited<CallResult<void>>>();
  auto progress = extension_->deleteItem(identifier, baseVersion, options, request_,
                                         [awaited](std::optional<fp::Error> error) {
                                           if (error)
                                             awaited->give(std::unexpected(failed(*error)));
                                           else
                                             awaited->give({});
                                         });
  return await(awaited, timeout_, progress);
}

CallResult<fp::EnumeratorPtr> ExtensionCalls::enumerator(
    const fp::ItemIdentifier& container) const {
  auto made = extension_->enumerator(container, request_);
  if (!made) return std::unexpected(failed(made.error()));
  if (!*made) return std::unexpected(failed(fp::Error::forNonExistentItem(container)));
  return *made;
}

CallResult<ItemPage> ExtensionCalls::enumerateItems(fp::Enumerator& enumerator,
                                                    const fp::Page& page,
                                                    std::int64_t pageSize) const {
  auto awaited = std::make_shared<Awaited<CallResult<ItemPage>>>();
  enumerator.enumerateItems(std::make_shared<PageObserver>(awaited, pageSize), page);
  return await(awaited, timeout_, nullptr);
}

CallResult<ChangeBatch> ExtensionCalls::enumerateChanges(fp::Enumerator& enumerator,
                                                         const fp::SyncAnchor& anchor) const {
  auto awaited = std::make_shared<Awaited<CallResult<ChangeBatch>>>();
  enumerator.enumerateChanges(std::make_shared<BatchObserver>(awaited), anchor);
  return await(awaited, timeout_, nullptr);
}

CallResult<std::optional<fp::SyncAnchor>> ExtensionCalls::currentSyncAnchor(
    fp::Enumerator& enumerator) const {
  auto awaited = std::make_shared<Awaited<CallResult<std::optional<fp::SyncAnchor>>>>();
  enumerator.currentSyncAnchor(
      [awaited](std::optional<fp::SyncAnchor> anchor) { awaited->give(std::move(anchor)); });
  return await(awaited, timeout_, nullptr);
}

CallResult<void> ExtensionCalls::waitForPresentationListing(fp::Enumerator& enumerator,
                                                            Duration timeout) const {
  auto awaited = std::make_shared<Awaited<CallResult<void>>>();
  enumerator.waitForPresentationListing([awaited](std::optional<fp::Error> error) {
    if (error)
      awaited->give(std::unexpected(failed(std::move(*error))));
    else
      awaited->give({});
  });
  return await(awaited, timeout, nullptr);
}

}  // namespace tarnix::host
