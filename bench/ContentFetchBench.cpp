// Times the provider's fetchContents of one file from a running cloud (see
// bench/fetch-contents.sh, which starts the emulator and compares with curl in the same run).
//
//   ContentFetchBench HOME HOST TOKEN FOLDER_ID GROUP_ID ENTRY_ID SIZE
//
// Writes an account and a drive on HOST into the container HOME (which must be the
// environment's TARNIX_HOME), stores the drive's root folder FOLDER_ID and the file, starts the
// drive's domain the way the host does, fetches the file three times and prints the best
// throughput in bytes per second.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>

#include "common/AccountKeychainStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/DriveDatabase.hpp"
#include "common/KnownPath.hpp"
#include "common/MainDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "host/commands/DomainSession.hpp"
#include "platform/KeychainItemStore.hpp"

using namespace tarnix;

namespace {

constexpr const char* kAccount = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
constexpr const char* kTimestamp = "2026-01-01T00:00:00.000Z";

int fail(const std::string& message) {
  std::fprintf(stderr, "ContentFetchBench: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    // Run among the other benchmarks without a cloud: the script runs it.
    std::printf("ContentFetchBench runs through bench/fetch-contents.sh\n");
    return 0;
  }
  const std::filesystem::path home = argv[1];
  const std::string host = argv[2], token = argv[3], folderID = argv[4], groupID = argv[5],
                    entryID = argv[6];
  const std::int64_t size = std::stoll(argv[7]);
  auto logger = base::Logger::null();

  auto definitions = common::DesktopAppGroupDefinitions::make(home, logger);
  if (!definitions) return fail("no container");
  auto group = common::DesktopAppGroup::make(std::move(*definitions), logger);
  if (!group) return fail("no container");
  auto databasePath = (*group)->knownPaths().knownPathURL(common::KnownPath::mainDatabase(), true);
  if (!databasePath) return fail("no main database path");
  {
    auto database = common::MainDatabase::open(*databasePath, logger);
    if (!database) return fail("main database: " + database.error().message);
    if (!(*database)->execute("INSERT INTO Accounts(accountIdentifier, domain, userName, email, "
                              "workgroupIdentifier, userIdentifier, cloudConfigurationTimestamp, "
                              "authenticationTimestamp) VALUES(?,?,?,?,?,?,?,?)",
                              {kAccount, host, "alice", "alice@example.com", "wg", std::int64_t{1},
                               kTimestamp, kTimestamp}) ||
        !(*database)->execute("INSERT INTO Drives(driveIdentifier, accountIdentifier, label, "
                              "cloudStartPath, shouldBeConnected, isConnected) "
                              "VALUES(?,?,?,?,1,1)",
                              {kDrive, kAccount, "Bench", "/Shared/bench"})) {
      return fail("writing the account and drive failed");
    }
  }
  common::AccountKeychainStorage keychain(
      std::make_shared<platform::KeychainItemStore>((*group)->internalDataURL() / "Credentials"),
      logger);
  if (!keychain.setAuthentication(common::AccountAuthentication::oauth(token, "refresh"),
                                  kTimestamp, kAccount)) {
    return fail("storing the credentials failed");
  }

  common::SyncItem file;
  file.itemIdentifier = common::SyncFileIdentifier::make();
  {
    auto driveDirectory =
        (*group)->knownPaths().knownPathURL(common::KnownPath::drive(kDrive), true);
    if (!driveDirectory) return fail("no drive folder");
    auto database = common::DriveDatabase::open(*driveDirectory, kDrive);
    if (!database) return fail("drive database: " + database.error().description());
    auto storage = common::SyncItemStorage::make((*database)->dbQueue(), "/Shared/bench", nullptr);
    if (!storage) return fail("item store");
    common::SyncItem root;
    root.itemIdentifier = common::SyncFolderIdentifier{"00000000-0000-4000-8000-0000000be7c4"};
    root.filename = "bench";
    root.cloudIdentifier = common::CloudFolderIdentifier{folderID};
    root.permission = common::SyncItemPermission::owner;
    if (!(*storage)->setRootItem(root)) return fail("storing the root failed");
    file.parentItemIdentifier = *root.itemIdentifier.folder();
    file.filename = "big.bin";
    file.cloudIdentifier = common::CloudGroupIdentifier{groupID};
    file.contentVersion = common::CloudEntryIdentifier{entryID};
    file.contentSize = size;
    file.permission = common::SyncItemPermission::editor;
    common::SyncItemListPatch patch;
    patch.createdItems = {file};
    if (!(*storage)->apply(patch, false)) return fail("storing the file failed");
  }

  auto session = host::DomainSession::open(kDrive);
  if (!session) return fail(session.error());
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    std::promise<std::optional<std::filesystem::path>> fetched;
    auto future = fetched.get_future();
    const auto start = std::chrono::steady_clock::now();
    (*session)->extension().fetchContents(
        platform::fileprovider::ItemIdentifier(file.itemIdentifier.description()), std::nullopt, {},
        [&](std::optional<std::filesystem::path> url, platform::fileprovider::ItemPtr,
            std::optional<platform::fileprovider::Error> error) {
          if (error) std::fprintf(stderr, "fetch failed: %s\n", error->description().c_str());
          fetched.set_value(url);
        });
    if (future.wait_for(std::chrono::minutes(10)) != std::future_status::ready) {
      return fail("the fetch did not finish in 10 minutes");
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto url = future.get();
    if (!url) return fail("the fetch failed");
    std::error_code ec;
    const auto bytes = std::filesystem::file_size(*url, ec);
    std::filesystem::remove(*url, ec);
    if (static_cast<std::int64_t>(bytes) != size) return fail("the fetched file has another size");
    best = std::max(best, static_cast<double>(size) / seconds);
  }
  std::printf("%.0f\n", best);
  return 0;
}
