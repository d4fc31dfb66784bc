#define FUSE_USE_VERSION 312
#include "host/FuseBridge.hpp"

#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <vector>

#include "host/Awaited.hpp"
#include "host/FuseMount.hpp"

namespace tarnix::host {
namespace {

constexpr const char* kXattrPrefix = "user.tarnix.";

FuseBridge& bridge(fuse_req_t req) {
  return *static_cast<FuseBridge*>(fuse_req_userdata(req));
}

// Permission bits from capabilities: no reading capability, no read bit.
mode_t modeFor(const ReplicaEntry& e) {
  using C = fp::ItemCapabilities;
  const bool read = fp::contains(e.capabilities, C::allowsReading);
  const bool write = fp::contains(e.capabilities, C::allowsWriting);
  const bool exec =
      e.fileSystemFlags && fp::contains(*e.fileSystemFlags, fp::FileSystemFlags::userExecutable);
  if (e.isFolder) return S_IFDIR | (read ? 0555 : 0111) | (write ? 0200 : 0);
  return S_IFREG | (read ? 0444 : 0) | (write ? 0200 : 0) | (read && exec ? 0111 : 0);
}

// The I/O size the mount prefers: tools like cp then read and write a request's worth at once.
constexpr blksize_t kPreferredIOSize = 1 << 20;

struct stat attributes(const ReplicaEntry& e) {
  struct stat st {};
  // A local edit is what its file holds now, written or not yet closed.
  struct stat local {};
  if (e.localContentPath && ::stat(e.localContentPath->c_str(), &local) == 0) {
    st.st_ino = e.inode;
    st.st_mode = modeFor(e);
    st.st_nlink = 1;
    st.st_uid = ::getuid();
    st.st_gid = ::getgid();
    st.st_size = local.st_size;
    st.st_blksize = kPreferredIOSize;
    st.st_blocks = local.st_blocks;
    st.st_mtim = local.st_mtim;
    st.st_ctim = local.st_mtim;
    st.st_atim = local.st_mtim;
    return st;
  }
  st.st_ino = e.inode;
  st.st_mode = modeFor(e);
  st.st_nlink = e.isFolder ? 2 : 1;
  st.st_uid = ::getuid();
  st.st_gid = ::getgid();
  st.st_size = e.isFolder ? 0 : e.size;
  st.st_blksize = kPreferredIOSize;
  // A dataless file occupies no blocks; `du` and file managers read that.
  const bool present = e.contentPresent && e.presentContentVersion == e.version.contentVersion;
  st.st_blocks = present ? (e.contentSize + 511) / 512 : 0;
  const auto toTimespec = [](std::int64_t ms) {
    timespec t{};
    t.tv_sec = ms / 1000;
    t.tv_nsec = (ms % 1000) * 1000000;
    return t;
  };
  const auto modified = e.modificationMilliseconds.value_or(e.creationMilliseconds.value_or(0));
  st.st_mtim = toTimespec(modified);
  st.st_ctim = toTimespec(modified);
  st.st_atim = toTimespec(modified);
  return st;
}

std::string capabilityNames(fp::ItemCapabilities caps) {
  using C = fp::ItemCapabilities;
  static constexpr std::pair<C, const char*> kNames[] = {
      {C::allowsReading, "reading"},         {C::allowsWriting, "writing"},
      {C::allowsReparenting, "reparenting"}, {C::allowsRenaming, "renaming"},
      {C::allowsTrashing, "trashing"},       {C::allowsDeleting, "deleting"},
      {C::allowsEvicting, "evicting"},       {C::allowsExcludingFromSync, "excludingFromSync"},
  };
  std::string out;
  for (const auto& [bit, name] : kNames) {
    if (!fp::contains(caps, bit)) continue;
    if (!out.empty()) out += ",";
    out += name;
  }
  return out;
}

std::string jsonText(const base::JSONValue& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

// The extended attributes of an item, by name without the prefix.
// `sending`: the bytes of its upload under way the cloud has acknowledged, and its size.
std::vector<std::pair<std::string, std::string>> extendedAttributes(
    const ReplicaEntry& e, std::optional<std::pair<std::int64_t, std::int64_t>> sending) {
  std::vector<std::pair<std::string, std::string>> out;
  out.emplace_back("identifier", e.identifier.rawValue());
  if (e.userInfo.contains("lockOwner"))
    out.emplace_back("lockOwner", jsonText(e.userInfo["lockOwner"]));
  if (e.userInfo.contains("tarnixPermission"))
    out.emplace_back("permission", jsonText(e.userInfo["tarnixPermission"]));
  out.emplace_back("capabilities", capabilityNames(e.capabilities));
  std::string decorations;
  for (const auto& d : e.decorations) decorations += (decorations.empty() ? "" : "\n") + d;
  out.emplace_back("decorations", decorations);
  out.emplace_back("userInfo", e.userInfo.dump());
  if (!e.isFolder) {
    const bool present = e.hasLocalEdit() ||
                         (e.contentPresent && e.presentContentVersion == e.version.contentVersion);
    out.emplace_back("downloaded", present ? "1" : "0");
  }
  // Written here and not confirmed by the cloud yet (how far its upload is, while it is sent);
  // why the cloud refused it, if it did.
  if (e.hasLocalEdit()) out.emplace_back("uploadPending", "1");
  if (sending)
    out.emplace_back("uploadProgress",
                     std::to_string(sending->first) + "/" + std::to_string(sending->second));
  if (e.localError) out.emplace_back("uploadError", *e.localError);
  return out;
}

// An open folder: its enumerator, from opendir to releasedir, and the entries listed so far.
struct DirHandle {
  Inode inode = 0;
  Inode parent = 0;
  fp::ItemIdentifier identifier;
  fp::EnumeratorPtr enumerator;
  base::Mutex mutex;
  struct Entry {
    std::string name;
    Inode inode;
    bool isFolder;
  };
  std::vector<Entry> entries TARNIX_GUARDED_BY(mutex);
  std::vector<Inode> listed TARNIX_GUARDED_BY(mutex);
  std::optional<fp::Page> nextPage TARNIX_GUARDED_BY(mutex);
  bool started TARNIX_GUARDED_BY(mutex) = false;
  bool finished TARNIX_GUARDED_BY(mutex) = false;
};

// An open file: its contents and how the kernel reads them; whether it was written since the
// last time its contents were handed on.
struct FileHandle {
  std::shared_ptr<OpenContent> content;
  FuseOpenMode mode;
  std::atomic<bool> written{false};
  /// Its entry in the bridge's table of open files.
  std::uint64_t openToken = 0;
};

}  // namespace

struct FuseBridge::Ops {
  static FuseBridge& self(fuse_req_t req) { return bridge(req); }

  static std::optional<ReplicaEntry> entry(fuse_req_t req, Inode inode) {
    auto found = self(req).store_->entry(inode);
    if (!found) {
      fuse_reply_err(req, EIO);
      return std::nullopt;
    }
    if (!*found) {
      fuse_reply_err(req, ENOENT);
      return std::nullopt;
    }
    return std::move(**found);
  }

  static fuse_entry_param entryParam(const FuseBridge& b, const ReplicaEntry& e) {
    fuse_entry_param param{};
    param.ino = e.inode;
    param.generation = 1;
    param.attr = attributes(e);
    param.attr_timeout = b.options_.attributeTimeout;
    param.entry_timeout = b.options_.entryTimeout;
    return param;
  }

  static void replyEntry(fuse_req_t req, const ReplicaEntry& e) {
    const auto param = entryParam(self(req), e);
    fuse_reply_entry(req, &param);
  }

  static void init(void* userdata, fuse_conn_info* conn) {
    auto& b = *static_cast<FuseBridge*>(userdata);
    conn->max_read = b.options_.maxRead;
    // Large read requests: libfuse sizes the kernel's request pages from max_write.
    conn->max_write = b.options_.maxRead;
    conn->max_readahead = b.options_.maxRead;
    // Contents change underneath the kernel: it must not keep pages across opens by itself.
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
    if (conn->capable & FUSE_CAP_SPLICE_WRITE) conn->want |= FUSE_CAP_SPLICE_WRITE;
    if (conn->capable & FUSE_CAP_SPLICE_MOVE) conn->want |= FUSE_CAP_SPLICE_MOVE;
  }

  static void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    auto& b = self(req);
    auto found = b.store_->child(parent, name);
    if (!found) return (void)fuse_reply_err(req, EIO);
    if (!*found) {
      auto folder = b.store_->entry(parent);
      if (!folder || !*folder) return (void)fuse_reply_err(req, ENOENT);
      if (!(*folder)->isFolder) return (void)fuse_reply_err(req, ENOTDIR);
      if (!(*folder)->childrenListed) {
        if (auto listed = b.listCompletely(parent); !listed)
          return (void)fuse_reply_err(req, listed.error());
        found = b.store_->child(parent, name);
        if (!found) return (void)fuse_reply_err(req, EIO);
      }
    }
    if (!*found) return (void)fuse_reply_err(req, ENOENT);
    replyEntry(req, **found);
  }

  static void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
    auto e = entry(req, ino);
    if (!e) return;
    const auto st = attributes(*e);
    fuse_reply_attr(req, &st, self(req).options_.attributeTimeout);
  }

  static void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto e = entry(req, ino);
    if (!e) return;
    if (!e->isFolder) return (void)fuse_reply_err(req, ENOTDIR);
    auto& b = self(req);
    auto enumerator = b.calls_->enumerator(e->identifier);
    if (!enumerator) return (void)fuse_reply_err(req, enumerator.error().errnoValue());
    if (awaitFirstShowing(b, ino, **enumerator)) {
      // The folder's own attributes may have come with the listing (the root's do).
      if (auto fresh = b.calls_->item(e->identifier); fresh && *fresh) {
        if (auto upserted = b.store_->upsert(**fresh)) b.recordUpserts({*upserted});
        if (auto reread = b.store_->entry(ino); reread && *reread) e = std::move(**reread);
      }
    }
    if (!fp::contains(e->capabilities, fp::ItemCapabilities::allowsReading)) {
      (*enumerator)->invalidate();
      return (void)fuse_reply_err(req, EACCES);
    }
    auto* handle = new DirHandle();
    handle->inode = ino;
    handle->parent = e->parentInode;
    handle->identifier = e->identifier;
    handle->enumerator = std::move(*enumerator);
    fi->fh = reinterpret_cast<std::uint64_t>(handle);
    fi->cache_readdir = 0;
    fi->keep_cache = 0;
    b.keepHandle(fi->fh, [handle] {
      handle->enumerator->invalidate();
      delete handle;
    });
    if (fuse_reply_open(req, fi) != 0) b.freeHandle(fi->fh);
  }

  // Showing a folder has the extension list it from the cloud; its first showing waits for
  // that (bounded). True when it waited. A failed listing leaves what the store holds.
  static bool awaitFirstShowing(FuseBridge& b, Inode inode, fp::Enumerator& enumerator) {
    if (b.options_.firstListingWait.count() <= 0 || !b.markShown(inode)) return false;
    (void)b.calls_->waitForPresentationListing(enumerator, b.options_.firstListingWait);
    return true;
  }

  // Asks for the next page and records it; false with `error` set when the page failed.
  static bool loadPageLocked(FuseBridge& b, DirHandle& h, int& error) TARNIX_REQUIRES(h.mutex) {
    const fp::Page page = h.nextPage.value_or(fp::Page::initialPageSortedByName());
    auto result = b.calls_->enumerateItems(*h.enumerator, page, b.options_.pageSize);
    if (!result) {
      error = result.error().errnoValue();
      (void)b.store_->setState(ReplicaStore::kLastListingErrorKey, result.error().description());
      return false;
    }
    auto upserts = b.store_->upsertAll(result->items);
    if (!upserts) {
      error = EIO;
      return false;
    }
    b.recordUpserts(*upserts);
    for (std::size_t i = 0; i < result->items.size(); ++i) {
      const auto& u = (*upserts)[i];
      if (!u || !result->items[i]) continue;
      h.entries.push_back({result->items[i]->filename(), u->inode, result->items[i]->isFolder()});
      h.listed.push_back(u->inode);
    }
    h.nextPage = std::move(result->nextPage);
    if (!h.nextPage) {
      h.finished = true;
      auto removed = b.store_->completeListing(h.inode, h.listed);
      if (removed) b.recordRemovals(*removed);
      (void)b.store_->setState(ReplicaStore::kLastListingErrorKey, std::nullopt);
    }
    return true;
  }

  static void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    auto& b = self(req);
    auto& h = *reinterpret_cast<DirHandle*>(fi->fh);
    base::MutexLock lock(h.mutex);
    if (!h.started) {
      h.started = true;
      h.entries.push_back({".", h.inode, true});
      h.entries.push_back({"..", h.parent, true});
    }
    std::vector<char> buffer(size);
    std::size_t used = 0;
    auto index = static_cast<std::size_t>(offset);
    while (true) {
      while (index >= h.entries.size() && !h.finished) {
        int error = 0;
        if (!loadPageLocked(b, h, error)) {
          if (used == 0) return (void)fuse_reply_err(req, error);
          return (void)fuse_reply_buf(req, buffer.data(), used);
        }
      }
      if (index >= h.entries.size()) break;
      const auto& e = h.entries[index];
      struct stat st {};
      st.st_ino = e.inode;
      st.st_mode = e.isFolder ? S_IFDIR : S_IFREG;
      const std::size_t need =
          fuse_add_direntry(req, buffer.data() + used, size - used, e.name.c_str(), &st,
                            static_cast<off_t>(index + 1));
      if (need > size - used) break;
      used += need;
      ++index;
    }
    fuse_reply_buf(req, buffer.data(), used);
  }

  static void releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    self(req).freeHandle(fi->fh);
    fuse_reply_err(req, 0);
  }

  static void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& b = self(req);
    // The kernel sets its read-ahead when it meets the file system (INIT); what we raise must
    // come after that, and before the first read.
    std::call_once(b.readAheadOnce_, [&] { b.raiseReadAhead(); });
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC))
      return openForWriting(req, ino, fi);
    auto opened = b.contents_->open(ino);
    if (!opened) return (void)fuse_reply_err(req, b.errnoFor(opened.error()));
    auto* handle = new FileHandle{std::move(*opened), {}};
    handle->openToken = b.openFiles_.opened(ino, fuse_req_ctx(req)->pid, false);
    handle->mode =
        b.passthrough_.chooseMode(ino, handle->content->fd(), handle->content->isPartial());
    // Opens of two versions at once must not share the kernel's one page cache of the file.
    if (!handle->mode.passthrough && b.contents_->otherVersionOpen(*handle->content))
      handle->mode.directIo = true;
    fi->fh = reinterpret_cast<std::uint64_t>(handle);
    b.keepHandle(fi->fh, [&b, handle] {
      b.openFiles_.released(handle->openToken);
      b.contents_->release(handle->content);
      delete handle;
    });
    fi->direct_io = handle->mode.directIo ? 1 : 0;
    fi->keep_cache = !handle->mode.passthrough && handle->content->unchangedSinceLastOpen() ? 1 : 0;
    FusePassthrough::markNextOpenReply(&handle->mode);
    const int replied = fuse_reply_open(req, fi);
    FusePassthrough::markNextOpenReply(nullptr);
    if (replied != 0) {
      b.passthrough_.released(ino, handle->mode);
      b.freeHandle(fi->fh);
    }
  }

  // Writes go to the item's local edit, through the mount's page cache (never passthrough: the
  // bridge must see them to hand the contents on).
  static void replyWritableOpen(fuse_req_t req, std::shared_ptr<OpenContent> content,
                                fuse_file_info* fi, bool written,
                                const std::optional<ReplicaEntry>& created = std::nullopt) {
    auto& b = self(req);
    auto* handle = new FileHandle{std::move(content), {}, {}};
    handle->written = written;
    const Inode inode = created ? created->inode : handle->content->inode();
    handle->openToken = b.openFiles_.opened(inode, fuse_req_ctx(req)->pid, true);
    fi->fh = reinterpret_cast<std::uint64_t>(handle);
    b.keepHandle(fi->fh, [&b, handle] {
      b.openFiles_.released(handle->openToken);
      b.contents_->release(handle->content);
      delete handle;
    });
    fi->direct_io = 0;
    fi->keep_cache = 0;
    int replied = 0;
    if (created) {
      fuse_entry_param param = entryParam(b, *created);
      replied = fuse_reply_create(req, &param, fi);
    } else {
      replied = fuse_reply_open(req, fi);
    }
    if (replied != 0) b.freeHandle(fi->fh);
  }

  static void openForWriting(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto& b = self(req);
    const bool truncate = (fi->flags & O_TRUNC) != 0;
    auto opened = b.contents_->openForWriting(ino, truncate);
    if (!opened) return (void)fuse_reply_err(req, b.errnoFor(opened.error()));
    replyWritableOpen(req, std::move(*opened), fi, truncate);
  }

  static void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t,
                     fuse_file_info* fi) {
    auto made = self(req).contentChanges_->create(parent, name);
    if (!made) return (void)fuse_reply_err(req, made.error());
    replyWritableOpen(req, std::move(made->second), fi, true, made->first);
  }

  static FileHandle* writable(fuse_file_info* fi) {
    auto* handle = fi ? reinterpret_cast<FileHandle*>(fi->fh) : nullptr;
    return handle && handle->content->isWritable() ? handle : nullptr;
  }

  static void write(fuse_req_t req, fuse_ino_t, const char* data, size_t size, off_t offset,
                    fuse_file_info* fi) {
    auto* handle = writable(fi);
    if (!handle) return (void)fuse_reply_err(req, EBADF);
    const auto done = ::pwrite(handle->content->fd(), data, size, offset);
    if (done < 0) return (void)fuse_reply_err(req, errno);
    handle->written = true;
    fuse_reply_write(req, static_cast<size_t>(done));
  }

  static void fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length,
                        fuse_file_info* fi) {
    auto* handle = writable(fi);
    if (!handle) return (void)fuse_reply_err(req, EBADF);
    if (::fallocate(handle->content->fd(), mode, offset, length) != 0)
      return (void)fuse_reply_err(req, errno);
    handle->written = true;
    fuse_reply_err(req, 0);
  }

  // Hands what the open wrote on (a snapshot in the journal); true when nothing failed.
  static int handOn(FuseBridge& b, fuse_ino_t ino, FileHandle& handle) {
    if (!handle.written.exchange(false)) return 0;
    auto committed = b.contentChanges_->commit(ino);
    if (committed) return 0;
    handle.written = true;
    return committed.error();
  }

  // close(2): what was written is handed on before close returns.
  static void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto* handle = writable(fi);
    fuse_reply_err(req, handle ? handOn(self(req), ino, *handle) : 0);
  }

  // fsync(2) returns once the contents are on disk and safe in the journal.
  static void fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
    auto* handle = writable(fi);
    if (!handle) return (void)fuse_reply_err(req, 0);
    const int fd = handle->content->fd();
    if ((datasync ? ::fdatasync(fd) : ::fsync(fd)) != 0) return (void)fuse_reply_err(req, errno);
    handle->written = true;  // an fsync hands on what the file holds, written since or not
    fuse_reply_err(req, handOn(self(req), ino, *handle));
  }

  static void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet,
                      fuse_file_info* fi) {
    auto& b = self(req);
    auto e = entry(req, ino);
    if (!e) return;
    if (toSet & FUSE_SET_ATTR_SIZE) {
      if (e->isFolder) return (void)fuse_reply_err(req, EISDIR);
      auto* handle = writable(fi);
      std::shared_ptr<OpenContent> content = handle ? handle->content : nullptr;
      if (!content) {
        auto opened = b.contents_->openForWriting(ino, attr->st_size == 0);
        if (!opened) return (void)fuse_reply_err(req, b.errnoFor(opened.error()));
        content = std::move(*opened);
      }
      const int failed = ::ftruncate(content->fd(), attr->st_size) == 0 ? 0 : errno;
      int handedOn = 0;
      if (handle) {
        handle->written = true;
      } else {
        b.contents_->release(content);
        if (auto committed = failed ? std::expected<void, int>() : b.contentChanges_->commit(ino);
            !committed)
          handedOn = committed.error();
      }
      if (failed || handedOn) return (void)fuse_reply_err(req, failed ? failed : handedOn);
    }
    if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW | FUSE_SET_ATTR_ATIME |
                 FUSE_SET_ATTR_ATIME_NOW)) {
      // Times are kept with a local edit (its file's); a file not written here keeps the
      // cloud's.
      if (auto now = b.store_->entry(ino); now && *now && (*now)->localContentPath) {
        timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if (toSet & FUSE_SET_ATTR_ATIME) times[0] = attr->st_atim;
        if (toSet & FUSE_SET_ATTR_ATIME_NOW) times[0] = {0, UTIME_NOW};
        if (toSet & FUSE_SET_ATTR_MTIME) times[1] = attr->st_mtim;
        if (toSet & FUSE_SET_ATTR_MTIME_NOW) times[1] = {0, UTIME_NOW};
        if (::utimensat(AT_FDCWD, (*now)->localContentPath->c_str(), times, 0) != 0)
          return (void)fuse_reply_err(req, errno);
      }
    }
    auto after = entry(req, ino);
    if (!after) return;
    const auto st = attributes(*after);
    fuse_reply_attr(req, &st, b.options_.attributeTimeout);
  }

  static void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    auto& content = *reinterpret_cast<FileHandle*>(fi->fh)->content;
    if (auto ready =
            self(req).contents_->prepareRead(content, offset, static_cast<std::int64_t>(size));
        !ready)
      return (void)fuse_reply_err(req, self(req).errnoFor(ready.error()));
    fuse_bufvec buf = FUSE_BUFVEC_INIT(size);
    buf.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buf.buf[0].fd = content.fd();
    buf.buf[0].pos = offset;
    fuse_reply_data(req, &buf, FUSE_BUF_SPLICE_MOVE);
  }

  static void release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    auto* handle = reinterpret_cast<FileHandle*>(fi->fh);
    bool handedOn = false;
    if (handle->content->isWritable()) {
      if (const int failed = handOn(self(req), ino, *handle))
        self(req).logger_.error(
            "Written contents could not be handed on",
            {{"inode", std::to_string(ino)}, {"errno", std::to_string(failed)}});
      else
        handedOn = true;
    }
    self(req).passthrough_.released(ino, handle->mode);
    self(req).freeHandle(fi->fh);
    if (handedOn) self(req).contentChanges_->writerClosed(ino);
    fuse_reply_err(req, 0);
  }

  static void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
    auto e = entry(req, ino);
    if (!e) return;
    const std::string wanted(name);
    const std::string prefix(kXattrPrefix);
    if (wanted.rfind(prefix, 0) != 0) return (void)fuse_reply_err(req, ENODATA);
    for (const auto& [key, value] :
         extendedAttributes(*e, self(req).contentChanges_->uploadProgress(ino))) {
      if (prefix + key != wanted) continue;
      if (size == 0) return (void)fuse_reply_xattr(req, value.size());
      if (size < value.size()) return (void)fuse_reply_err(req, ERANGE);
      return (void)fuse_reply_buf(req, value.data(), value.size());
    }
    fuse_reply_err(req, ENODATA);
  }

  static void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
    auto e = entry(req, ino);
    if (!e) return;
    std::string names;
    for (const auto& [key, value] :
         extendedAttributes(*e, self(req).contentChanges_->uploadProgress(ino))) {
      names += kXattrPrefix + key;
      names.push_back('\0');
    }
    if (size == 0) return (void)fuse_reply_xattr(req, names.size());
    if (size < names.size()) return (void)fuse_reply_err(req, ERANGE);
    fuse_reply_buf(req, names.data(), names.size());
  }

  static void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t) {
    auto made = self(req).changes_->makeFolder(parent, name);
    if (!made) return (void)fuse_reply_err(req, made.error());
    replyEntry(req, *made);
  }
  static void replyDone(fuse_req_t req, const std::expected<void, int>& done) {
    fuse_reply_err(req, done ? 0 : done.error());
  }
  static void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    replyDone(req, self(req).changes_->removeFile(parent, name));
  }
  static void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    replyDone(req, self(req).changes_->removeFolder(parent, name));
  }
  static void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
                     const char* newName, unsigned int flags) {
    if (auto done = self(req).contentChanges_->rename(parent, name, newParent, newName, flags))
      return replyDone(req, *done);
    replyDone(req, self(req).changes_->rename(parent, name, newParent, newName, flags));
  }

  // What the cloud has no notion of: special files, links, extended attributes of the user's.
  static void readOnly(fuse_req_t req) { fuse_reply_err(req, EROFS); }
  static void mknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) { readOnly(req); }
  static void symlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { readOnly(req); }
  static void link(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { readOnly(req); }
  static void setxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
    readOnly(req);
  }
  static void removexattr(fuse_req_t req, fuse_ino_t, const char*) { readOnly(req); }

  static fuse_lowlevel_ops table() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.getattr = getattr;
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.releasedir = releasedir;
    ops.open = open;
    ops.read = read;
    ops.release = release;
    ops.getxattr = getxattr;
    ops.listxattr = listxattr;
    ops.setattr = setattr;
    ops.mknod = mknod;
    ops.mkdir = mkdir;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.symlink = symlink;
    ops.rename = rename;
    ops.link = link;
    ops.write = write;
    ops.setxattr = setxattr;
    ops.removexattr = removexattr;
    ops.create = create;
    ops.fallocate = fallocate;
    ops.flush = flush;
    ops.fsync = fsync;
    return ops;
  }
};

FuseBridge::FuseBridge(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
                       std::shared_ptr<ContentReplica> contents, FuseBridgeOptions options,
                       base::Logger logger)
    : store_(std::move(store)),
      calls_(std::move(calls)),
      contents_(std::move(contents)),
      options_(options),
      logger_(std::move(logger)),
      passthrough_(options.passthrough, logger_.child("passthrough")),
      changes_(std::make_unique<NamespaceChanges>(
          store_, calls_, contents_, *this, options.namespaceChanges, logger_.child("namespace"))),
      contentChanges_(std::make_unique<ContentChanges>(
          store_, calls_->withTimeout(options.uploadTimeout), contents_, *this,
          options.contentChanges, logger_.child("uploads"))) {}

FuseBridge::~FuseBridge() {
  unmount();
  if (session_ && signalHandlers_) fuse_remove_signal_handlers(session_);
  if (session_) fuse_session_destroy(session_);
  // No request runs any more; what the kernel never released is freed here.
  std::unordered_map<std::uint64_t, std::function<void()>> leftovers;
  {
    base::MutexLock lock(handlesMutex_);
    leftovers.swap(openHandles_);
  }
  for (auto& [fh, free] : leftovers) free();
}

void FuseBridge::keepHandle(std::uint64_t fh, std::function<void()> free) {
  base::MutexLock lock(handlesMutex_);
  openHandles_.emplace(fh, std::move(free));
}

void FuseBridge::freeHandle(std::uint64_t fh) {
  std::function<void()> free;
  {
    base::MutexLock lock(handlesMutex_);
    auto found = openHandles_.find(fh);
    if (found == openHandles_.end()) return;
    free = std::move(found->second);
    openHandles_.erase(found);
  }
  free();
}

std::expected<void, std::string> FuseBridge::mount(const std::filesystem::path& mountPoint) {
  if (session_) return std::unexpected("already mounted");
  const std::string maxRead = "max_read=" + std::to_string(options_.maxRead);
  const char* argv[] = {"tarnix", "-o", maxRead.c_str()};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  const auto ops = Ops::table();
  session_ = fuse_session_new(&args, &ops, sizeof(ops), this);
  fuse_opt_free_args(&args);
  if (!session_) return std::unexpected("FUSE session could not be created");
  const auto destroySession = [this] {
    if (signalHandlers_) fuse_remove_signal_handlers(session_);
    signalHandlers_ = false;
    fuse_session_destroy(session_);
    session_ = nullptr;
  };
  if (options_.handleSignals) {
    if (fuse_set_signal_handlers(session_) != 0) {
      destroySession();
      return std::unexpected("signal handlers could not be set");
    }
    signalHandlers_ = true;
  }
  auto fd = mountFuse(mountPoint, "tarnix");
  if (!fd) {
    destroySession();
    return std::unexpected(fd.error());
  }
  // The session's device I/O goes through the passthrough hooks (see FusePassthrough.hpp).
  fuse_custom_io io{};
  io.read = [](int fd, void* buffer, size_t size, void* self) {
    return static_cast<FuseBridge*>(self)->passthrough_.read(fd, buffer, size);
  };
  io.writev = [](int fd, iovec* iov, int count, void* self) {
    return static_cast<FuseBridge*>(self)->passthrough_.writev(fd, iov, count);
  };
  io.splice_send = [](int in, off_t* inOffset, int out, off_t* outOffset, size_t size,
                      unsigned int flags,
                      void*) { return ::splice(in, inOffset, out, outOffset, size, flags); };
  passthrough_.setDevice(*fd);
  if (fuse_session_custom_io(session_, &io, *fd) != 0) {
    ::close(*fd);
    (void)unmountFuse(mountPoint);
    destroySession();
    return std::unexpected("FUSE session could not take the mount");
  }
  mountPoint_ = mountPoint;
  mounted_ = true;
  deviceNumber_ = fuseDeviceNumber(mountPoint);
  invalidations_.start();
  changes_->start();
  contentChanges_->start();
  return {};
}

int FuseBridge::run() {
  if (!session_) return 1;
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, options_.maxThreads);
  fuse_loop_cfg_set_clone_fd(config, 0);
  const int result = fuse_session_loop_mt(session_, config);
  fuse_loop_cfg_destroy(config);
  if (signalHandlers_) fuse_remove_signal_handlers(session_);
  signalHandlers_ = false;
  return result < 0 ? 1 : 0;
}

void FuseBridge::exit() {
  if (session_) fuse_session_exit(session_);
}

void FuseBridge::unmount() {
  contentChanges_->stop();
  changes_->stop();
  invalidations_.stop();
  if (mounted_) {
    mounted_ = false;
    if (auto done = unmountFuse(mountPoint_); !done)
      logger_.error("Unmount failed: " + done.error());
  }
}

void FuseBridge::raiseReadAhead() {
  if (options_.readAheadKiB == 0 || !deviceNumber_) return;
  const std::string path = "/sys/class/bdi/" + *deviceNumber_ + "/read_ahead_kb";
  std::ofstream out(path);
  out << options_.readAheadKiB << "\n";
  out.flush();
  if (!out) logger_.debug("Read-ahead stays at the kernel's default: " + path + " is not writable");
}

bool FuseBridge::markShown(Inode folder) {
  base::MutexLock lock(shownMutex_);
  return shownFolders_.insert(folder).second;
}

void FuseBridge::invalidateInode(Inode inode) {
  // Errors mean the kernel did not hold the inode: nothing to forget.
  invalidations_.post(
      [this, inode] { (void)fuse_lowlevel_notify_inval_inode(session_, inode, 0, 0); });
}

void FuseBridge::invalidateEntry(Inode parent, const std::string& name) {
  invalidations_.post([this, parent, name] {
    (void)fuse_lowlevel_notify_inval_entry(session_, parent, name.c_str(), name.size());
  });
}

void FuseBridge::flush() {
  // The worker sends in order: once this marker runs (or is dropped by a stop), everything asked
  // before it was sent.
  auto done = std::make_shared<Awaited<bool>>();
  struct Marker {
    explicit Marker(std::shared_ptr<Awaited<bool>> done) : done(std::move(done)) {}
    ~Marker() { done->give(true); }
    std::shared_ptr<Awaited<bool>> done;
  };
  auto marker = std::make_shared<Marker>(done);
  if (!invalidations_.post([marker] {})) return;
  marker.reset();
  (void)done->wait(std::chrono::seconds(10));
}

int FuseBridge::errnoFor(const ReplicaError& error) const {
  return errnoForReplicaError(error, logger_);
}

void FuseBridge::recordUpserts(const std::vector<std::optional<UpsertResult>>& results) {
  for (const auto& r : results) {
    if (!r) continue;
    if (r->staleContentPath) contents_->discard(*r->staleContentPath);
    if (r->previousPlacement)
      invalidateEntry(r->previousPlacement->first, r->previousPlacement->second);
    if (r->attributesChanged && !r->created) invalidateInode(r->inode);
  }
}

void FuseBridge::recordRemovals(const std::vector<ReplicaEntry>& removed) {
  for (const auto& r : removed) {
    if (r.contentPresent) contents_->discard(r.contentPath);
    invalidateEntry(r.parentInode, r.filename);
  }
}

std::expected<void, int> FuseBridge::listCompletely(Inode folder) {
  auto e = store_->entry(folder);
  if (!e || !*e) return std::unexpected(ENOENT);
  auto enumerator = calls_->enumerator((*e)->identifier);
  if (!enumerator) return std::unexpected(enumerator.error().errnoValue());
  DirHandle h;
  h.inode = folder;
  h.identifier = (*e)->identifier;
  h.enumerator = *enumerator;
  Ops::awaitFirstShowing(*this, folder, *h.enumerator);
  int error = 0;
  bool ok = true;
  base::MutexLock lock(h.mutex);
  // Bounded: an enumerator that never finishes must not hold the request forever.
  for (int page = 0; page < 100000 && !h.finished && ok; ++page)
    ok = Ops::loadPageLocked(*this, h, error);
  h.enumerator->invalidate();
  if (!ok) return std::unexpected(error);
  return {};
}

}  // namespace tarnix::host
