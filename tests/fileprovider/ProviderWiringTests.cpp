// How the provider holds its services together over its life: it follows the drive's cloud
// configuration as it is loaded and changed, its network monitor reports an unreachable cloud in
// the items' status and notices by itself when the cloud is back, and invalidation ends the
// listings and content fetches in flight before it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <optional>

#include "SeededDrive.hpp"
#include "common/DriveConfigurationProvider.hpp"
#include "common/MainDatabase.hpp"
#include "fileprovider/Provider.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
using namespace tarnix::testing;
namespace fp = tarnix::platform::fileprovider;
using namespace std::chrono_literals;

namespace {

// A configuration document with the two settings the provider reads.
std::string configurationDocument(int inDesignDebouncerMilliseconds, bool computeChecksum) {
  return std::string(
             R"({"canKeelvaultBeSourceForTx": false, "upgradeNotificationsEnabled": false,)"
             R"("canUsersMarkFoldersForOfflineAccess": true, "redEnabled": false,)"
             R"("localReadEventsBlacklistMac": [], "connectedFoldersEnabled": true,)"
             R"("connectedFoldersInShared": false, "connectedFoldersOnExternalDevice": false,)"
             R"("macInDesignDebouncer": )") +
         std::to_string(inDesignDebouncerMilliseconds) + R"(, "macCustomClientBehaviours": [)" +
         (computeChecksum ? R"("computeChecksumOfUserFacingFile")" : "") + "]}";
}

// What the desktop application does when the cloud sends a new configuration: the document in
// the container, the account's timestamp in the main database, then the refresh request.
void storeConfiguration(FrameworkHost& host, const std::string& document,
                        const std::string& timestamp) {
  writeFile(host.containerRoot() / "Tarnix" / "CloudConfigurations" / kHostAccount, document);
  auto database =
      MainDatabase::open(host.containerRoot() / "Tarnix" / "Main.db", tarnix::base::Logger::null());
  ASSERT_TRUE(database) << database.error().message;
  auto updated = (*database)->execute("UPDATE Accounts SET cloudConfigurationTimestamp = ?",
                                      std::vector<SQLValue>{timestamp});
  ASSERT_TRUE(updated) << updated.error().message;
}

std::shared_ptr<Provider> wiredProviderOf(FrameworkHost& host) {
  return std::dynamic_pointer_cast<Provider>(host.wrapper().wrappedProvider());
}

// Points the provider's transport at a test server's certificate for one test.
class TrustedCA {
 public:
  explicit TrustedCA(const std::filesystem::path& file) {
    ::setenv("TARNIX_CA_FILE", file.c_str(), 1);
  }
  ~TrustedCA() { ::unsetenv("TARNIX_CA_FILE"); }
};

constexpr std::string_view kHeartBeatPath = "/downloads/test/tx-client-check.txt";

}  // namespace

TEST(ProviderConfiguration, TheStoredConfigurationIsUsedOnceLoadedAndChangesAreFollowed) {
  FrameworkHost host;
  seedDrive(host, {});
  storeConfiguration(host, configurationDocument(2500, true), "c1");
  host.start();
  auto provider = wiredProviderOf(host);
  ASSERT_TRUE(provider);
  EXPECT_TRUE(eventually([&] {
    return provider->modifyDebouncerInterval() == 2.5 &&
           provider->computeChecksumOfUserFacingFile();
  })) << "the drive's stored configuration, not the built-in defaults";

  storeConfiguration(host, configurationDocument(500, false), "c2");
  host.globals()->distributedNotificationCenter()->post(kWillInvalidateCloudConfiguration,
                                                        "refresh-1");
  EXPECT_TRUE(eventually([&] {
    return provider->modifyDebouncerInterval() == 0.5 &&
           !provider->computeChecksumOfUserFacingFile();
  })) << "a change after the start is followed";
  EXPECT_GE(host.logs().count("Cloud configuration applied"), 2u);
  host.wrapper().invalidate();
}

TEST(ProviderNetworkMonitor, AnUnreachableCloudShowsInTheItemsStatusAndRecoversByItself) {
  std::atomic<bool> cloudUp{false};
  TestHTTPSServer server([&](const RecordedRequest&) {
    CannedResponse response(200);
    if (!cloudUp) response.raw = "";  // the connection closes without an answer
    return response;
  });
  TrustedCA trust(server.caFile());
  FrameworkHost host("/Shared/Team", "127.0.0.1:" + std::to_string(server.port()));
  host.enableNetworkMonitor();
  seedDrive(host, {seedItem(SyncFileIdentifier{"a1"}, kSeedRoot, "notes.txt")});
  host.start();
  auto provider = wiredProviderOf(host);
  ASSERT_TRUE(provider);
  ASSERT_TRUE(provider->networkMonitor()->enabled());
  auto status = provider->statusProvider();

  ASSERT_TRUE(eventually([&] { return status->currentError().has_value(); }));
  EXPECT_TRUE(status->currentError()->is(fp::FileProviderErrorCode::serverUnreachable));
  EXPECT_EQ(host.logs().count("Network reachability = WiFi"), 1u) << "a host on this machine";
  auto workingSet = *host.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  const auto offline = host.follow(workingSet, fp::SyncAnchor{"tx0"});
  ASSERT_TRUE(offline.error);
  EXPECT_TRUE(offline.error->is(fp::FileProviderErrorCode::serverUnreachable));

  cloudUp = true;
  ASSERT_TRUE(eventually([&] { return !status->currentError().has_value(); }, 30s))
      << "the monitor should try again by itself";
  EXPECT_EQ(host.logs().count("Server became reachable"), 1u);
  EXPECT_FALSE(host.follow(workingSet, fp::SyncAnchor{"tx0"}).error);
  const auto signalled = host.manager().signalledContainers();
  EXPECT_GE(std::ranges::count(signalled, fp::ItemIdentifier::workingSet()), 2)
      << "each change makes the framework ask again";
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.method, "HEAD");
    EXPECT_EQ(request.target, kHeartBeatPath);
  }
  host.wrapper().invalidate();
}

TEST(ProviderInvalidation, ListingsAndFetchesInFlightEndBeforeItReturns) {
  // A cloud that takes its time with everything.
  TestHTTPSServer server([](const RecordedRequest&) {
    CannedResponse response(503);
    response.delay = 3s;
    return response;
  });
  TrustedCA trust(server.caFile());
  FrameworkHost host("/Shared/Team", "127.0.0.1:" + std::to_string(server.port()));
  seedDrive(host, {seedItem(SyncFileIdentifier{"a1"}, kSeedRoot, "notes.txt")});
  host.start();
  auto provider = wiredProviderOf(host);
  ASSERT_TRUE(provider);

  std::promise<ListingResult<void>> listed;
  provider->listingScheduler()->triggerListing(
      SyncItemIdentifier(kSeedRoot), ListingOrigin::enumerator, true, false,
      [&](ListingResult<void> result) { listed.set_value(std::move(result)); });
  std::promise<std::optional<fp::Error>> fetched;
  host.wrapper().fetchContents(
      fp::ItemIdentifier("file/a1"), std::nullopt, {},
      [&](std::optional<std::filesystem::path> file, fp::ItemPtr, std::optional<fp::Error> error) {
        EXPECT_FALSE(file);
        fetched.set_value(std::move(error));
      });
  ASSERT_TRUE(eventually([&] { return server.requests().size() == 2; }))
      << "the listing and the download should be on their way";

  host.wrapper().invalidate();
  auto listing = listed.get_future();
  ASSERT_EQ(listing.wait_for(0s), std::future_status::ready)
      << "the listing's completion has run when invalidation returns";
  EXPECT_FALSE(listing.get());
  auto fetch = fetched.get_future();
  ASSERT_EQ(fetch.wait_for(0s), std::future_status::ready)
      << "the fetch's completion has run when invalidation returns";
  EXPECT_TRUE(fetch.get().has_value());

  // Nothing new starts: a listing fails at once, a fetch is refused, nothing is sent.
  std::promise<ListingResult<void>> later;
  provider->listingScheduler()->triggerListing(
      SyncItemIdentifier(kSeedRoot), ListingOrigin::enumerator, true, false,
      [&](ListingResult<void> result) { later.set_value(std::move(result)); });
  auto laterListing = later.get_future();
  ASSERT_EQ(laterListing.wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(laterListing.get());
  std::optional<fp::Error> refused;
  host.wrapper().fetchContents(
      fp::ItemIdentifier("file/a1"), std::nullopt, {},
      [&](auto, fp::ItemPtr, std::optional<fp::Error> error) { refused = std::move(error); });
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->is(fp::FileProviderErrorCode::cannotSynchronize));
  EXPECT_EQ(server.requests().size(), 2u);
  EXPECT_EQ(host.logs().count("Content fetches did not end after invalidation"), 0u);
}
