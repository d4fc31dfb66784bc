#include "host/ContentChanges.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "base/Date.hpp"
#include "common/UnwantedItemRules.hpp"

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;
using Kind = JournalEntry::Kind;

// Besides the shared rules: the swap files of vi editors, Emacs's auto-save files and the files
// GLib's atomic saves write before they rename them over the target.
bool isTemporary(const std::string& name) {
  static const std::regex kEditorFiles(R"(^\..*\.sw[a-p]$|^#.*#$|^\.goutputstream-)");
  return common::UnwantedItemRules::defaultRules().matches(name, common::ItemType::file) ||
         std::regex_search(name, kEditorFiles);
}

base::Date dateOf(std::int64_t milliseconds) {
  return base::Date(std::chrono::milliseconds(milliseconds));
}

void removeFile(const std::optional<fs::path>& file) {
  std::error_code ignored;
  if (file) fs::remove(*file, ignored);
}

}  // namespace

ContentChanges::ContentChanges(std::shared_ptr<ReplicaStore> store,
                               std::shared_ptr<ExtensionCalls> calls,
                               std::shared_ptr<ContentReplica> contents, KernelCache& kernel,
                               ContentChangesOptions options, base::Logger logger)
    : store_(std::move(store)),
      calls_(std::move(calls)),
      contents_(std::move(contents)),
      kernel_(kernel),
      options_(options),
      logger_(std::move(logger)) {}

ContentChanges::~ContentChanges() {
  stop();
  join();
}

void ContentChanges::start() {
  base::MutexLock lock(mutex_);
  if (started_ || stopping_) return;
  started_ = true;
  wake_ = true;
  worker_ = std::thread([this] { run(); });
}

void ContentChanges::stop() {
  {
    base::MutexLock lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    changed_.signalAll();
  }
}

void ContentChanges::join() {
  if (worker_.joinable()) worker_.join();
}

std::expected<std::pair<ReplicaEntry, std::shared_ptr<OpenContent>>, int> ContentChanges::create(
    Inode parent, const std::string& name) {
  auto folder = store_->entry(parent);
  if (!folder) return std::unexpected(EIO);
  if (!*folder) return std::unexpected(ENOENT);
  if (!(*folder)->isFolder) return std::unexpected(ENOTDIR);
  auto existing = store_->child(parent, name);
  if (!existing) return std::unexpected(EIO);
  if (*existing) return std::unexpected(EEXIST);
  if (!fp::contains((*folder)->capabilities, fp::ItemCapabilities::allowsWriting))
    return std::unexpected(EACCES);
  auto made = contents_->createFile(parent, name);
  if (!made) return std::unexpected(errnoForReplicaError(made.error(), logger_));
  return std::move(*made);
}

std::optional<std::expected<void, int>> ContentChanges::rename(Inode parent,
                                                               const std::string& name,
                                                               Inode newParent,
                                                               const std::string& newName,
                                                               unsigned flags) {
  auto item = store_->child(parent, name);
  auto to = store_->entry(newParent);
  auto target = store_->child(newParent, newName);
  if (!item || !*item || (*item)->isFolder || !to || !*to || !(*to)->isFolder || !target)
    return std::nullopt;
  const bool unsent = ReplicaStore::isHostMade((*item)->identifier) && (*item)->hasLocalEdit();
  if (!unsent || flags != 0) return std::nullopt;
  const auto written = [&](Inode inode) -> std::expected<void, int> {
    // Still open for writing: its close hands it on.
    if (contents_->isOpenForWriting(inode)) return {};
    return commit(inode);
  };
  if (!*target) {
    if (!fp::contains((*to)->capabilities, fp::ItemCapabilities::allowsWriting))
      return std::unexpected(EACCES);
    if (!store_->moveLocal((*item)->inode, newParent, newName)) return std::unexpected(EIO);
    kernel_.invalidateEntry(parent, name);
    // A temporary name may have become one that is uploaded.
    return written((*item)->inode);
  }
  if ((*target)->inode == (*item)->inode) return std::expected<void, int>();
  if ((*target)->isFolder) return std::nullopt;
  if (!fp::contains((*target)->capabilities, fp::ItemCapabilities::allowsWriting))
    return std::unexpected(EACCES);
  auto unneeded = store_->replaceWithLocalEdit((*target)->inode, (*item)->inode);
  if (!unneeded) return std::unexpected(EIO);
  for (const auto& file : *unneeded) removeFile(file);
  kernel_.invalidateEntry(parent, name);
  kernel_.invalidateInode((*item)->inode);
  logger_.info("A file was saved over another: new contents of it",
               {{"filename", newName}, {"from", name}});
  return written((*item)->inode);
}

void ContentChanges::writerClosed(Inode inode) {
  // The upload's answer may come before or after the kernel's release of the last writer:
  // whichever comes second ends the edit.
  if (contents_->isOpenForWriting(inode)) return;
  // Temporary files are never sent: what they hold stays a local edit.
  if (auto item = store_->entry(inode); !item || !*item || isTemporary((*item)->filename)) return;
  auto ended = store_->endSentLocalEdit(inode);
  if (!ended) {
    logger_.error("Ending a local edit failed", {{"error", ended.error().description()}});
    return;
  }
  if (ended->staleContentPath) contents_->discard(*ended->staleContentPath);
}

std::optional<std::pair<std::int64_t, std::int64_t>> ContentChanges::uploadProgress(Inode inode) {
  base::MutexLock lock(mutex_);
  if (!sending_ || sending_->inode != inode || !sending_->progress) return std::nullopt;
  const auto size = sending_->size;
  const auto sent = static_cast<std::int64_t>(sending_->progress->fractionCompleted() *
                                              static_cast<double>(size));
  return std::pair{std::clamp<std::int64_t>(sent, 0, size), size};
}

std::expected<void, int> ContentChanges::commit(Inode inode) {
  auto item = store_->entry(inode);
  if (!item) return std::unexpected(EIO);
  if (!*item) return std::unexpected(ENOENT);
  if (!(*item)->hasLocalEdit() || isTemporary((*item)->filename)) return {};
  auto parent = store_->entry((*item)->parentInode);
  if (!parent || !*parent) return std::unexpected(EIO);
  auto snapshot = contents_->snapshot(inode);
  if (!snapshot) return std::unexpected(errnoForReplicaError(snapshot.error(), logger_));
  (void)store_->setLocalAttributes(inode, snapshot->second, std::nullopt);
  (void)store_->setLocalError(inode, std::nullopt);
  JournalEntry entry;
  entry.kind = Kind::writeContents;
  entry.identifier = (*item)->identifier;
  entry.parentIdentifier = (*parent)->identifier;
  entry.filename = (*item)->filename;
  entry.baseVersion = {(*item)->localBaseVersion, (*item)->version.metadataVersion};
  entry.time = base::millisecondsSince1970(std::chrono::system_clock::now());
  entry.contentPath = snapshot->first;
  // Journalled under the identifier the file has now: the answer to an earlier upload of a
  // file made here may have given it the cloud's since it was read above.
  auto added = store_->addJournalEntry(inode, entry);
  if (!added || !*added) {
    removeFile(entry.contentPath);
    return std::unexpected(added ? ENOENT : EIO);
  }
  base::MutexLock lock(mutex_);
  // Written again: sent at once, also after a refusal or failure.
  retries_.erase((*item)->identifier.rawValue());
  wake_ = true;
  changed_.signalAll();
  return {};
}

void ContentChanges::run() {
  journalUnsentEdits();
  while (true) {
    if (sendNext()) continue;
    base::MutexLock lock(mutex_);
    if (stopping_) return;
    if (wake_) {
      wake_ = false;
      continue;
    }
    // Nothing due: wait for a commit, or for the earliest retry.
    auto until = Clock::now() + std::chrono::hours(1);
    for (const auto& [id, retry] : retries_) until = std::min(until, retry.first);
    (void)changed_.waitUntil(until, [&] {
      mutex_.assertHeld();
      return stopping_ || wake_;
    });
  }
}

void ContentChanges::journalUnsentEdits() {
  auto edits = store_->localEdits();
  auto journal = store_->journal();
  if (!edits || !journal) return;
  std::set<std::string> journalled;
  for (const auto& e : *journal)
    if (e.kind == Kind::writeContents) journalled.insert(e.identifier.rawValue());
  for (const auto& e : *edits) {
    if (journalled.contains(e.identifier.rawValue()) || contents_->isOpenForWriting(e.inode))
      continue;
    if (auto committed = commit(e.inode); !committed)
      logger_.error("A local edit could not be journalled",
                    {{"filename", e.filename}, {"errno", std::to_string(committed.error())}});
  }
}

bool ContentChanges::sendNext() {
  auto journal = store_->journal();
  if (!journal) {
    logger_.error("Reading the journal failed", {{"error", journal.error().description()}});
    return false;
  }
  // Only the latest snapshot of an item is sent: older ones go.
  std::map<std::string, const JournalEntry*> latest;
  for (const auto& e : *journal)
    if (e.kind == Kind::writeContents) latest[e.identifier.rawValue()] = &e;
  std::vector<std::int64_t> superseded;
  std::vector<std::optional<fs::path>> snapshots;
  for (const auto& e : *journal) {
    if (e.kind != Kind::writeContents || latest[e.identifier.rawValue()] == &e) continue;
    superseded.push_back(e.id);
    snapshots.push_back(e.contentPath);
  }
  // A snapshot goes only once no entry names it any more.
  if (!superseded.empty() && store_->settleJournal(superseded, nullptr, std::nullopt)) {
    for (const auto& snapshot : snapshots) removeFile(snapshot);
  }

  const JournalEntry* next = nullptr;
  {
    base::MutexLock lock(mutex_);
    if (stopping_) return false;
    const auto now = Clock::now();
    for (const auto& e : *journal) {
      if (e.kind != Kind::writeContents || latest[e.identifier.rawValue()] != &e) continue;
      auto retry = retries_.find(e.identifier.rawValue());
      if (retry != retries_.end() && retry->second.first > now) continue;
      next = &e;
      break;
    }
    if (!next) return false;
  }
  send(*next);
  return true;
}

void ContentChanges::followLocalMove(const ReplicaEntry& wanted, Inode inode) {
  auto now = store_->entry(inode);
  if (!now || !*now) return;
  if ((*now)->parentInode == wanted.parentInode && (*now)->filename == wanted.filename) return;
  auto parent = store_->entry(wanted.parentInode);
  if (!parent || !*parent) return;
  fp::ItemProperties p;
  p.itemIdentifier = (*now)->identifier;
  p.parentItemIdentifier = (*parent)->identifier;
  p.filename = wanted.filename;
  auto moved = calls_->modifyItem(fp::ItemSnapshot::make(std::move(p)), (*now)->version,
                                  fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier,
                                  std::nullopt);
  if (!moved || !moved->item) {
    logger_.error("Moving an uploaded file to where it was moved meanwhile failed",
                  {{"filename", wanted.filename},
                   {"error", moved ? std::string("no item") : moved.error().description()}});
    return;
  }
  kernel_.invalidateEntry((*now)->parentInode, (*now)->filename);
  if (auto upserted = store_->upsert(*moved->item); upserted && *upserted) {
    if ((*upserted)->previousPlacement)
      kernel_.invalidateEntry((*upserted)->previousPlacement->first,
                              (*upserted)->previousPlacement->second);
    kernel_.invalidateInode((*upserted)->inode);
  }
}

void ContentChanges::send(const JournalEntry& entry) {
  const auto drop = [&] {
    if (store_->settleJournal({entry.id}, nullptr, std::nullopt)) removeFile(entry.contentPath);
  };
  auto item = store_->entry(entry.identifier);
  if (!item) return;
  // Removed here, or its edit ended otherwise: nothing to send.
  if (!*item || !(*item)->hasLocalEdit()) return drop();
  auto parent = store_->entry((*item)->parentInode);
  if (!parent || !*parent) return;
  const ReplicaEntry& e = **item;
  std::error_code ec;
  const auto size = entry.contentPath ? fs::file_size(*entry.contentPath, ec) : 0;
  if (!entry.contentPath || ec) {
    logger_.error("The snapshot of a local edit is gone", {{"filename", e.filename}});
    return drop();
  }

  fp::ItemProperties p;
  p.itemIdentifier = e.identifier;
  p.parentItemIdentifier = (*parent)->identifier;
  p.filename = e.filename;
  p.documentSize = static_cast<std::int64_t>(size);
  if (e.creationMilliseconds) p.creationDate = dateOf(*e.creationMilliseconds);
  if (e.modificationMilliseconds) p.contentModificationDate = dateOf(*e.modificationMilliseconds);
  const auto itemTemplate = fp::ItemSnapshot::make(std::move(p));
  // The base is the version the edit started from, or the one an earlier upload of it made.
  const bool isNew = e.localBaseVersion.empty();
  logger_.info(isNew ? "Uploading a new file" : "Uploading new contents",
               {{"filename", e.filename}, {"size", std::to_string(size)}});
  const auto fields = fp::ItemFields::contents | fp::ItemFields::contentModificationDate;
  const ProgressObserver started = [&](const fp::ProgressPtr& progress) {
    base::MutexLock lock(mutex_);
    sending_ = Sending{e.inode, static_cast<std::int64_t>(size), progress};
  };
  auto sent =
      isNew ? calls_->createItem(itemTemplate,
                                 fields | fp::ItemFields::filename |
                                     fp::ItemFields::parentItemIdentifier |
                                     fp::ItemFields::creationDate,
                                 entry.contentPath, fp::CreateItemOptions::mayAlreadyExist, started)
            : calls_->modifyItem(itemTemplate, {e.localBaseVersion, e.version.metadataVersion},
                                 fields, entry.contentPath, {}, started);
  {
    base::MutexLock lock(mutex_);
    sending_.reset();
  }
  if (sent && sent->item) {
    auto journal = store_->journal();
    const bool writtenSince =
        journal && std::any_of(journal->begin(), journal->end(), [&](const JournalEntry& j) {
          return j.kind == Kind::writeContents && j.id > entry.id &&
                 j.identifier == entry.identifier;
        });
    const bool ended = !writtenSince && !contents_->isOpenForWriting(e.inode);
    // Moved in the mount while it was sent (only a file the cloud did not know yet moves
    // locally alone): the move follows once the cloud knows the file.
    auto before = store_->entry(e.inode);
    auto settled = store_->settleContents(entry, *sent->item, ended);
    if (!settled) {
      // The entry stays: sent again, which the cloud answers without a second version.
      logger_.error("Recording an upload failed", {{"error", settled.error().description()}});
      return;
    }
    removeFile(entry.contentPath);
    if (settled->removedHere) {
      // Removed in the mount while its first upload was under way: the removal was recorded
      // under the host's identifier, which the cloud never knew, so it goes to this item.
      logger_.info("A file removed while it was sent is removed from the cloud too",
                   {{"filename", e.filename}});
      auto removed = calls_->deleteItem(sent->item->itemIdentifier(), sent->item->itemVersion());
      if (!removed && !isNoSuchItem(removed.error()))
        logger_.error("Removing the sent file failed",
                      {{"filename", e.filename}, {"error", removed.error().description()}});
      base::MutexLock lock(mutex_);
      retries_.erase(entry.identifier.rawValue());
      return;
    }
    for (const auto& r : settled->removed) kernel_.invalidateEntry(r.parentInode, r.filename);
    if (settled->upserted) {
      if (settled->upserted->staleContentPath)
        contents_->discard(*settled->upserted->staleContentPath);
      kernel_.invalidateInode(settled->upserted->inode);
      // The cloud's contents differ from what was sent (it merged them): read them afresh.
      if (ended && sent->shouldFetchContent) {
        if (auto cleared = store_->clearContent(settled->upserted->inode); cleared && *cleared)
          contents_->discard(**cleared);
      }
    }
    if (before && *before && settled->upserted) followLocalMove(**before, settled->upserted->inode);
    if (!ended && settled->upserted) writerClosed(settled->upserted->inode);
    logger_.info("Upload done", {{"filename", e.filename}});
    base::MutexLock lock(mutex_);
    retries_.erase(entry.identifier.rawValue());
    return;
  }
  const CallError error = sent ? CallError{} : sent.error();
  if (!isNew && isNoSuchItem(error)) {
    // The cloud no longer has the file: what was written here becomes a new file.
    logger_.warning("The edited file is gone from the cloud; it is uploaded as a new file",
                    {{"filename", e.filename}});
    (void)store_->remove(e.identifier);
    return;
  }
  if (isTransientFailure(error)) {
    base::MutexLock lock(mutex_);
    auto& [due, failures] = retries_[entry.identifier.rawValue()];
    const auto pause = std::min<std::chrono::milliseconds>(
        options_.longestRetry, options_.firstRetry * (1LL << std::min(failures, 16)));
    ++failures;
    due = Clock::now() + pause;
    logger_.warning("Upload failed; it is sent again later",
                    {{"filename", e.filename},
                     {"error", error.description()},
                     {"retryInSeconds", std::to_string(pause.count() / 1000)}});
    return;
  }
  // Refused for good: the edit stays, with the reason, until it is written again.
  logger_.error("Upload refused", {{"filename", e.filename}, {"error", error.description()}});
  (void)store_->setLocalError(e.inode, error.description());
  drop();
  kernel_.invalidateInode(e.inode);
}

}  // namespace tarnix::host
