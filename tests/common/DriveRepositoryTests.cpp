#include "common/DriveRepository.hpp"

#include <gtest/gtest.h>

#include "common/DriveConfigurationProvider.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using tarnix::common::AccountAuthentication;
using tarnix::common::AccountKeychainStorage;
using tarnix::common::CloudConfigurationStorage;
using tarnix::common::DriveRepository;
using tarnix::common::DriveRepositoryError;
using tarnix::common::MainDatabase;
using tarnix::common::SQLValue;
namespace t = tarnix::testing;

namespace {
constexpr const char* kRepositoryAccount = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kRepositoryDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
constexpr const char* kOtherDrive = "16fd2706-8baf-433b-82eb-8c7fada847da";
constexpr const char* kSecret = "s3cr3t-pa55word";

const char* kConfiguration =
    R"({"canKeelvaultBeSourceForTx": false, "upgradeNotificationsEnabled": false,
        "canUsersMarkFoldersForOfflineAccess": true, "redEnabled": false,
        "localReadEventsBlacklistMac": [], "connectedFoldersEnabled": true,
        "connectedFoldersInShared": false, "connectedFoldersOnExternalDevice": false,
        "macApplicationLevelUIEnabled": false})";

class DriveRepositoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = MainDatabase::open(dir / "Main.db", logger);
    ASSERT_TRUE(opened);
    database = *opened;
    ASSERT_TRUE(database->execute(
        "INSERT INTO Accounts(accountIdentifier, domain, userName, email, workgroupIdentifier, "
        "userIdentifier, cloudConfigurationTimestamp, authenticationTimestamp, brandedDomain, "
        "isLoginDomainBranded) VALUES(?,?,?,?,?,?,?,?,?,1)",
        {kRepositoryAccount, "acme.cloud.example", "ada", "ada@example.com", "wg-1",
         std::int64_t{42}, "c1", "2024-01-01T00:00:00.000Z", "files.acme.example"}));
    for (auto [id, label] :
         {std::pair{kRepositoryDrive, "Acme"}, std::pair{kOtherDrive, "Other"}}) {
      ASSERT_TRUE(database->execute(
          "INSERT INTO Drives(driveIdentifier, accountIdentifier, label, cloudStartPath, "
          "shouldBeConnected, isConnected) VALUES(?,?,?,?,1,0)",
          {id, kRepositoryAccount, label, "/Shared/Team"}));
    }
    ASSERT_TRUE(keychain->setAuthentication(AccountAuthentication::basic(kSecret),
                                            "2024-01-01T00:00:00.000Z", kRepositoryAccount));
  }

  t::TempDir dir{"tarnix-drives"};
  std::shared_ptr<t::RecordingLogSink> sink = std::make_shared<t::RecordingLogSink>();
  tarnix::base::Logger logger = t::recordingLogger(sink);
  std::shared_ptr<MainDatabase> database;
  std::shared_ptr<tarnix::platform::KeychainItemStore> items =
      std::make_shared<tarnix::platform::KeychainItemStore>(dir / "Credentials");
  std::shared_ptr<AccountKeychainStorage> keychain =
      std::make_shared<AccountKeychainStorage>(items, logger);
  std::shared_ptr<CloudConfigurationStorage> configurations =
      std::make_shared<CloudConfigurationStorage>(dir / "CloudConfigurations",
                                                  tarnix::platform::FileManager::local(), logger);
  std::shared_ptr<tarnix::platform::InProcessNotificationCenter> center =
      std::make_shared<tarnix::platform::InProcessNotificationCenter>();
  std::shared_ptr<DriveRepository> repository() {
    return std::make_shared<DriveRepository>(database, keychain, configurations, center, logger);
  }
};
}  // namespace

TEST_F(DriveRepositoryTest, ReadsDrivesWithTheirAccountAndCredentials) {
  auto drive = repository()->drive(kRepositoryDrive);
  ASSERT_TRUE(drive);
  EXPECT_EQ(drive->accountIdentifier, kRepositoryAccount);
  EXPECT_EQ(drive->domain, "acme.cloud.example");
  EXPECT_EQ(drive->loginDomain, "files.acme.example");
  EXPECT_EQ(drive->userName, "ada");
  EXPECT_EQ(drive->userType, "power");  // the column default
  EXPECT_EQ(drive->driveType, "FileProvider");
  EXPECT_EQ(drive->userIdentifier, 42);
  EXPECT_EQ(drive->cloudStartPath, "/Shared/Team");
  EXPECT_TRUE(drive->shouldBeConnected);
  EXPECT_FALSE(drive->isConnected);
  EXPECT_EQ(drive->authentication, AccountAuthentication::basic(kSecret));
  EXPECT_EQ(repository()->allDrives()->size(), 2u);
  EXPECT_EQ(repository()->allFpDrives()->size(), 2u);
  EXPECT_TRUE(repository()->allNearboxDrives()->empty());

  auto missing = repository()->drive("00000000-0000-0000-0000-000000000000");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message, "Drive not found");
  EXPECT_EQ(sink->everything().find(kSecret), std::string::npos);
}

TEST_F(DriveRepositoryTest, ReauthenticationIsBoundToTheAuthenticationTimestamp) {
  auto drive = *repository()->drive(kRepositoryDrive);
  auto stale = drive;
  stale.authenticationTimestamp = "2023-06-01T00:00:00.000Z";
  EXPECT_EQ(repository()->markDriveNeedsReauthentication(stale), false);
  EXPECT_FALSE(repository()->drive(kRepositoryDrive)->requiresReauthentication);
  EXPECT_EQ(repository()->markDriveNeedsReauthentication(drive), true);
  EXPECT_TRUE(repository()->drive(kRepositoryDrive)->requiresReauthentication);
  EXPECT_EQ(repository()->markDriveNeedsReauthentication(drive), false);  // already marked
}

TEST_F(DriveRepositoryTest, UpdatesRefuseATakenLabelAndAnnounceChanges) {
  std::vector<std::string> changed;
  auto token = center->addObserver(
      tarnix::common::kDriveRepositoryDidChangeDrive,
      [&](const std::string&, const std::string& object) { changed.push_back(object); });
  auto repo = repository();
  auto drive = *repo->drive(kRepositoryDrive);
  drive.label = "Other";
  auto refused = repo->updateDrive(drive, "test");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, DriveRepositoryError::Code::labelTaken);
  EXPECT_EQ(repo->drive(kRepositoryDrive)->label, "Acme");

  drive.label = "Acme Renamed";
  drive.isConnected = true;
  drive.mountPoint = "/mnt/acme";
  drive.cacheVolumeName = "Cache";
  ASSERT_TRUE(repo->updateDrive(drive, "test"));
  auto read = *repo->drive(kRepositoryDrive);
  EXPECT_EQ(read.label, "Acme Renamed");
  EXPECT_TRUE(read.isConnected);
  EXPECT_EQ(read.mountPoint, "/mnt/acme");
  EXPECT_EQ(read.cacheVolumeName, "Cache");
  EXPECT_FALSE(changed.empty());
  EXPECT_EQ(changed.back(), kRepositoryDrive);
}

TEST_F(DriveRepositoryTest, ImportInfoRoundTrip) {
  auto repo = repository();
  DriveRepository::ImportInfo info{std::string("\x00\x01\xff", 3),
                                   tarnix::base::parseISO8601("2024-05-06T07:08:09.010Z")};
  ASSERT_TRUE(repo->updateImportInfo(info, kRepositoryDrive));
  EXPECT_EQ(repo->importInfo(kRepositoryDrive), info);
  EXPECT_EQ(repo->importInfo(kOtherDrive), DriveRepository::ImportInfo{});
  EXPECT_FALSE(repo->updateImportInfo(info, "00000000-0000-0000-0000-000000000000"));
  EXPECT_EQ(sink->count("Failed to save import info"), 1u);
}

TEST_F(DriveRepositoryTest, ConfigurationOfADriveComesFromItsAccount) {
  auto repo = repository();
  EXPECT_FALSE(repo->configuration(kRepositoryDrive));  // no file yet
  t::writeFile(dir / "CloudConfigurations" / kRepositoryAccount, kConfiguration);
  auto configuration = repo->configuration(kRepositoryDrive);
  ASSERT_TRUE(configuration) << configuration.error().message;
  EXPECT_TRUE(configuration->canMarkFoldersForOffline);
  EXPECT_FALSE(tarnix::common::DriveConfigurationProvider::isALUIEnabled(*repo));

  ASSERT_TRUE(database->execute("PRAGMA foreign_keys=OFF"));
  ASSERT_TRUE(database->execute("DELETE FROM Accounts"));
  auto orphan = repo->configuration(kRepositoryDrive);
  ASSERT_FALSE(orphan);
  EXPECT_EQ(orphan.error().message, "Linked account not found while reading cloud configuration");
}
