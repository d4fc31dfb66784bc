// `tarnix mount`, `tarnix unmount` and `tarnix status`: a drive as a FUSE file system.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "base/DispatchQueue.hpp"
#include "base/JSONValue.hpp"
#include "common/KnownPath.hpp"
#include "fileprovider/FileProviderWrapper.hpp"
#include "fileprovider/Provider.hpp"
#include "host/ChangeSynchronizer.hpp"
#include "host/Commands.hpp"
#include "host/DomainManager.hpp"
#include "host/EvictionPolicy.hpp"
#include "host/ExtensionRegistry.hpp"
#include "host/FuseMount.hpp"
#include "host/MountOpenFiles.hpp"
#include "host/MountedDomain.hpp"
#include "host/ServiceChannel.hpp"
#include "host/commands/CloudUser.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/ServedDrive.hpp"

extern char** environ;

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;

// How long `tarnix mount` waits for the serving process to say whether the drive is mounted.
constexpr std::chrono::milliseconds kMountStartTimeout = std::chrono::seconds(30);
// How long the serving process waits for the cloud to name an account's user it does not know.
constexpr auto kUserIdentifierWait = std::chrono::seconds(2);

void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  setCommandExitStatus(1);
}

// How long a mount waits for an earlier mount of the drive whose mount point is detached (it is
// ending, after `tarnix unmount`) to let the drive go.
constexpr auto kEndingMountWait = std::chrono::seconds(10);

// The drive's lock for a mount. A mount that holds it with its mount point no longer mounted is
// ending (or just starting): it is waited for a little, so that mounting right after
// `tarnix unmount` finds the drive free.
std::expected<std::unique_ptr<DriveLock>, DriveLock::Refusal> acquireForMount(
    const fs::path& stateDirectory, const fs::path& point, std::chrono::milliseconds commandWait) {
  const auto deadline = std::chrono::steady_clock::now() + kEndingMountWait;
  while (true) {
    auto lock = DriveLock::acquire(stateDirectory, point, commandWait);
    if (lock || !lock.error().holder || !lock.error().holder->isMount() ||
        isFuseMounted(lock.error().holder->mountPoint) ||
        std::chrono::steady_clock::now() >= deadline)
      return lock;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

// The mount's part in what the drive's provider does beyond files: it says which files
// applications hold open (for the cloud locks taken for them), and it publishes the provider's
// services for `tarnix` commands. Undone when it goes, before the drive is unmounted.
class MountServices {
 public:
  MountServices(MountedDomain& mounted, fs::path stateDirectory, base::Logger logger)
      : mounted_(mounted), stateDirectory_(std::move(stateDirectory)) {
    if (auto wrapper =
            std::dynamic_pointer_cast<fileprovider::FileProviderWrapper>(mounted.extension()))
      provider_ = std::dynamic_pointer_cast<fileprovider::Provider>(wrapper->wrappedProvider());
    if (provider_) {
      provider_->setOpenFilesSource(
          std::make_shared<MountOpenFiles>(mounted.bridge(), mounted.store()));
      // A file opened or closed for writing is looked at now, not at the next pass: off the
      // file system's thread, which must not wait for it.
      std::weak_ptr<fileprovider::LockingSynchronizer> synchronizer =
          provider_->locking().synchronizer;
      mounted.bridge()->openFiles().setWritersChanged([queue = queue_, synchronizer] {
        queue->async([synchronizer] {
          if (auto s = synchronizer.lock()) s->synchronize();
        });
      });
    }
    auto endpoints = rootServiceEndpoints(*mounted.extension());
    auto published = endpoints
                         ? publishServices(stateDirectory_, *endpoints)
                         : std::expected<void, std::string>(std::unexpected(endpoints.error()));
    if (!published) {
      logger.warning("The drive's services are not published; commands cannot reach this mount",
                     {{"error", published.error()}});
    }
  }
  ~MountServices() {
    std::error_code ec;
    fs::remove(publishedServicesFile(stateDirectory_), ec);
    mounted_.bridge()->openFiles().setWritersChanged(nullptr);
    if (provider_) provider_->setOpenFilesSource(nullptr);
  }
  MountServices(const MountServices&) = delete;
  MountServices& operator=(const MountServices&) = delete;

 private:
  MountedDomain& mounted_;
  fs::path stateDirectory_;
  std::shared_ptr<fileprovider::Provider> provider_;
  std::shared_ptr<base::DispatchQueue> queue_ =
      base::DispatchQueue::make("com.tarnix.Host.OpenFiles");
};

// How the serving process tells `tarnix mount` that the drive is mounted, or why it is not: one
// line on an inherited descriptor, "ready" or "failed: " + the reason. Once it is sent the
// serving process no longer writes to the terminal of whoever started it (its standard streams
// are /dev/null; it logs to the container's log folder).
class ReadyChannel {
 public:
  explicit ReadyChannel(int fd) : fd_(fd) {}
  ~ReadyChannel() { close(); }
  void ready() { send("ready\n"); }
  void failed(const std::string& reason) { send("failed: " + reason + "\n"); }

 private:
  void send(const std::string& line) {
    if (fd_ < 0) return;
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close();
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

// Waits (up to `timeout`) for the child's exit status; kills it when it outlives the wait.
void reap(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// The answer of the serving process: its line, or none when it ended or the time ran out.
std::optional<std::string> readReadyLine(int fd, std::chrono::milliseconds timeout,
                                         bool& timedOut) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string line;
  timedOut = false;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      timedOut = true;
      return std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return line.empty() ? std::nullopt : std::optional(line);
    line.append(buffer, static_cast<std::size_t>(n));
    if (auto end = line.find('\n'); end != std::string::npos) return line.substr(0, end);
  }
}

// Starts the serving process (a fresh programme, never a fork of this one) and reports once it
// says whether the drive is mounted. After a failure or when it does not answer in time it is
// stopped, and nothing stays mounted.
void mountInBackground(const std::string& drive, const fs::path& point, std::int64_t cacheSize) {
  // Another drive mounted there stays mounted whatever becomes of this one.
  const bool mountedBefore = isFuseMounted(point);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return fail("tarnix mount: cannot start the mount process");
  constexpr int kChildReadyFd = 3;
  std::vector<std::string> args = {"/proc/self/exe",
                                   "mount",
                                   drive,
                                   point.string(),
                                   "-f",
                                   "--cache-size",
                                   std::to_string(cacheSize),
                                   "--ready-fd",
                                   std::to_string(kChildReadyFd)};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], kChildReadyFd);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    return fail("tarnix mount: cannot start the mount process");
  }
  bool timedOut = false;
  const auto line = readReadyLine(pipe[0], kMountStartTimeout, timedOut);
  ::close(pipe[0]);
  if (line && *line == "ready") {
    std::printf("Mounted %s at %s\n", drive.c_str(), point.string().c_str());
    return;
  }
  if (timedOut) ::kill(pid, SIGTERM);
  reap(pid, std::chrono::seconds(5));
  if (!mountedBefore && isFuseMounted(point)) (void)unmountFuse(point);
  if (timedOut) return fail("tarnix mount: the drive was not mounted within 30 seconds");
  if (line && line->starts_with("failed: ")) return fail("tarnix mount: " + line->substr(8));
  fail("tarnix mount: the mount process ended before mounting");
}

void mountCommand(const std::string& drive, const std::string& mountPoint, bool foreground,
                  std::int64_t cacheSize, int readyFd) {
  ReadyChannel channel(readyFd);
  const auto failed = [&](const std::string& reason) {
    channel.failed(reason);
    fail("tarnix mount: " + reason);
  };
  auto resolved = resolveDrive(drive);
  if (!resolved) return failed(resolved.error());
  auto factory = registeredExtensionFactory();
  if (!factory)
    return failed("no provider is available yet for drive " + drive +
                  "; this build cannot present drives");
  std::error_code ec;
  const fs::path point = fs::absolute(mountPoint, ec);
  if (ec || !fs::is_directory(point)) return failed(mountPoint + " is not a folder");
  if (!foreground) {
    // Told at once, before a serving process starts for nothing.
    if (auto lock = acquireForMount(resolved->stateDirectory, point, std::chrono::milliseconds(0));
        !lock && lock.error().holder && lock.error().holder->isMount())
      return failed(servedElsewhere(*resolved, *lock.error().holder));
    return mountInBackground(drive, point, cacheSize);
  }

  // Held while this process serves the drive, so that no other process serves it meanwhile.
  auto lock = acquireForMount(resolved->stateDirectory, point, kCommandLockWait);
  if (!lock) {
    const auto& refusal = lock.error();
    return failed(refusal.holder ? servedElsewhere(*resolved, *refusal.holder) : refusal.message);
  }
  // The serving process logs to the container's log folder, as the extension process does.
  resolved->group->bootstrapLogging("FileProvider.log", true, nullptr);
  // Before the provider starts, so that it knows whose locks are the user's own; briefly, for
  // the drive is mounted whether the cloud answers or not.
  (void)learnUserIdentifier(*resolved->group, resolved->drive, kUserIdentifierWait);
  MountOptions options;
  options.domain = fp::Domain{fp::DomainIdentifier(resolved->identifier), resolved->label};
  options.mountPoint = point;
  options.stateDirectory = resolved->stateDirectory;
  options.cacheLimit = cacheSize;
  options.bridge.handleSignals = true;
  auto mounted = MountedDomain::mount(options, *factory, base::Logger("com.tarnix.Host"));
  if (!mounted) return failed("FUSE cannot be used here: " + mounted.error());
  if (readyFd < 0) {
    std::printf("Mounted %s at %s (Ctrl-C unmounts)\n", drive.c_str(), point.string().c_str());
    std::fflush(stdout);
  }
  int status = 0;
  {
    const MountServices services(**mounted, resolved->stateDirectory,
                                 base::Logger("com.tarnix.Host"));
    channel.ready();
    status = (*mounted)->run();
  }
  (*mounted)->unmount();
  if (readyFd < 0) std::printf("Unmounted %s\n", point.string().c_str());
  if (status != 0) setCommandExitStatus(status);
}

void unmountCommand(const std::string& mountPoint) {
  if (auto done = unmountFuse(mountPoint); !done) return fail("tarnix unmount: " + done.error());
  std::printf("Unmounted %s\n", mountPoint.c_str());
}

/// The change feed's line: what the process serving the drive last wrote of it.
void printChangeFeed(const ResolvedDrive& resolved,
                     const std::optional<DriveLock::Holder>& server) {
  using Ingestion = fileprovider::BackgroundCFSIngestion;
  auto folder =
      resolved.group->knownPaths().knownPathURL(common::KnownPath::drive(resolved.identifier));
  std::optional<Ingestion::Status> status;
  if (folder && server) {
    std::ifstream in(fileprovider::Provider::eventFeedStatusFile(*folder));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto written = base::parseJSON(text);
    // Only the serving process's own word counts: an older file may be left from before.
    if (written && written->is_object() &&
        base::jsonInt(*written, "processIdentifier") == std::int64_t{server->pid}) {
      status = Ingestion::decodeStatus(text);
    }
  }
  if (!status || !status->active) {
    std::puts("Change feed: not followed (no mount serves the drive)");
    return;
  }
  std::printf("Change feed: %s; revision %lld; last event id %lld; %lld events applied\n",
              status->socketConnected ? "connected" : "not connected (polling)",
              static_cast<long long>(status->snapshotRevision),
              static_cast<long long>(status->lastEventID),
              static_cast<long long>(status->eventsApplied));
  std::printf("Change feed error: %s\n", status->lastError.value_or("none").c_str());
}

void statusCommand(const std::string& drive) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return fail("tarnix status: " + resolved.error());
  std::printf("Drive: %s (%s)\n", resolved->label.c_str(), resolved->identifier.c_str());
  const auto server = DriveLock::holder(resolved->stateDirectory);
  if (server) {
    if (server->isMount())
      std::printf("Mounted at: %s (process %d)\n", server->mountPoint.c_str(), server->pid);
    else
      std::printf("In use by: a tarnix command (process %d)\n", server->pid);
  }
  printChangeFeed(*resolved, server);
  const auto path = MountedDomain::storePath(resolved->stateDirectory);
  if (!fs::exists(path)) {
    std::puts("State: never mounted");
    return;
  }
  auto store = ReplicaStore::open(path, common::Database::Mode::readOnly);
  if (!store && store.error().kind == common::DatabaseError::Kind::migration && !server)
    store = ReplicaStore::open(path, common::Database::Mode::readWrite);  // brought up to date
  if (!store) return fail("tarnix status: " + store.error().description());
  const auto value = [&](const char* key, const char* fallback) {
    auto v = (*store)->state(key);
    return v && *v ? **v : std::string(fallback);
  };
  std::printf("State: %s\n", value(DomainManager::kDomainStateKey, "unknown").c_str());
  if (auto reason = (*store)->state(DomainManager::kDisconnectReasonKey); reason && *reason)
    std::printf("Disconnected: %s\n", (*reason)->c_str());
  const auto domainError = value(ChangeSynchronizer::kDomainErrorKey, "");
  std::printf("Server: %s\n", domainError == ChangeSynchronizer::kServerUnreachable ? "unreachable"
                              : domainError == ChangeSynchronizer::kNotAuthenticated
                                  ? "sign-in required"
                                  : "reachable");
  auto used = (*store)->cacheUsage();
  auto present = (*store)->presentContents();
  std::printf("Cache: %lld bytes in %zu files\n", static_cast<long long>(used.value_or(0)),
              present ? present->size() : std::size_t{0});
  // Files written here that the cloud has not confirmed: waiting, or refused with the reason.
  if (auto edits = (*store)->localEdits(); edits && !edits->empty()) {
    std::printf("Uploads not done: %zu\n", edits->size());
    for (const auto& e : *edits) {
      std::string where = "/" + e.filename;
      for (auto parent = (*store)->entry(e.parentInode);
           parent && *parent && (*parent)->inode != kRootInode;
           parent = (*store)->entry((*parent)->parentInode))
        where = "/" + (*parent)->filename + where;
      std::printf("  %s: %s\n", where.c_str(),
                  e.localError ? ("refused: " + *e.localError).c_str() : "waiting");
    }
  } else {
    std::puts("Uploads not done: 0");
  }
  std::printf("Last error: %s\n", value(DomainManager::kLastErrorKey, "none").c_str());
  std::printf("Last listing error: %s\n",
              value(ReplicaStore::kLastListingErrorKey, "none").c_str());
  std::printf("Last change error: %s\n", value(ReplicaStore::kLastChangeErrorKey, "none").c_str());
}

}  // namespace

std::optional<std::int64_t> parseCacheSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::size_t used = 0;
  long double number = 0;
  try {
    number = std::stold(text, &used);
  } catch (...) {
    return std::nullopt;
  }
  std::string unit = text.substr(used);
  for (auto& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (!unit.empty() && unit.back() == 'B') unit.pop_back();
  if (!unit.empty() && unit.back() == 'I') unit.pop_back();
  long double factor = 1;
  if (unit == "K")
    factor = 1024.0L;
  else if (unit == "M")
    factor = 1024.0L * 1024;
  else if (unit == "G")
    factor = 1024.0L * 1024 * 1024;
  else if (unit == "T")
    factor = 1024.0L * 1024 * 1024 * 1024;
  else if (!unit.empty())
    return std::nullopt;
  const long double bytes = number * factor;
  if (!(bytes >= 0) || bytes > 9.0e18L) return std::nullopt;
  return static_cast<std::int64_t>(bytes);
}

void addMountCommands(CLI::App& app) {
  auto* mount = app.add_subcommand("mount", "Present a drive as a folder (FUSE)");
  static std::string drive, mountPoint, cacheSize;
  static bool foreground = false;
  static int readyFd = -1;
  mount->add_option("DRIVE", drive, "The drive identifier")->required();
  mount->add_option("MOUNTPOINT", mountPoint, "An empty folder")->required();
  mount->add_flag("-f,--foreground", foreground, "Stay in the foreground until Ctrl-C");
  mount->add_option("--cache-size", cacheSize, "Limit of fetched contents (e.g. 10G; default 10G)");
  // Between `tarnix mount` and the process it starts to serve the drive.
  mount->add_option("--ready-fd", readyFd)->group("");
  mount->callback([] {
    std::int64_t limit = kDefaultCacheLimit;
    if (!cacheSize.empty()) {
      auto parsed = parseCacheSize(cacheSize);
      if (!parsed) return fail("tarnix mount: invalid cache size: " + cacheSize);
      limit = *parsed;
    }
    mountCommand(drive, mountPoint, foreground, limit, readyFd);
  });

  auto* unmount = app.add_subcommand("unmount", "Detach a mounted drive");
  static std::string unmountPoint;
  unmount->add_option("MOUNTPOINT", unmountPoint, "Where the drive is mounted")->required();
  unmount->callback([] { unmountCommand(unmountPoint); });

  auto* status = app.add_subcommand("status", "Show a drive's state, cache use and last errors");
  static std::string statusDrive;
  status->add_option("DRIVE", statusDrive, "The drive identifier")->required();
  status->callback([] { statusCommand(statusDrive); });
}

}  // namespace tarnix::host
