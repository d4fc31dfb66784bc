// `tarnix mount`, `tarnix unmount` and `tarnix status`: a drive as a FUSE file system.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "common/ContainerStores.hpp"
#include "common/DriveLookup.hpp"
#include "common/KnownPath.hpp"
#include "host/Commands.hpp"
#include "host/DomainManager.hpp"
#include "host/EvictionPolicy.hpp"
#include "host/ExtensionRegistry.hpp"
#include "host/FuseMount.hpp"
#include "host/MountedDomain.hpp"
#include "host/commands/Commands.hpp"

extern char** environ;

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;

void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  setCommandExitStatus(1);
}

// The drive a user names by label or identifier, and the folder of the host's state for it
// (inside the drive's folder, so that removing the drive removes its replica too).
struct ResolvedDrive {
  std::string identifier;
  std::string label;
  fs::path stateDirectory;
};

std::expected<ResolvedDrive, std::string> resolveDrive(const std::string& labelOrIdentifier) {
  auto root = common::appGroupContainerRoot();
  if (!root) return std::unexpected("no container folder (set TARNIX_HOME or HOME)");
  auto stores = common::ContainerStores::open(root, base::Logger::null());
  if (!stores) return std::unexpected(stores.error().message);
  auto drive = common::findDrive(*stores->driveRepository, labelOrIdentifier);
  if (!drive) return std::unexpected(drive.error().message);
  auto folder = common::KnownPathResolver(root).knownPathURL(
      common::KnownPath{common::KnownPath::Drive{drive->identifier}});
  if (!folder) return std::unexpected("no folder for drive " + drive->identifier);
  return ResolvedDrive{drive->identifier, drive->label, *folder / "Host"};
}

void mountCommand(const std::string& drive, const std::string& mountPoint, bool foreground,
                  std::int64_t cacheSize) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return fail("tarnix mount: " + resolved.error());
  auto factory = registeredExtensionFactory();
  if (!factory)
    return fail("tarnix mount: no provider is available yet for drive " + drive +
                "; this build cannot present drives");
  std::error_code ec;
  const fs::path point = fs::absolute(mountPoint, ec);
  if (ec || !fs::is_directory(point))
    return fail("tarnix mount: " + mountPoint + " is not a folder");

  if (!foreground) {
    // The mount is served by a fresh process of its own, started without forking this one.
    std::vector<std::string> args = {"/proc/self/exe",         "mount", drive,
                                     point.string(),           "-f",    "--cache-size",
                                     std::to_string(cacheSize)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) return fail("tarnix mount: cannot start the mount process");
    for (int i = 0; i < 300; ++i) {
      if (isFuseMounted(point)) {
        std::printf("Mounted %s at %s\n", drive.c_str(), point.string().c_str());
        return;
      }
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid)
        return fail("tarnix mount: the mount process ended before mounting");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fail("tarnix mount: the drive was not mounted within 30 seconds");
  }

  MountOptions options;
  options.domain = fp::Domain{fp::DomainIdentifier(resolved->identifier), resolved->label};
  options.mountPoint = point;
  options.stateDirectory = resolved->stateDirectory;
  options.cacheLimit = cacheSize;
  auto mounted = MountedDomain::mount(options, *factory, base::Logger("com.tarnix.Host"));
  if (!mounted) return fail("tarnix mount: FUSE cannot be used here: " + mounted.error());
  std::printf("Mounted %s at %s (Ctrl-C unmounts)\n", drive.c_str(), point.string().c_str());
  std::fflush(stdout);
  const int status = (*mounted)->run(true);
  (*mounted)->unmount();
  std::printf("Unmounted %s\n", point.string().c_str());
  if (status != 0) setCommandExitStatus(status);
}

void unmountCommand(const std::string& mountPoint) {
  if (auto done = unmountFuse(mountPoint); !done) return fail("tarnix unmount: " + done.error());
  std::printf("Unmounted %s\n", mountPoint.c_str());
}

void statusCommand(const std::string& drive) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return fail("tarnix status: " + resolved.error());
  std::printf("Drive: %s (%s)\n", resolved->label.c_str(), resolved->identifier.c_str());
  const auto path = MountedDomain::storePath(resolved->stateDirectory);
  if (!fs::exists(path)) {
    std::puts("State: never mounted");
    return;
  }
  auto store = ReplicaStore::open(path, common::Database::Mode::readOnly);
  if (!store) return fail("tarnix status: " + store.error().description());
  const auto value = [&](const char* key, const char* fallback) {
    auto v = (*store)->state(key);
    return v && *v ? **v : std::string(fallback);
  };
  std::printf("State: %s\n", value(DomainManager::kDomainStateKey, "unknown").c_str());
  if (auto reason = (*store)->state(DomainManager::kDisconnectReasonKey); reason && *reason)
    std::printf("Disconnected: %s\n", (*reason)->c_str());
  auto used = (*store)->cacheUsage();
  auto present = (*store)->presentContents();
  std::printf("Cache: %lld bytes in %zu files\n", static_cast<long long>(used.value_or(0)),
              present ? present->size() : std::size_t{0});
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
  mount->add_option("DRIVE", drive, "The drive identifier")->required();
  mount->add_option("MOUNTPOINT", mountPoint, "An empty folder")->required();
  mount->add_flag("-f,--foreground", foreground, "Stay in the foreground until Ctrl-C");
  mount->add_option("--cache-size", cacheSize, "Limit of fetched contents (e.g. 10G; default 10G)");
  mount->callback([] {
    std::int64_t limit = kDefaultCacheLimit;
    if (!cacheSize.empty()) {
      auto parsed = parseCacheSize(cacheSize);
      if (!parsed) return fail("tarnix mount: invalid cache size: " + cacheSize);
      limit = *parsed;
    }
    mountCommand(drive, mountPoint, foreground, limit);
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
