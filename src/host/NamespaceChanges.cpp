#include "host/NamespaceChanges.hpp"

#include <linux/fs.h>  // RENAME_NOREPLACE, RENAME_EXCHANGE

#include <algorithm>
#include <cerrno>

#include "base/Date.hpp"

namespace tarnix::host {
namespace {

using Kind = JournalEntry::Kind;
using C = fp::ItemCapabilities;

std::int64_t nowMilliseconds() {
  return base::millisecondsSince1970(std::chrono::system_clock::now());
}

bool allows(const ReplicaEntry& e, C capability) {
  return fp::contains(e.capabilities, capability);
}

bool isGone(const CallError& error) {
  return isNoSuchItem(error);
}
bool isTransient(const CallError& error) {
  return isTransientFailure(error);
}

// The item as the host has it, placed at `parent`/`name`: the template of a modification.
fp::ItemPtr itemAt(const ReplicaEntry& e, const fp::ItemIdentifier& parent,
                   const std::string& name) {
  fp::ItemProperties p;
  p.itemIdentifier = e.identifier;
  p.parentItemIdentifier = parent;
  p.filename = name;
  p.contentType = std::string(e.isFolder ? fp::kContentTypeFolder : fp::kContentTypeItem);
  p.capabilities = e.capabilities;
  p.itemVersion = e.version;
  if (!e.isFolder) p.documentSize = e.size;
  if (e.creationMilliseconds)
    p.creationDate = base::dateFromMillisecondsSince1970(*e.creationMilliseconds);
  if (e.modificationMilliseconds)
    p.contentModificationDate = base::dateFromMillisecondsSince1970(*e.modificationMilliseconds);
  p.fileSystemFlags = e.fileSystemFlags;
  p.userInfo = e.userInfo;
  p.decorations = e.decorations;
  return fp::ItemSnapshot::make(std::move(p));
}

}  // namespace

NamespaceChanges::NamespaceChanges(std::shared_ptr<ReplicaStore> store,
                                   std::shared_ptr<ExtensionCalls> calls,
                                   std::shared_ptr<ContentReplica> contents, KernelCache& kernel,
                                   NamespaceOptions options, base::Logger logger)
    : store_(std::move(store)),
      calls_(std::move(calls)),
      contents_(std::move(contents)),
      kernel_(kernel),
      options_(options),
      logger_(std::move(logger)) {}

NamespaceChanges::~NamespaceChanges() {
  stop();
}

void NamespaceChanges::start() {
  {
    base::MutexLock lock(mutex_);
    if (started_ || stopping_) return;
    started_ = true;
  }
  // What an earlier run left; changes made from now on are this run's own.
  auto entries = store_->journal();
  if (!entries) {
    logger_.error("Reading the journal failed", {{"error", entries.error().description()}});
    entries.emplace();
  }
  worker_.start();
  worker_.post([this, left = std::move(*entries)] { run(left); });
}

void NamespaceChanges::stop() {
  {
    base::MutexLock lock(mutex_);
    stopping_ = true;
    changed_.signalAll();
  }
  worker_.stop();
  // A worker stopped before it began never sent what waits: this thread does.
  sendWaitingOnce();
}

bool NamespaceChanges::waitUntilSettled(std::chrono::milliseconds limit) {
  base::MutexLock lock(mutex_);
  return changed_.waitFor(limit, [&] {
    mutex_.assertHeld();
    return replayed_ && waiting_.empty() && sending_.empty();
  });
}

// ---- Requests ----------------------------------------------------------------------------------

std::expected<ReplicaEntry, int> NamespaceChanges::makeFolder(Inode parent,
                                                              const std::string& name) {
  auto folder = store_->entry(parent);
  if (!folder) return std::unexpected(EIO);
  if (!*folder) return std::unexpected(ENOENT);
  if (!(*folder)->isFolder) return std::unexpected(ENOTDIR);
  auto existing = store_->child(parent, name);
  if (!existing) return std::unexpected(EIO);
  if (*existing) return std::unexpected(EEXIST);
  if (!allows(**folder, C::allowsWriting)) return std::unexpected(EACCES);
  freeName((*folder)->identifier, name);
  JournalEntry entry;
  entry.kind = Kind::createFolder;
  entry.identifier = ReplicaStore::newHostIdentifier();
  entry.parentIdentifier = (*folder)->identifier;
  entry.filename = name;
  entry.isFolder = true;
  auto recorded = record(std::move(entry));
  if (!recorded) return std::unexpected(EIO);
  return sendCreateFolder(*recorded, false);
}

std::expected<void, int> NamespaceChanges::removeFolder(Inode parent, const std::string& name) {
  auto folder = store_->entry(parent);
  auto item = store_->child(parent, name);
  if (!folder || !item) return std::unexpected(EIO);
  if (!*folder || !*item) return std::unexpected(ENOENT);
  if (!(*item)->isFolder) return std::unexpected(ENOTDIR);
  if (!allows(**item, C::allowsDeleting)) return std::unexpected(EPERM);
  auto children = store_->children((*item)->inode);
  if (!children) return std::unexpected(EIO);
  if (!children->empty()) return std::unexpected(ENOTEMPTY);

  // Removals of its files not sent yet go with the folder, in one recursive deletion.
  const auto identifier = (*item)->identifier;
  auto taken = take([&](const JournalEntry& e) { return e.parentIdentifier == identifier; });
  auto entry = entryFor(Kind::removeFolder, **item, (*folder)->identifier);
  if (!taken.empty()) entry.options = fp::rawValue(fp::DeleteItemOptions::recursive);
  auto recorded = record(std::move(entry));
  if (!recorded) {
    giveBack(std::move(taken));
    return std::unexpected(EIO);
  }
  auto sent = sendRemoveFolder(*recorded);
  if (sent || isGone(sent.error())) {
    std::vector<std::int64_t> ids{recorded->id};
    for (const auto& t : taken) ids.push_back(t.entry.id);
    if (!settle(ids, nullptr, identifier)) return std::unexpected(EIO);
    return {};
  }
  (void)settle({recorded->id}, nullptr, std::nullopt);
  giveBack(std::move(taken));
  restore(identifier);
  logger_.warning("Removing a folder failed",
                  {{"itemID", identifier.rawValue()}, {"error", sent.error().description()}});
  return std::unexpected(sent.error().errnoValue());
}

std::expected<void, int> NamespaceChanges::removeFile(Inode parent, const std::string& name) {
  auto folder = store_->entry(parent);
  auto item = store_->child(parent, name);
  if (!folder || !item) return std::unexpected(EIO);
  if (!*folder || !*item) return std::unexpected(ENOENT);
  if ((*item)->isFolder) return std::unexpected(EISDIR);
  if (!allows(**item, C::allowsDeleting)) return std::unexpected(EPERM);
  auto entry = entryFor(Kind::removeFile, **item, (*folder)->identifier);
  entry.time = nowMilliseconds();
  auto journalled = store_->journalAndRemove(entry, (*item)->inode);
  if (!journalled) {
    logger_.error("Recording a removal failed", {{"error", journalled.error().description()}});
    return std::unexpected(EIO);
  }
  for (const auto& r : journalled->removed)
    if (r.contentPresent) contents_->discard(r.contentPath);
  entry.id = journalled->id;
  queue(entry, Clock::now() + options_.deletionDelay);
  return {};
}

std::expected<void, int> NamespaceChanges::rename(Inode parent, const std::string& name,
                                                  Inode newParent, const std::string& newName,
                                                  unsigned flags) {
  // Swapping two items is no change the extension knows.
  if ((flags & RENAME_EXCHANGE) || (flags & ~unsigned{RENAME_NOREPLACE}))
    return std::unexpected(EINVAL);
  auto from = store_->entry(parent);
  auto to = store_->entry(newParent);
  auto item = store_->child(parent, name);
  if (!from || !to || !item) return std::unexpected(EIO);
  if (!*from || !*to || !*item) return std::unexpected(ENOENT);
  if (!(*to)->isFolder) return std::unexpected(ENOTDIR);
  if (parent == newParent && name == newName) return {};
  auto target = store_->child(newParent, newName);
  if (!target) return std::unexpected(EIO);
  bool replacing = false;
  if (*target) {
    if ((*target)->inode == (*item)->inode) return {};
    if (flags & RENAME_NOREPLACE) return std::unexpected(EEXIST);
    if ((*target)->isFolder) {
      if (!(*item)->isFolder) return std::unexpected(EISDIR);
      auto children = store_->children((*target)->inode);
      if (!children) return std::unexpected(EIO);
      // An empty folder in the way is not replaced: that would be two changes in the cloud.
      return std::unexpected(children->empty() ? EEXIST : ENOTEMPTY);
    }
    if ((*item)->isFolder) return std::unexpected(ENOTDIR);
    replacing = true;
  }
  if (name != newName && !allows(**item, C::allowsRenaming)) return std::unexpected(EPERM);
  if (parent != newParent) {
    if (!allows(**item, C::allowsReparenting)) return std::unexpected(EPERM);
    if (!allows(**to, C::allowsWriting)) return std::unexpected(EACCES);
  }
  // A file moved over another file: the one in the way is removed, as on a local disk, and
  // its removal goes to the cloud before the move (below, freeing the name).
  if (replacing) {
    if (auto removed = removeFile(newParent, newName); !removed) return removed;
  }
  freeName((*to)->identifier, newName);
  auto entry = entryFor(Kind::rename, **item, (*from)->identifier);
  entry.newParentIdentifier = (*to)->identifier;
  entry.newFilename = newName;
  auto recorded = record(std::move(entry));
  if (!recorded) return std::unexpected(EIO);
  auto renamed = sendRename(*recorded, **item, false);
  if (!renamed) return std::unexpected(renamed.error());
  return {};
}

// ---- Sending -----------------------------------------------------------------------------------

std::expected<ReplicaEntry, int> NamespaceChanges::sendCreateFolder(const JournalEntry& entry,
                                                                    bool replaying) {
  fp::ItemProperties p;
  p.itemIdentifier = entry.identifier;
  p.parentItemIdentifier = entry.parentIdentifier;
  p.filename = entry.filename;
  p.contentType = std::string(fp::kContentTypeFolder);
  const auto fields = fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier;
  auto created = calls_->createItem(
      fp::ItemSnapshot::make(std::move(p)), fields, std::nullopt,
      replaying ? fp::CreateItemOptions::mayAlreadyExist : fp::CreateItemOptions::none);
  if (!created) {
    const auto& error = created.error();
    if (replaying && isTransient(error)) return std::unexpected(error.errnoValue());
    // A name taken in the cloud: what holds it shows.
    fp::ItemPtr colliding;
    if (error.error && error.error->is(fp::FileProviderErrorCode::filenameCollision))
      colliding = error.error->itemValue(fp::Error::kCollidingItemKey);
    (void)settle({entry.id}, colliding.get(), std::nullopt);
    if (auto folder = store_->entry(entry.parentIdentifier); folder && *folder)
      kernel_.invalidateEntry((*folder)->inode, entry.filename);
    logger_.warning("Creating a folder failed",
                    {{"filename", entry.filename}, {"error", error.description()}});
    return std::unexpected(error.errnoValue());
  }
  auto settled = settle({entry.id}, created->item.get(), std::nullopt);
  if (!settled) return std::unexpected(EIO);
  // The folder it was made in is gone meanwhile.
  if (!settled->upserted) return std::unexpected(ENOENT);
  auto made = store_->entry(settled->upserted->inode);
  if (!made || !*made) return std::unexpected(EIO);
  // The extension may have chosen another name (white space trimmed, ...).
  if ((*made)->filename != entry.filename)
    kernel_.invalidateEntry((*made)->parentInode, entry.filename);
  return std::move(**made);
}

std::expected<void, CallError> NamespaceChanges::sendRemoveFolder(const JournalEntry& entry) {
  return calls_->deleteItem(entry.identifier, entry.baseVersion,
                            static_cast<fp::DeleteItemOptions>(entry.options));
}

std::expected<ReplicaEntry, int> NamespaceChanges::sendRename(const JournalEntry& entry,
                                                              const ReplicaEntry& item,
                                                              bool replaying) {
  const auto newParent = entry.newParentIdentifier.value_or(entry.parentIdentifier);
  const auto newName = entry.newFilename.value_or(entry.filename);
  // What the user changed, as the journal says; sent again on replay even when the store
  // already shows it (a listing keeps a pending rename in place), for the extension to judge.
  auto fields = fp::ItemFields::none;
  if (newName != entry.filename) fields = fields | fp::ItemFields::filename;
  if (newParent != entry.parentIdentifier) fields = fields | fp::ItemFields::parentItemIdentifier;
  auto modified = fields == fp::ItemFields::none
                      ? CallResult<ChangedItem>(ChangedItem{itemAt(item, newParent, newName)})
                      : calls_->modifyItem(itemAt(item, newParent, newName), entry.baseVersion,
                                           fields, std::nullopt);
  if (!modified) {
    const auto& error = modified.error();
    if (replaying && isTransient(error)) return std::unexpected(error.errnoValue());
    (void)settle({entry.id}, nullptr,
                 isGone(error) ? std::optional(item.identifier) : std::nullopt);
    // Where the item is now, as the extension has it.
    if (!isGone(error)) restore(item.identifier);
    logger_.warning("Renaming an item failed",
                    {{"itemID", item.identifier.rawValue()}, {"error", error.description()}});
    return std::unexpected(error.errnoValue());
  }
  auto settled = settle({entry.id}, modified->item.get(), std::nullopt);
  if (!settled) return std::unexpected(EIO);
  if (!settled->upserted) return std::unexpected(ENOENT);
  auto moved = store_->entry(settled->upserted->inode);
  if (!moved || !*moved) return std::unexpected(EIO);
  if ((*moved)->filename != newName) {
    if (auto to = store_->entry(newParent); to && *to)
      kernel_.invalidateEntry((*to)->inode, newName);
  }
  return std::move(**moved);
}

bool NamespaceChanges::sendDeletion(const JournalEntry& entry) {
  auto sent = calls_->deleteItem(entry.identifier, entry.baseVersion,
                                 static_cast<fp::DeleteItemOptions>(entry.options));
  if (sent || isGone(sent.error())) {
    (void)settle({entry.id}, nullptr, std::nullopt);
    return true;
  }
  if (isTransient(sent.error())) {
    logger_.warning(
        "Sending a deletion failed, it will be sent again",
        {{"itemID", entry.identifier.rawValue()}, {"error", sent.error().description()}});
    return false;
  }
  // The cloud keeps the item (no permission to delete it, ...): it comes back.
  logger_.warning("Deletion refused, the item is back", {{"itemID", entry.identifier.rawValue()},
                                                         {"filename", entry.filename},
                                                         {"error", sent.error().description()}});
  (void)settle({entry.id}, nullptr, std::nullopt);
  restore(entry.identifier);
  return true;
}

// ---- The worker --------------------------------------------------------------------------------

void NamespaceChanges::run(const std::vector<JournalEntry>& left) {
  replay(left);
  base::MutexLock lock(mutex_);
  replayed_ = true;
  changed_.signalAll();
  while (!stopping_) {
    auto next =
        std::min_element(waiting_.begin(), waiting_.end(),
                         [](const auto& a, const auto& b) { return a.second.due < b.second.due; });
    if (next == waiting_.end() || next->second.due > Clock::now()) {
      const auto deadline =
          next == waiting_.end() ? Clock::now() + std::chrono::hours(1) : next->second.due;
      const auto count = waiting_.size();
      changed_.waitUntil(deadline, [&] {
        mutex_.assertHeld();
        return stopping_ || waiting_.size() != count;
      });
      continue;
    }
    Deferred deferred = std::move(next->second);
    waiting_.erase(next);
    sending_.emplace(deferred.entry.id, deferred.entry);
    mutex_.unlock();
    const bool done = sendDeletion(deferred.entry);
    mutex_.lock();
    sending_.erase(deferred.entry.id);
    if (!done) {
      ++deferred.attempts;
      auto pause = options_.firstRetry;
      for (int i = 1; i < deferred.attempts && pause < options_.longestRetry; ++i) pause *= 2;
      deferred.due = Clock::now() + std::min(pause, options_.longestRetry);
      waiting_.emplace(deferred.entry.id, std::move(deferred));
    }
    changed_.signalAll();
  }
  mutex_.unlock();
  sendWaitingOnce();
  mutex_.lock();
}

void NamespaceChanges::sendWaitingOnce() {
  // Once more before the end, without waiting: what still fails stays in the journal.
  std::map<std::int64_t, Deferred> last;
  {
    base::MutexLock lock(mutex_);
    last.swap(waiting_);
  }
  for (const auto& [id, deferred] : last) (void)sendDeletion(deferred.entry);
  base::MutexLock lock(mutex_);
  changed_.signalAll();
}

void NamespaceChanges::replay(const std::vector<JournalEntry>& entries) {
  if (!entries.empty())
    logger_.info("Replaying local changes", {{"count", static_cast<std::int64_t>(entries.size())}});
  for (const auto& entry : entries) {
    {
      base::MutexLock lock(mutex_);
      if (stopping_) return;
    }
    switch (entry.kind) {
      case Kind::removeFile:
        queue(entry, Clock::now());
        break;
      case Kind::removeFolder: {
        auto sent = sendRemoveFolder(entry);
        if (sent || isGone(sent.error())) {
          (void)settle({entry.id}, nullptr, entry.identifier);
        } else if (!isTransient(sent.error())) {
          (void)settle({entry.id}, nullptr, std::nullopt);
          restore(entry.identifier);
        }
        break;
      }
      case Kind::rename: {
        auto item = store_->entry(entry.identifier);
        if (item && *item)
          (void)sendRename(entry, **item, true);
        else if (item)
          (void)settle({entry.id}, nullptr, std::nullopt);
        break;
      }
      case Kind::createFolder:
        (void)sendCreateFolder(entry, true);
        break;
      case Kind::writeContents:
        break;  // contents are sent by the upload path
    }
  }
}

// ---- Waiting deletions -------------------------------------------------------------------------

void NamespaceChanges::queue(const JournalEntry& entry, Clock::time_point due) {
  base::MutexLock lock(mutex_);
  // Removals in one folder wait while more keep coming (`rm -r` going through it), so that the
  // folder's own removal finds them all still unsent.
  for (auto& [id, waiting] : waiting_)
    if (waiting.attempts == 0 && waiting.entry.parentIdentifier == entry.parentIdentifier)
      waiting.due = std::max(waiting.due, due);
  waiting_.emplace(entry.id, Deferred{entry, due, 0});
  changed_.signalAll();
}

std::vector<NamespaceChanges::Deferred> NamespaceChanges::take(
    const std::function<bool(const JournalEntry&)>& pick) {
  std::vector<Deferred> taken;
  base::MutexLock lock(mutex_);
  // A chosen deletion being sent ends first (bounded by the extension's own timeout).
  (void)changed_.waitFor(std::chrono::minutes(2), [&] {
    mutex_.assertHeld();
    return std::none_of(sending_.begin(), sending_.end(),
                        [&](const auto& s) { return pick(s.second); });
  });
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (pick(it->second.entry)) {
      taken.push_back(std::move(it->second));
      it = waiting_.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

void NamespaceChanges::giveBack(std::vector<Deferred> deferred) {
  if (deferred.empty()) return;
  base::MutexLock lock(mutex_);
  for (auto& d : deferred) waiting_.emplace(d.entry.id, std::move(d));
  changed_.signalAll();
}

void NamespaceChanges::freeName(const fp::ItemIdentifier& parent, const std::string& name) {
  auto taken = take(
      [&](const JournalEntry& e) { return e.parentIdentifier == parent && e.filename == name; });
  std::vector<Deferred> failed;
  for (auto& t : taken)
    if (!sendDeletion(t.entry)) failed.push_back(std::move(t));
  giveBack(std::move(failed));
}

// ---- The store and the kernel ------------------------------------------------------------------

std::optional<JournalEntry> NamespaceChanges::record(JournalEntry entry) {
  entry.time = nowMilliseconds();
  auto id = store_->addJournalEntry(entry);
  if (!id) {
    logger_.error("Recording a local change failed", {{"error", id.error().description()}});
    return std::nullopt;
  }
  entry.id = *id;
  return entry;
}

JournalEntry NamespaceChanges::entryFor(Kind kind, const ReplicaEntry& item,
                                        const fp::ItemIdentifier& parent) const {
  JournalEntry entry;
  entry.kind = kind;
  entry.identifier = item.identifier;
  entry.parentIdentifier = parent;
  entry.filename = item.filename;
  entry.isFolder = item.isFolder;
  entry.baseVersion = item.version;
  return entry;
}

std::optional<ReplicaStore::Settled> NamespaceChanges::settle(
    const std::vector<std::int64_t>& ids, const fp::Item* item,
    const std::optional<fp::ItemIdentifier>& removed) {
  auto settled = store_->settleJournal(ids, item, removed);
  if (!settled) {
    logger_.error("Clearing the journal failed", {{"error", settled.error().description()}});
    return std::nullopt;
  }
  for (const auto& r : settled->removed) {
    if (r.contentPresent) contents_->discard(r.contentPath);
    kernel_.invalidateEntry(r.parentInode, r.filename);
    kernel_.invalidateInode(r.inode);
  }
  if (const auto& u = settled->upserted) {
    if (u->staleContentPath) contents_->discard(*u->staleContentPath);
    if (u->previousPlacement)
      kernel_.invalidateEntry(u->previousPlacement->first, u->previousPlacement->second);
    if (u->created || u->previousPlacement) {
      if (auto e = store_->entry(u->inode); e && *e)
        kernel_.invalidateEntry((*e)->parentInode, (*e)->filename);
    }
    if (u->attributesChanged && !u->created) kernel_.invalidateInode(u->inode);
  }
  return std::move(*settled);
}

void NamespaceChanges::restore(const fp::ItemIdentifier& identifier) {
  auto item = calls_->item(identifier);
  if (!item) {
    if (isGone(item.error())) (void)settle({}, nullptr, identifier);
    return;
  }
  (void)settle({}, item->get(), std::nullopt);
}

}  // namespace tarnix::host
