#pragma once
// The domain as a FUSE file system (libfuse 3 low-level API). Names and attributes come from
// the replica store; an open folder is a presented container whose enumerator lives from
// opendir to releasedir and lists the children page by page; contents come from the content
// replica; `user.tarnix.*` extended attributes show the item's lock owner, permission,
// capabilities, decorations and user info. New folders, renames, moves and removals go to the
// extension through NamespaceChanges (with its journal); files made or written go to a local edit
// of the content replica and, once closed or synced, to the extension through ContentChanges.
//
// Requests run on libfuse's worker threads, which may wait for the extension. Kernel cache
// invalidations are queued to a worker of the bridge's own, never sent from inside a request.
//
// Locks: an open folder's mutex (DirHandle), shownMutex_ and handlesMutex_ are never held
// together; the store's, the content replica's and the worker's locks are taken inside either
// and call nothing back.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>  // std::once_flag
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "base/Worker.hpp"
#include "host/ContentChanges.hpp"
#include "host/ContentReplica.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/FusePassthrough.hpp"
#include "host/KernelCache.hpp"
#include "host/NamespaceChanges.hpp"
#include "host/OpenFileTable.hpp"
#include "host/ReplicaStore.hpp"

struct fuse_session;

namespace tarnix::host {

struct FuseBridgeOptions {
  /// Seconds the kernel may keep names and attributes.
  double entryTimeout = 1.0;
  /// Attributes are read again on every stat: the store answers at once, and a size the kernel
  /// kept would cut reads of contents that grew.
  double attributeTimeout = 0.0;
  /// How long the first showing of a folder waits for its listing from the cloud.
  std::chrono::milliseconds firstListingWait{3000};
  /// Items per page the host asks of enumerators.
  std::int64_t pageSize = 500;
  /// Largest read request the kernel sends (bytes).
  unsigned maxRead = 1u << 20;
  /// How far the kernel reads ahead of sequential reads (KiB; 0 leaves the kernel's 128). Set
  /// through /sys/class/bdi, which only root may write; elsewhere the default stays.
  unsigned readAheadKiB = 8192;
  unsigned maxThreads = 16;
  /// Reads of present contents go from the kernel straight to the replica file where the
  /// kernel and the process's rights allow it; otherwise through the mount's page cache.
  bool passthrough = true;
  /// SIGINT, SIGTERM and SIGHUP end run(). The handlers are in place from before the mount, so
  /// a signal at any moment after that still unmounts cleanly.
  bool handleSignals = false;
  /// Local changes of names and folders.
  NamespaceOptions namespaceChanges;
  /// Contents written here.
  ContentChangesOptions contentChanges;
  /// How long one upload may take before it is given up (and sent again later).
  std::chrono::hours uploadTimeout{12};
};

class FuseBridge final : public KernelCache {
 public:
  FuseBridge(std::shared_ptr<ReplicaStore> store, std::shared_ptr<ExtensionCalls> calls,
             std::shared_ptr<ContentReplica> contents, FuseBridgeOptions options,
             base::Logger logger);
  ~FuseBridge() override;

  /// Creates the session and mounts it at `mountPoint`. The error says why FUSE is unusable.
  std::expected<void, std::string> mount(const std::filesystem::path& mountPoint);
  /// Serves requests until the file system is unmounted, exit() is called or (with
  /// `handleSignals`) a signal came; returns 0 when it ended cleanly.
  int run();
  /// Ends run() (from any thread, also a signal handler's context is not needed).
  void exit();
  /// Stops the invalidation worker and detaches the mount (run() then returns).
  void unmount();
  const std::filesystem::path& mountPoint() const { return mountPoint_; }

  void invalidateInode(Inode inode) override;
  void invalidateEntry(Inode parent, const std::string& name) override;
  void flush() override;

  /// Lists `folder` completely now (what lookup does for a folder never listed).
  std::expected<void, int> listCompletely(Inode folder);
  /// The errno a request answers for a failure of the content replica.
  int errnoFor(const ReplicaError& error) const;

  /// Local changes of names and folders; started by mount(), stopped by unmount().
  NamespaceChanges& namespaceChanges() { return *changes_; }
  /// Waits for the upload worker to end (after unmount(); an upload under way ends when the
  /// extension is invalidated).
  void joinUploads() { contentChanges_->join(); }

  /// Which processes hold which files open now (for the locks of files applications use).
  const OpenFileTable& openFiles() const { return openFiles_; }
  OpenFileTable& openFiles() { return openFiles_; }

  /// Whether reads of present contents bypass the session (known once the kernel met it).
  bool passthroughActive() const { return passthrough_.active(); }

  struct Ops;  // the request handlers (FuseBridge.cpp)

 private:
  friend struct Ops;
  void recordUpserts(const std::vector<std::optional<UpsertResult>>& results);
  void recordRemovals(const std::vector<ReplicaEntry>& removed);
  void raiseReadAhead();
  /// The first time a folder is shown, the extension lists it from the cloud only once it is
  /// presented: that showing waits (bounded) for the listing, so that the first `ls` or path
  /// lookup sees the cloud's children rather than an empty folder. True the first time.
  bool markShown(Inode folder);
  /// Keeps what frees the handle `fh` given to the kernel (its contents or enumerator and its
  /// memory); freeHandle runs it when the kernel releases the handle.
  void keepHandle(std::uint64_t fh, std::function<void()> free);
  void freeHandle(std::uint64_t fh);

  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> contents_;
  FuseBridgeOptions options_;
  base::Logger logger_;
  std::filesystem::path mountPoint_;
  fuse_session* session_ = nullptr;
  bool mounted_ = false;
  bool signalHandlers_ = false;
  std::optional<std::string> deviceNumber_;
  std::once_flag readAheadOnce_;
  FusePassthrough passthrough_;
  OpenFileTable openFiles_;

  base::Mutex shownMutex_;
  std::set<Inode> shownFolders_ TARNIX_GUARDED_BY(shownMutex_);

  // A session that ends while files or folders are open never releases them: the bridge frees
  // those when it goes.
  base::Mutex handlesMutex_;
  std::unordered_map<std::uint64_t, std::function<void()>> openHandles_
      TARNIX_GUARDED_BY(handlesMutex_);

  /// Sends what the kernel should forget, in order; started by mount(), stopped by unmount().
  base::Worker invalidations_{"tarnix-inval"};
  /// Made last and stopped first: it tells the kernel through invalidations_.
  std::unique_ptr<NamespaceChanges> changes_;
  std::unique_ptr<ContentChanges> contentChanges_;
};

}  // namespace tarnix::host
