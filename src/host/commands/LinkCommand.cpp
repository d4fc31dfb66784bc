// `tarnix link DRIVE PATH` and `tarnix open-web DRIVE PATH [--open]`: the shared link of an
// item and the address of the cloud's web page that shows it, as the file browser's "copy
// link" and "view in cloud" actions ask for them. The item is found as `stat` finds it (see
// DomainSession), so the commands only read the drive and run beside a mount; the cloud is
// then asked directly with the account's credentials. What the cloud answers is printed only
// when it is an http(s) URL.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>

#include "cloudfs/requests/LinkRequests.hpp"
#include "cloudfs/responses/LinkResponses.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "fileprovider/items/FileProviderItem.hpp"
#include "host/Commands.hpp"
#include "host/commands/CloudUser.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"

extern char** environ;

namespace tarnix::host {
namespace {

using namespace std::chrono_literals;

// Longer than a request to the cloud may take, so that a slow cloud's own error arrives first.
constexpr auto kAnswerWait = 90s;
// Deeper than any real tree; a parent chain longer than this is a loop.
constexpr int kMaxDepth = 4096;

void fail(const std::string& message) {
  std::fprintf(stderr, "tarnix: %s\n", message.c_str());
  setCommandExitStatus(1);
}

// The drive's root is its cloud start path; `names` lead from it to the item.
std::string joinCloudPath(std::string root, const std::vector<std::string>& names) {
  if (root.empty()) root = "/";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  for (const auto& name : names) root += (root == "/" ? "" : "/") + name;
  return root;
}

// The item at `path` of the drive as the request names it: its cloud path is built from the
// names the cloud gave the item and its folders (the user's `path` may differ in case).
std::expected<cloudfs::LinkItem, std::string> linkItemAt(DomainSession& session,
                                                         const common::Drive& drive,
                                                         const std::string& path) {
  auto found = session.itemAtPath(path);
  if (!found) return std::unexpected(found.error());
  const auto* item = dynamic_cast<const fileprovider::FileProviderItem*>(found->get());
  if (!item) return std::unexpected(path + ": the drive gave no cloud item for it");
  std::vector<std::string> names;
  fp::ItemPtr current = *found;
  for (int depth = 0; !current->itemIdentifier().isRootContainer(); ++depth) {
    if (depth == kMaxDepth) return std::unexpected(path + ": its folders do not lead to the root");
    names.insert(names.begin(), current->filename());
    auto parent = session.item(current->parentItemIdentifier());
    if (!parent) return std::unexpected(path + ": " + parent.error());
    current = std::move(*parent);
  }
  const auto& syncItem = item->syncItem();
  auto cloudPath = joinCloudPath(drive.cloudStartPath, names);
  if (syncItem.cloudIdentifier)
    return cloudfs::LinkItem::make(cloudPath, *syncItem.cloudIdentifier);
  return cloudfs::LinkItem{cloudPath,
                           item->isFolder() ? common::ItemType::folder : common::ItemType::file,
                           std::nullopt};
}

// Sends `request` to the drive's cloud and reads the URL, member `url` of its `Decoded`
// answer; failures are sentences naming `path` for the user.
template <class Decoded>
std::expected<std::string, std::string> askForURL(const ResolvedDrive& drive,
                                                  const std::string& path,
                                                  const cloudfs::CloudFSRequestPrototype& request,
                                                  std::string Decoded::*url) {
  const auto& host = drive.drive.domain;
  auto connection =
      CloudConnection::open(*drive.group, drive.drive, base::Logger("com.tarnix.cli"));
  auto future = connection.session->data(request, cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(kAnswerWait) != std::future_status::ready)
    return std::unexpected(path + ": the cloud " + host + " did not answer in time");
  auto answer = future.get();
  if (!answer) {
    return std::unexpected(path + ": the cloud " + host +
                           " was not reached: " + cloudfs::describe(answer.error()));
  }
  const auto& [body, head] = *answer;
  const cloudfs::CloudFSResponse response{head, body, std::nullopt};
  if (head.statusCode < 200 || head.statusCode >= 300) {
    const auto error = cloudfs::CloudFSErrorResponse::parse(response);
    const auto message = error.message ? error.message : error.errorMessage;
    return std::unexpected(path + ": the cloud " + host + " refused: HTTP " +
                           std::to_string(head.statusCode) + (message ? ": " + *message : ""));
  }
  auto decoded = Decoded::decode(response);
  if (!decoded) {
    return std::unexpected(path + ": the cloud " + host +
                           " gave an unreadable answer: " + decoded.error().description());
  }
  return std::move(*decoded.*url);
}

// Hands `url` to xdg-open, whose own output goes to standard error so that standard output
// holds only the URL.
std::expected<void, std::string> openInBrowser(const std::string& url) {
  std::fflush(stdout);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
  std::string program = "xdg-open";
  std::string argument = url;
  char* args[] = {program.data(), argument.data(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == ENOENT)
    return std::unexpected("xdg-open was not found; open the URL above yourself");
  if (spawned != 0)
    return std::unexpected(std::string("xdg-open could not be started: ") + std::strerror(spawned));
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected("xdg-open could not be waited for");
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
  return std::unexpected("xdg-open failed to open the URL (" +
                         (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                            : std::string("ended by a signal")) +
                         ")");
}

enum class Page { sharedLink, viewOnline };

void printURL(const std::string& driveName, const std::string& path, Page page, bool open) {
  auto drive = resolveDrive(driveName);
  if (!drive) return fail(drive.error());
  auto session = DomainSession::open(*drive);
  if (!session) return fail(session.error());
  auto item = linkItemAt(**session, drive->drive, path);
  if (!item) return fail(item.error());
  auto url = page == Page::sharedLink
                 ? askForURL(*drive, path, cloudfs::CopyDefaultLinkRequest(*item),
                             &cloudfs::CopyDefaultLinkResponse::link)
                 : askForURL(*drive, path, cloudfs::ViewOnlineRequest(*item),
                             &cloudfs::ViewOnlineResponse::url);
  if (!url) return fail(url.error());
  std::printf("%s\n", url->c_str());
  if (!open) return;
  if (auto opened = openInBrowser(*url); !opened) fail(opened.error());
}

}  // namespace

void addLinkCommands(CLI::App& app) {
  auto* link = app.add_subcommand("link", "Print the shared link of an item of a drive");
  auto linkDrive = std::make_shared<std::string>();
  auto linkPath = std::make_shared<std::string>();
  link->add_option("drive", *linkDrive, "The drive's identifier or label")->required();
  link->add_option("path", *linkPath, "The item, from the drive's root")->required();
  link->callback(
      [linkDrive, linkPath] { printURL(*linkDrive, *linkPath, Page::sharedLink, false); });

  auto* web = app.add_subcommand(
      "open-web", "Print the address of the cloud's web page that shows an item of a drive");
  auto webDrive = std::make_shared<std::string>();
  auto webPath = std::make_shared<std::string>();
  auto open = std::make_shared<bool>(false);
  web->add_option("drive", *webDrive, "The drive's identifier or label")->required();
  web->add_option("path", *webPath, "The item, from the drive's root")->required();
  web->add_flag("--open", *open, "Also open the page with xdg-open");
  web->callback(
      [webDrive, webPath, open] { printURL(*webDrive, *webPath, Page::viewOnline, *open); });
}

}  // namespace tarnix::host
