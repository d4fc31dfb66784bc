#include "host/ExtensionCalls.hpp"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace tarnix::host {
namespace {

// One answer, set once from any thread and awaited with a timeout.
template <class T>
class Awaited {
 public:
  void set(T value) {
    {
      std::lock_guard lock(mutex_);
      if (value_) return;
      value_ = std::move(value);
    }
    cv_.notify_all();
  }
  std::optional<T> wait(ExtensionCalls::Duration timeout) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, timeout, [&] { return value_.has_value(); });
    return std::move(value_);
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<T> value_;
};

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

class PageObserver final : public fp::EnumerationObserver {
 public:
  PageObserver(std::shared_ptr<Awaited<CallResult<ItemPage>>> awaited, std::int64_t pageSize)
      : awaited_(std::move(awaited)), pageSize_(pageSize) {}
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) page_.items.push_back(std::move(item));
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    ItemPage page;
    {
      std::lock_guard lock(mutex_);
      page_.nextPage = std::move(nextPage);
      page = std::move(page_);
    }
    awaited_->set(std::move(page));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    awaited_->set(std::unexpected(failed(std::move(error))));
  }
  std::optional<std::int64_t> suggestedPageSize() const override { return pageSize_; }

 private:
  std::shared_ptr<Awaited<CallResult<ItemPage>>> awaited_;
  std::int64_t pageSize_;
  std::mutex mutex_;
  ItemPage page_;
};

class BatchObserver final : public fp::ChangeObserver {
 public:
  explicit BatchObserver(std::shared_ptr<Awaited<CallResult<ChangeBatch>>> awaited)
      : awaited_(std::move(awaited)) {}
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    for (auto& item : items) batch_.updated.push_back(std::move(item));
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    std::lock_guard lock(mutex_);
    for (auto& id : identifiers) batch_.deleted.push_back(std::move(id));
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool moreComing) override {
    ChangeBatch batch;
    {
      std::lock_guard lock(mutex_);
      batch_.anchor = std::move(anchor);
      batch_.moreComing = moreComing;
      batch = std::move(batch_);
    }
    awaited_->set(std::move(batch));
  }
  void finishEnumeratingWithError(fp::Error error) override {
    awaited_->set(std::unexpected(failed(std::move(error))));
  }

 private:
  std::shared_ptr<Awaited<CallResult<ChangeBatch>>> awaited_;
  std::mutex mutex_;
  ChangeBatch batch_;
};

}  // namespace

int errnoForError(const fp::Error& error) {
  using C = fp::FileProviderErrorCode;
  struct Row {
    C code;
    int value;
  };
  static constexpr Row kFileProvider[] = {
      {C::noSuchItem, ENOENT},
      {C::notAuthenticated, EACCES},
      {C::serverUnreachable, EHOSTUNREACH},
      {C::insufficientQuota, ENOSPC},
      {C::cannotSynchronize, EIO},
      {C::versionNoLongerAvailable, ESTALE},
      {C::excludedFromSync, EIO},
      {C::domainDisabled, ENODEV},
      {C::syncAnchorExpired, ESTALE},
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
  if (auto underlying = error.underlyingError()) return errnoForError(*underlying);
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
          awaited->set(std::unexpected(failed(error.value_or(fp::Error::forNonExistentItem({})))));
        else
          awaited->set(std::move(item));
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
          awaited->set(std::unexpected(
              failed(error.value_or(fp::Error(fp::FileProviderErrorCode::cannotSynchronize)))));
        else
          awaited->set(FetchedContents{std::move(*file), std::move(item)});
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
      [awaited](std::optional<std::filesystem::path> file, fp::ItemPtr item, fp::ByteRange range,
                fp::MaterializationFlags, std::optional<fp::Error> error) {
        if (error || !file || !item)
          awaited->set(std::unexpected(
              failed(error.value_or(fp::Error(fp::FileProviderErrorCode::cannotSynchronize)))));
        else
          awaited->set(FetchedRange{std::move(*file), std::move(item), range});
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
      [awaited](std::optional<fp::SyncAnchor> anchor) { awaited->set(std::move(anchor)); });
  return await(awaited, timeout_, nullptr);
}

CallResult<void> ExtensionCalls::waitForPresentationListing(fp::Enumerator& enumerator,
                                                            Duration timeout) const {
  auto awaited = std::make_shared<Awaited<CallResult<void>>>();
  enumerator.waitForPresentationListing([awaited](std::optional<fp::Error> error) {
    if (error)
      awaited->set(std::unexpected(failed(std::move(*error))));
    else
      awaited->set({});
  });
  return await(awaited, timeout, nullptr);
}

}  // namespace tarnix::host
