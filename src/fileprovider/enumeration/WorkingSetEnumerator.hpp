#pragma once
// The enumerator of the working set (every item the domain tracks), one per domain and reused
// for every request. After a change enumeration that leaves nothing more to come it emits
// `drainedPublisher`; services that must wait for the framework to have seen every change
// subscribe to it.
//
// Any thread may call it; every call answers its observer before returning.

#include <memory>

#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "fileprovider/items/FileProviderStatusProvider.hpp"
#include "platform/fileprovider/Enumerator.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

/// A signal without value: subscribers run on the thread that emits.
using DrainedPublisher = common::SyncItemStoragePublisher;

class WorkingSetEnumerator final : public fp::Enumerator {
 public:
  WorkingSetEnumerator(base::Logger logger, std::shared_ptr<common::SyncItemStorage> itemStorage,
                       std::shared_ptr<const FileProviderConverter> converter,
                       std::shared_ptr<FileProviderStatusProvider> statusProvider);

  DrainedPublisher& drainedPublisher() { return drainedPublisher_; }

  /// The working set lives as long as the provider: nothing to end.
  void invalidate() override {}
  void enumerateItems(fp::EnumerationObserverPtr observer, fp::Page page) override;
  void enumerateChanges(fp::ChangeObserverPtr observer, fp::SyncAnchor anchor) override;
  void currentSyncAnchor(std::function<void(std::optional<fp::SyncAnchor>)> completion) override;

 private:
  base::Logger logger_;
  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::shared_ptr<const FileProviderConverter> converter_;
  std::shared_ptr<FileProviderStatusProvider> statusProvider_;
  DrainedPublisher drainedPublisher_;
};

}  // namespace tarnix::fileprovider
