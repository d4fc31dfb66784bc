// Support commands a user or supporter runs against their own drive: one listing of a cloud
// folder, and whether the drive's cloud answers. Credentials are never printed.
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>

#include "base/Date.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "common/AccountKeychainStorage.hpp"
#include "common/CloudConfigurationStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/DriveRepository.hpp"
#include "common/KnownPath.hpp"
#include "common/MainDatabase.hpp"
#include "host/Commands.hpp"
#include "host/commands/CloudUser.hpp"
#include "host/commands/Commands.hpp"
#include "platform/FileManager.hpp"
#include "platform/KeychainItemStore.hpp"

namespace tarnix::host {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerTimeout = 120s;

void fail(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  setCommandExitStatus(1);
}

// The container of this process's environment, the drive named on the command line and a
// session to its cloud.
struct DriveContext {
  std::shared_ptr<common::DesktopAppGroup> group;
  common::Drive drive;
  CloudConnection connection;
  std::shared_ptr<cloudfs::CloudFSSession> session;
};

std::expected<DriveContext, std::string> openDrive(const std::string& nameOrIdentifier) {
  auto logger = base::Logger("com.tarnix.cli");
  auto definitions =
      common::DesktopAppGroupDefinitions::make(common::appGroupContainerRoot(), logger);
  if (!definitions) return std::unexpected(definitions.error().message);
  auto group = common::DesktopAppGroup::make(std::move(*definitions), logger);
  if (!group) return std::unexpected(group.error().message);
  auto databasePath = (*group)->knownPaths().knownPathURL(common::KnownPath::mainDatabase(), true);
  auto configurationsPath =
      (*group)->knownPaths().knownPathURL(common::KnownPath::cloudConfigurations(), true);
  if (!databasePath || !configurationsPath) {
    return std::unexpected("Unable to create the container's folders");
  }
  auto database = common::MainDatabase::open(*databasePath, logger);
  if (!database) {
    return std::unexpected("Opening the main database failed: " + database.error().message);
  }
  auto keychain = std::make_shared<common::AccountKeychainStorage>(
      std::make_shared<platform::KeychainItemStore>((*group)->internalDataURL() / "Credentials"),
      logger);
  auto configurations = std::make_shared<common::CloudConfigurationStorage>(
      *configurationsPath, platform::FileManager::local(), logger);
  common::DriveRepository repository(*database, keychain, configurations, nullptr, logger);
  auto drives = repository.allDrives();
  if (!drives) return std::unexpected(drives.error().message);
  const common::Drive* found = nullptr;
  for (const auto& drive : *drives) {
    if (drive.identifier == nameOrIdentifier || drive.label == nameOrIdentifier) {
      found = &drive;
      break;
    }
  }
  if (!found)
    return std::unexpected("No drive with label or identifier '" + nameOrIdentifier + "'");

  DriveContext context;
  context.group = *group;
  context.drive = *found;
  context.connection = CloudConnection::open(**group, context.drive, logger);
  context.session = context.connection.session;
  return context;
}

using Answer =
    std::expected<std::pair<std::string, cloudfs::HTTPURLResponse>, cloudfs::CloudFSSessionError>;

std::optional<Answer> ask(cloudfs::CloudFSSession& session,
                          const cloudfs::CloudFSRequestPrototype& request) {
  auto future = session.data(request, cloudfs::TarnixURLRequestOptions::none());
  if (future.wait_for(kAnswerTimeout) != std::future_status::ready) return std::nullopt;
  return future.get();
}

// "HTTP 403: Permission denied" from a failed answer's status and error body.
std::string statusText(const std::string& body, const cloudfs::HTTPURLResponse& head) {
  cloudfs::CloudFSResponse response{head, body, std::nullopt};
  auto error = cloudfs::CloudFSErrorResponse::parse(response);
  std::string text = "HTTP " + std::to_string(head.statusCode);
  if (auto message = error.message ? error.message : error.errorMessage) text += ": " + *message;
  return text;
}

std::string dateText(std::int64_t milliseconds) {
  return base::formatISO8601(base::dateFromMillisecondsSince1970(milliseconds));
}

// The drive's root is its cloud start path; PATH names a folder below it.
std::string cloudPath(const std::string& startPath, const std::string& path) {
  std::string root = startPath.empty() ? "/" : startPath;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string relative = path;
  while (!relative.empty() && relative.front() == '/') relative.erase(0, 1);
  if (relative.empty()) return root;
  return root == "/" ? "/" + relative : root + "/" + relative;
}

void list(const std::string& driveName, const std::string& path) {
  auto context = openDrive(driveName);
  if (!context) return fail(context.error());
  cloudfs::ListingByPathRequest request(cloudPath(context->drive.cloudStartPath, path));
  request.includeChecksum = true;
  request.includeUploadedBy = true;
  request.includeMoveDeletePermittedInfo = true;
  auto answer = ask(*context->session, request);
  if (!answer) return fail("The cloud did not answer in time");
  if (!*answer) return fail(cloudfs::describe(answer->error()));
  const auto& [body, head] = **answer;
  if (head.statusCode != 200) return fail(statusText(body, head));
  cloudfs::CloudFSResponse response{head, body, std::nullopt};
  auto listing = cloudfs::ListingResponse::decode(response);
  if (!listing) return fail("Unreadable listing: " + listing.error().description());
  auto version = cloudfs::ListingResponse::entityTag(response);
  std::printf("%s\tfolder %s\t%s\tversion %s\n", listing->path.c_str(), listing->folderID.c_str(),
              listing->permission.c_str(), version ? version->c_str() : "(none)");
  for (const auto& folder : listing->folders) {
    std::printf("d\t%s\t%s\t%s\t%s\n", folder.name.c_str(), folder.folderID.c_str(),
                folder.permission.c_str(), dateText(folder.lastModified).c_str());
  }
  for (const auto& file : listing->files) {
    std::printf("f\t%s\t%s\t%lld\t%s\t%s%s\n", file.name.c_str(), file.groupID.c_str(),
                static_cast<long long>(file.size), dateText(file.lastModified).c_str(),
                file.checksum.value_or("-").c_str(), file.locked ? "\tlocked" : "");
  }
}

void ping(const std::string& driveName) {
  auto context = openDrive(driveName);
  if (!context) return fail(context.error());
  std::printf("drive %s (%s) on %s\n", context->drive.label.c_str(),
              context->drive.identifier.c_str(), context->drive.domain.c_str());
  bool ok = true;

  auto discovery = ask(*context->session, cloudfs::ServiceDiscoveryRequest());
  if (!discovery) {
    std::printf("service discovery: no answer\n");
    ok = false;
  } else if (!*discovery) {
    std::printf("service discovery: failed: %s\n", cloudfs::describe(discovery->error()).c_str());
    ok = false;
  } else if (const auto& [body, head] = **discovery; head.statusCode != 200) {
    std::printf("service discovery: %s\n", statusText(body, head).c_str());
    ok = false;
  } else {
    auto decoded =
        cloudfs::ServiceDiscoveryResponse::decode(cloudfs::CloudFSResponse{head, body, {}});
    if (!decoded) {
      std::printf("service discovery: unreadable answer: %s\n",
                  decoded.error().description().c_str());
      ok = false;
    } else {
      std::printf("service discovery: ok, refresh every %g s, events at %s\n",
                  decoded->refreshInterval, decoded->eventsServer.value_or("(none)").c_str());
    }
  }

  const auto start = std::chrono::steady_clock::now();
  auto beat = ask(*context->session, cloudfs::HeartBeatRequest());
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (!beat) {
    std::printf("heart beat: no answer\n");
    ok = false;
  } else if (!*beat) {
    std::printf("heart beat: failed: %s\n", cloudfs::describe(beat->error()).c_str());
    ok = false;
  } else if (const int status = (*beat)->second.statusCode; status < 200 || status >= 300) {
    std::printf("heart beat: HTTP %d\n", status);
    ok = false;
  } else {
    std::printf("heart beat: ok, HTTP %d in %lld ms\n", status,
                static_cast<long long>(elapsed.count()));
  }
  if (!ok) setCommandExitStatus(1);
}

}  // namespace

void addCloudCommands(CLI::App& app) {
  auto* cloud = app.add_subcommand("cloud", "Talk to a drive's cloud");
  cloud->require_subcommand(1);

  auto* ls = cloud->add_subcommand("ls", "List a cloud folder of a drive (one listing request)");
  auto drive = std::make_shared<std::string>();
  auto path = std::make_shared<std::string>("/");
  ls->add_option("DRIVE", *drive, "Label or identifier of the drive")->required();
  ls->add_option("PATH", *path, "Folder below the drive's root (default: the root)");
  ls->callback([drive, path] { list(*drive, *path); });

  auto* pingCommand =
      cloud->add_subcommand("ping", "Check service discovery and the heart beat of a drive");
  auto pingDrive = std::make_shared<std::string>();
  pingCommand->add_option("DRIVE", *pingDrive, "Label or identifier of the drive")->required();
  pingCommand->callback([pingDrive] { ping(*pingDrive); });
}

}  // namespace tarnix::host
