// `tarnix lock`, `unlock`, `refresh`, `crawl` and `action`: the drive's own actions on items (the
// ones a file browser's context menu offers), carried out by the drive's provider: the one of
// the mount that serves the drive, through its published services, or else one this command
// starts, serving the drive itself. `tarnix locks`: the cloud locks this machine holds.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ContainerStores.hpp"
#include "common/KnownPath.hpp"
#include "fileprovider/actions/CustomActionHandler.hpp"
#include "fileprovider/locking/LocalLocksProvider.hpp"
#include "fileprovider/sources/ProviderInstanceServiceSource.hpp"
#include "host/Commands.hpp"
#include "host/ServiceChannel.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"
#include "host/commands/ServedDrive.hpp"

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How long a command waits for a mount that holds the drive to be mounted and to publish its
// services.
constexpr auto kMountWait = 30s;
// How long an action may take (a crawl lists every folder below the selection).
constexpr auto kActionWait = 10min;

void fail(const std::string& message) {
  std::fprintf(stderr, "tarnix: %s\n", message.c_str());
  setCommandExitStatus(1);
}

enum class Accepts { files, folders, items };

struct Action {
  /// The suffix after the actions' prefix (".Lock").
  std::string suffix;
  Accepts accepts = Accepts::items;
  /// What is printed for each path done ("Locked").
  std::string done;
};

std::string describeAccepted(Accepts accepts) {
  switch (accepts) {
    case Accepts::files:
      return "only files";
    case Accepts::folders:
      return "only folders";
    case Accepts::items:
      break;
  }
  return "files and folders";
}

// An item found for a path given on the command line.
struct Selected {
  std::string path;
  std::string identifier;
  bool isFolder = false;
};

// Who carries the action out: a mount (its services and its files) or this command's own
// session.
class Performer {
 public:
  virtual ~Performer() = default;
  virtual std::expected<Selected, std::string> find(const std::string& path) = 0;
  virtual std::expected<ServiceEndpoints, std::string> endpoints() = 0;
};

class MountPerformer final : public Performer {
 public:
  MountPerformer(fs::path mountPoint, fs::path stateDirectory)
      : mountPoint_(std::move(mountPoint)), stateDirectory_(std::move(stateDirectory)) {}

  std::expected<Selected, std::string> find(const std::string& path) override {
    const fs::path local = mountPoint_ / fs::path(path).relative_path();
    struct stat st {};
    if (::stat(local.c_str(), &st) != 0) return std::unexpected(path + ": " + std::strerror(errno));
    std::string identifier(4096, '\0');
    const ssize_t n =
        ::getxattr(local.c_str(), "user.tarnix.identifier", identifier.data(), identifier.size());
    if (n <= 0) return std::unexpected(path + ": the mount does not name its item");
    identifier.resize(static_cast<std::size_t>(n));
    return Selected{path, identifier, S_ISDIR(st.st_mode)};
  }

  std::expected<ServiceEndpoints, std::string> endpoints() override {
    // Published right after the drive is mounted.
    const auto deadline = std::chrono::steady_clock::now() + kMountWait;
    auto published = readPublishedServices(stateDirectory_);
    while (!published && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(100ms);
      published = readPublishedServices(stateDirectory_);
    }
    return published;
  }

 private:
  fs::path mountPoint_;
  fs::path stateDirectory_;
};

class SessionPerformer final : public Performer {
 public:
  explicit SessionPerformer(std::unique_ptr<DomainSession> session)
      : session_(std::move(session)) {}

  std::expected<Selected, std::string> find(const std::string& path) override {
    auto item = session_->itemAtPath(path);
    if (!item) return std::unexpected(item.error());
    return Selected{path, (*item)->itemIdentifier().rawValue(), (*item)->isFolder()};
  }
  std::expected<ServiceEndpoints, std::string> endpoints() override {
    return rootServiceEndpoints(session_->extension());
  }

 private:
  std::unique_ptr<DomainSession> session_;
};

// Reaches whoever serves `drive`: its mount, or this command (which then serves it).
std::expected<std::unique_ptr<Performer>, std::string> performerFor(const ResolvedDrive& drive) {
  auto lease = leaseForChange(drive, kMountWait);
  if (!lease) return std::unexpected(lease.error());
  if (lease->server)
    return std::make_unique<MountPerformer>(lease->server->mountPoint, drive.stateDirectory);
  auto session = DomainSession::open(drive, std::move(lease->lock));
  if (!session) return std::unexpected(session.error());
  return std::make_unique<SessionPerformer>(std::move(*session));
}

// Actions that mean nothing on this system, with what to use instead.
std::optional<std::string> unavailableHere(const std::string& suffix) {
  if (suffix == ".ViewOnline") return "use `tarnix open-web`";
  if (suffix == ".CopyLink" || suffix == ".CopyDirectLink" || suffix == ".CopyDesktopLink")
    return "use `tarnix link`";
  if (suffix == ".Subscribe" || suffix == ".Unsubscribe")
    return "keeping folders offline is not part of this version";
  if (suffix == ".ViewLinkOptions" || suffix == ".PartnerIntegrations" ||
      suffix == ".SearchFolder" || suffix == ".CreateShortcut" || suffix == ".CreateNewDocument" ||
      suffix == ".FileLevelUI" || suffix == ".Duplicate" || suffix == ".Debug.WebViewPlayground")
    return "it needs the desktop application's windows, which this system does not have";
  return std::nullopt;
}

void perform(const std::string& drive, const Action& action,
             const std::vector<std::string>& paths) {
  if (auto instead = unavailableHere(action.suffix)) {
    return fail("the action " + action.suffix.substr(1) +
                " is not available on Linux: " + *instead);
  }
  auto resolved = resolveDrive(drive);
  if (!resolved) return fail(resolved.error());
  auto performer = performerFor(*resolved);
  if (!performer) return fail(performer.error());
  std::vector<Selected> selected;
  for (const auto& path : paths) {
    auto found = (*performer)->find(path);
    if (!found) {
      fail(found.error());
      continue;
    }
    const bool fits =
        action.accepts == Accepts::items || (action.accepts == Accepts::folders) == found->isFolder;
    if (!fits) {
      fail(path + ": " + action.suffix.substr(1) + " takes " + describeAccepted(action.accepts));
      continue;
    }
    selected.push_back(std::move(*found));
  }
  if (selected.empty()) return;
  auto endpoints = (*performer)->endpoints();
  if (!endpoints) return fail(endpoints.error());
  auto service = endpoints->find(fileprovider::kProviderInstanceServiceName);
  if (service == endpoints->end()) return fail("the drive's provider offers no actions");
  auto identifiers = base::JSONValue::array();
  for (const auto& s : selected) identifiers.push_back(s.identifier);
  const std::string identifier =
      std::string(fileprovider::kFileProviderActionsPrefix) + action.suffix;
  auto done = callService(service->second, "performAction",
                          {{"actionIdentifier", identifier}, {"itemIdentifiers", identifiers}},
                          kActionWait);
  if (!done) {
    std::string names;
    for (const auto& s : selected) names += (names.empty() ? "" : ", ") + s.path;
    return fail(names + ": " + done.error());
  }
  for (const auto& s : selected) std::printf("%s %s\n", action.done.c_str(), s.path.c_str());
}

// "Lock", ".Lock" or the whole identifier, as the action's suffix.
std::string suffixOf(const std::string& given) {
  const std::string prefix(fileprovider::kFileProviderActionsPrefix);
  if (given.starts_with(prefix)) return given.substr(prefix.size());
  return given.starts_with(".") ? given : "." + given;
}

Accepts acceptedBy(const std::string& suffix) {
  if (suffix == ".Lock" || suffix == ".Unlock") return Accepts::files;
  if (suffix == ".Debug.Crawl" || suffix == ".Debug.ForceRefresh" || suffix == ".Subscribe" ||
      suffix == ".Unsubscribe")
    return Accepts::folders;
  return Accepts::items;
}

std::string timeText(const base::Date& date) {
  const std::time_t seconds = static_cast<std::time_t>(base::millisecondsSince1970(date) / 1000);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  char text[64];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

void listLocks(const std::string& drive) {
  auto root = common::appGroupContainerRoot();
  if (!root) return fail("no container folder (set TARNIX_HOME or HOME)");
  auto stores = common::ContainerStores::open(root, base::Logger::null());
  if (!stores) return fail(stores.error().message);
  std::optional<std::string> only;
  if (!drive.empty()) {
    auto resolved = resolveDrive(drive);
    if (!resolved) return fail(resolved.error());
    only = resolved->identifier;
  }
  const common::KnownPathResolver paths(root);
  auto provider = std::make_shared<fileprovider::LocalLocksProvider>(
      stores->driveRepository, stores->group,
      [&paths](const common::Drive& d) -> std::optional<fs::path> {
        auto folder = paths.knownPathURL(common::KnownPath{common::KnownPath::Drive{d.identifier}});
        if (!folder) return std::nullopt;
        auto holder = DriveLock::holder(*folder / "Host");
        if (!holder || !holder->isMount()) return std::nullopt;
        return holder->mountPoint;
      },
      base::Logger::null());
  std::vector<fileprovider::LocalLocksEntry> entries;
  std::promise<void> read;
  provider->reload([&](const std::vector<fileprovider::LocalLocksEntry>& all) {
    entries = all;
    read.set_value();
  });
  read.get_future().wait();
  std::size_t shown = 0;
  for (const auto& e : entries) {
    if (only && e.drive.identifier != *only) continue;
    ++shown;
    std::string holders;
    for (const auto& app : e.lock.lockingApplications)
      holders += (holders.empty() ? "" : ", ") + app.name;
    std::printf("%s\t%s\t%s\tuntil %s%s%s\n", e.drive.label.c_str(), e.cloudPath.c_str(),
                e.lock.source.isManual() ? "manual" : "automatic",
                timeText(e.lock.expirationDate).c_str(), holders.empty() ? "" : "\tfor ",
                holders.c_str());
  }
  if (shown == 0) std::printf("No locks\n");
}

}  // namespace

void addActionCommands(CLI::App& app) {
  struct Named {
    const char* command;
    const char* help;
    Action action;
    const char* pathHelp;
  };
  const Named named[] = {
      {"lock",
       "Lock files on the cloud for you (a manual lock, for the drive's lock duration)",
       {".Lock", Accepts::files, "Locked"},
       "The files, from the drive's root"},
      {"unlock",
       "Release your locks of files",
       {".Unlock", Accepts::files, "Unlocked"},
       "The files, from the drive's root"},
      {"refresh",
       "List folders again from the cloud, with their locks",
       {".Debug.ForceRefresh", Accepts::folders, "Refreshed"},
       "The folders, from the drive's root"},
      {"crawl",
       "List folders and every folder below them from the cloud",
       {".Debug.Crawl", Accepts::folders, "Crawled"},
       "The folders, from the drive's root"},
  };
  for (const auto& n : named) {
    auto* command = app.add_subcommand(n.command, n.help);
    auto drive = std::make_shared<std::string>();
    auto paths = std::make_shared<std::vector<std::string>>();
    command->add_option("drive", *drive, "The drive's identifier or label")->required();
    command->add_option("paths", *paths, n.pathHelp)->required();
    command->callback([drive, paths, action = n.action] { perform(*drive, action, *paths); });
  }

  auto* action = app.add_subcommand(
      "action", "Carry out one of the drive's actions on items (Lock, Unlock, Debug.Crawl, ...)");
  auto drive = std::make_shared<std::string>();
  auto name = std::make_shared<std::string>();
  auto paths = std::make_shared<std::vector<std::string>>();
  action->add_option("drive", *drive, "The drive's identifier or label")->required();
  action->add_option("action", *name, "The action's name")->required();
  action->add_option("paths", *paths, "The items, from the drive's root")->required();
  action->callback([drive, name, paths] {
    const auto suffix = suffixOf(*name);
    perform(*drive, Action{suffix, acceptedBy(suffix), "Done: " + suffix.substr(1) + " for"},
            *paths);
  });

  auto* locks = app.add_subcommand("locks", "List the cloud locks held from this machine");
  auto locksDrive = std::make_shared<std::string>();
  locks->add_option("drive", *locksDrive, "Only this drive's (identifier or label)");
  locks->callback([locksDrive] { listLocks(*locksDrive); });
}

}  // namespace tarnix::host
