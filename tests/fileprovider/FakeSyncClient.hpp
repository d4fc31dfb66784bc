#pragma once
// A sync client that records what it is asked and answers from a script, on a queue of its own
// (never on the calling thread), the way the cloud client answers.

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "fileprovider/cloud/SyncClientProtocol.hpp"

namespace tarnix::testing {

namespace fp = platform::fileprovider;

class FakeSyncClient final : public fileprovider::SyncClientProtocol {
 public:
  struct Call {
    std::string operation;  // "createFolder", "moveItem", "deleteItem", ...
    common::SyncItem item;
    std::optional<common::SyncItem> newParent;
    std::optional<std::string> filename;
    /// The parameters of an upload.
    std::optional<fileprovider::CloudEntryUploadParams> entryParams;
  };

  /// The answer of the next uploads of new versions, in order; once the list is used up, the
  /// item with content version "v-uploaded-<n>".
  void scriptEdits(
      std::vector<fileprovider::SyncCloudResult<fileprovider::UploadNextEntryOutput>> results) {
    std::lock_guard lock(mutex_);
    edits_.assign(results.begin(), results.end());
  }

  /// The answer of the next deletions, in order; success once the list is used up.
  void scriptDeletions(std::vector<fileprovider::SyncCloudResult<void>> results) {
    std::lock_guard lock(mutex_);
    deletions_.assign(results.begin(), results.end());
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::size_t count(const std::string& operation) const {
    std::lock_guard lock(mutex_);
    return count(operation, lock);
  }
  std::size_t count(const std::string& operation, const std::lock_guard<std::mutex>&) const {
    std::size_t n = 0;
    for (const auto& call : calls_) n += call.operation == operation;
    return n;
  }

  fp::ProgressPtr downloadFile(const common::SyncItem& item, std::filesystem::path,
                               std::optional<common::CloudEntryIdentifier>,
                               fp::FetchContentsOptions,
                               ResultHandler<common::SyncItem> done) override {
    record({"downloadFile", item, {}, {}, {}});
    answer([done] {
      done(std::unexpected(common::SyncError(common::SyncError::Code::badServerResponse)));
    });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr downloadFilePartially(
      const common::SyncItem& item, std::filesystem::path, cloudfs::ByteRange, std::int64_t,
      std::optional<common::CloudEntryIdentifier>, fp::FetchContentsOptions,
      ResultHandler<fileprovider::PartialFetchOutputContext> done) override {
    record({"downloadFilePartially", item, {}, {}, {}});
    answer([done] {
      done(std::unexpected(common::SyncError(common::SyncError::Code::badServerResponse)));
    });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr uploadFirstEntry(const common::SyncItem& parent,
                                   fileprovider::CloudEntryUploadParams entryParams,
                                   std::string filename, std::optional<std::string> original,
                                   ResultHandler<common::SyncItem> done) override {
    record({"uploadFirstEntry", parent, {}, filename, entryParams});
    common::SyncItem file;
    file.itemIdentifier = common::SyncFileIdentifier{"new-" + filename};
    file.parentItemIdentifier = *parent.itemIdentifier.folder();
    file.filename = filename;
    file.cloudIdentifier = common::CloudGroupIdentifier{"c-new-" + filename};
    file.permission = parent.permission;
    file.contentVersion = common::CloudEntryIdentifier{"v-new-" + filename};
    file.contentSize = entryParams.contentSize;
    file.contentModificationDate = entryParams.contentModificationDate;
    file.cfsContentModificationDateOverride = entryParams.cfsContentModificationDateOverride;
    file.systemItemIdentifier = std::move(original);
    answer([done, file] { done(file); });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr uploadNextEntry(
      const common::SyncItem& parent, const common::SyncItem& item,
      fileprovider::CloudEntryUploadParams entryParams,
      ResultHandler<fileprovider::UploadNextEntryOutput> done) override {
    record({"uploadNextEntry", item, parent, item.filename, entryParams});
    std::optional<fileprovider::SyncCloudResult<fileprovider::UploadNextEntryOutput>> scripted;
    std::size_t n = 0;
    {
      std::lock_guard lock(mutex_);
      n = count("uploadNextEntry", lock);
      if (!edits_.empty()) {
        scripted = edits_.front();
        edits_.pop_front();
      }
    }
    if (!scripted) {
      common::PatchedSyncItem patched(item);
      patched.setContentVersion(common::CloudEntryIdentifier{"v-uploaded-" + std::to_string(n)});
      patched.setContentSize(entryParams.contentSize);
      scripted = fileprovider::UploadNextEntryOutput{patched, false, std::nullopt};
    }
    answer([done, result = *scripted] { done(result); });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr createFolder(const common::SyncItem& parent, std::string filename,
                               ResultHandler<common::SyncItem> done) override {
    record({"createFolder", parent, {}, filename, {}});
    common::SyncItem folder;
    folder.itemIdentifier = common::SyncFolderIdentifier{"new-" + filename};
    folder.parentItemIdentifier = *parent.itemIdentifier.folder();
    folder.filename = filename;
    folder.cloudIdentifier = common::CloudFolderIdentifier{"c-new-" + filename};
    folder.permission = parent.permission;
    answer([done, folder] { done(folder); });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr moveItem(const common::SyncItem& item, std::optional<common::SyncItem> newParent,
                           std::optional<std::string> filename,
                           ResultHandler<common::SyncItem> done) override {
    record({"moveItem", item, newParent, filename, {}});
    auto moved = item;
    if (newParent) moved.parentItemIdentifier = *newParent->itemIdentifier.folder();
    if (filename) moved.filename = *filename;
    answer([done, moved] { done(moved); });
    return fp::Progress::make(1);
  }
  fp::ProgressPtr deleteItem(const common::SyncItem& item, ResultHandler<void> done) override {
    record({"deleteItem", item, {}, {}, {}});
    fileprovider::SyncCloudResult<void> result;
    {
      std::lock_guard lock(mutex_);
      if (!deletions_.empty()) {
        result = deletions_.front();
        deletions_.pop_front();
      }
    }
    answer([done, result] { done(result); });
    return fp::Progress::make(1);
  }

 private:
  void record(Call call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  void answer(std::function<void()> block) { queue_->async(std::move(block)); }

  mutable std::mutex mutex_;
  std::vector<Call> calls_;
  std::deque<fileprovider::SyncCloudResult<void>> deletions_;
  std::deque<fileprovider::SyncCloudResult<fileprovider::UploadNextEntryOutput>> edits_;
  std::shared_ptr<base::DispatchQueue> queue_ = base::DispatchQueue::make("test.FakeSyncClient");
};

}  // namespace tarnix::testing
