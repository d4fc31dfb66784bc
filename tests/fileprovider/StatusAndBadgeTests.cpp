#include <gtest/gtest.h>

#include "SeededDrive.hpp"
#include "fileprovider/Provider.hpp"
#include "fileprovider/items/BadgeDemand.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
using namespace tarnix::testing;
namespace fp = tarnix::platform::fileprovider;

TEST(FileProviderStatus, TheWorkingSetReportsSignInAndReachabilityProblems) {
  FrameworkHost host;
  seedDrive(host, {seedItem(SyncFileIdentifier{"a1"}, kSeedRoot, "notes.txt")});
  host.start();
  auto provider = std::dynamic_pointer_cast<Provider>(host.wrapper().wrappedProvider());
  ASSERT_TRUE(provider);
  auto status = provider->statusProvider();
  auto workingSet = *host.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  EXPECT_EQ(status->currentError(), std::nullopt);
  EXPECT_FALSE(host.follow(workingSet, fp::SyncAnchor{"tx0"}).error);

  status->serverReachabilityChanged(false);
  ASSERT_TRUE(eventually([&] { return status->currentError().has_value(); }));
  const auto offline = host.follow(workingSet, fp::SyncAnchor{"tx0"});
  ASSERT_TRUE(offline.error);
  EXPECT_TRUE(offline.error->is(fp::FileProviderErrorCode::serverUnreachable));
  EXPECT_EQ(offline.updated.size(), 2u) << "the items still reach the framework";

  auto drive = host.globals()->driveRepository()->drive(kHostDrive);
  ASSERT_TRUE(drive);
  ASSERT_TRUE(host.globals()->driveRepository()->markDriveNeedsReauthentication(*drive));
  ASSERT_TRUE(eventually([&] { return status->needsReauthentication(); }));
  EXPECT_TRUE(status->currentError()->is(fp::FileProviderErrorCode::notAuthenticated))
      << "signing in again comes before reachability";

  status->serverReachabilityChanged(true);
  EXPECT_TRUE(eventually([&] { return host.logs().count("Server became reachable") == 1; }));
  const auto signalled = host.manager().signalledContainers();
  EXPECT_GE(std::ranges::count(signalled, fp::ItemIdentifier::workingSet()), 3)
      << "each change makes the framework ask again";
  host.wrapper().invalidate();
}

TEST(BadgeDemand, ArchivesRoundTripAndBadBytesAreRefused) {
  const BadgeDemand demand{"/home/ada/Tarnix/Team/report.pdf",
                           BadgeSubscriptionChange::unsubscribe};
  const auto archived = demand.archived();
  EXPECT_NE(archived.find("\"change\":1"), std::string::npos) << archived;
  EXPECT_EQ(BadgeDemand::unarchive(archived), demand);
  for (const char* bad : {"", "[]", R"({"url":"file:///a"})", R"({"url":"relative","change":0})",
                          R"({"url":"file:///a","change":7})", R"({"url":3,"change":0})"}) {
    EXPECT_FALSE(BadgeDemand::unarchive(bad)) << bad;
  }
}
