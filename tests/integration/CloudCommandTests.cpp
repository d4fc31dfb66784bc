// `tarnix cloud ls` and `tarnix cloud ping` run as a user would, against the emulator, with the
// account and drive written into a fresh container the way the desktop application writes them.

#include "common/AccountKeychainStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/KnownPath.hpp"
#include "common/MainDatabase.hpp"
#include "integration/CloudClientFixture.hpp"
#include "platform/KeychainItemStore.hpp"
#include "support/RunTarnix.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::testing;

namespace {

constexpr const char* kAccount = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
constexpr const char* kTimestamp = "2026-01-01T00:00:00.000Z";

class CloudCommandTest : public CloudClientTest {
 protected:
  // Writes alice's account and a drive "Team" on `domain` rooted at /Shared.
  void addDrive(const std::string& domain, const std::string& token) {
    auto logger = tarnix::base::Logger::null();
    auto definitions = tarnix::common::DesktopAppGroupDefinitions::make(home_.path(), logger);
    ASSERT_TRUE(definitions);
    auto group = tarnix::common::DesktopAppGroup::make(std::move(*definitions), logger);
    ASSERT_TRUE(group);
    auto path =
        (*group)->knownPaths().knownPathURL(tarnix::common::KnownPath::mainDatabase(), true);
    ASSERT_TRUE(path);
    auto database = tarnix::common::MainDatabase::open(*path, logger);
    ASSERT_TRUE(database);
    ASSERT_TRUE((*database)->execute("DELETE FROM Drives", {}));
    ASSERT_TRUE((*database)->execute("DELETE FROM Accounts", {}));
    ASSERT_TRUE((*database)->execute(
        "INSERT INTO Accounts(accountIdentifier, domain, userName, email, workgroupIdentifier, "
        "userIdentifier, cloudConfigurationTimestamp, authenticationTimestamp) "
        "VALUES(?,?,?,?,?,?,?,?)",
        {kAccount, domain, "alice", "alice@example.com", "wg", std::int64_t{1}, kTimestamp,
         kTimestamp}));
    ASSERT_TRUE((*database)->execute(
        "INSERT INTO Drives(driveIdentifier, accountIdentifier, label, cloudStartPath, "
        "shouldBeConnected, isConnected) VALUES(?,?,?,?,1,0)",
        {kDrive, kAccount, "Team", "/Shared"}));
    tarnix::common::AccountKeychainStorage keychain(
        std::make_shared<tarnix::platform::KeychainItemStore>((*group)->internalDataURL() /
                                                              "Credentials"),
        logger);
    ASSERT_TRUE(keychain.setAuthentication(
        tarnix::common::AccountAuthentication::oauth(token, "refresh"), kTimestamp, kAccount));
  }

  // Runs the tarnix programme in the container, trusting the emulator's certificate.
  ProgramRun tarnix(const std::string& arguments) {
    return runTarnix(arguments, "TARNIX_HOME='" + home_.path().string() + "' TARNIX_CA_FILE='" +
                                    emulator().caFile().string() + "'");
  }

  TempDir home_{"tarnix-cli-home"};
};

TEST_F(CloudCommandTest, LsPrintsOneListingOfAFolderBelowTheDriveRoot) {
  addDrive(emulator().host(), EmulatorProcess::kAliceToken);
  received();
  for (const std::string drive : {"Team", kDrive}) {
    auto run = tarnix("cloud ls " + drive + " Documents");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.output.starts_with("/Shared/Documents\tfolder ")) << run.output;
    EXPECT_NE(run.output.find("\nf\tNotes.txt\t"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\tlocked\n"), std::string::npos) << run.output;
    // The credentials stay out of what is printed.
    EXPECT_EQ(run.output.find(EmulatorProcess::kAliceToken), std::string::npos);
    auto requests = received();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].path, "/rest/public/v1/fsc/folders");
    ASSERT_FALSE(requests[0].query.empty());
    EXPECT_EQ(requests[0].query[0],
              (std::pair<std::string, std::string>{"path", "/Shared/Documents"}));
  }
}

TEST_F(CloudCommandTest, PingAsksServiceDiscoveryAndTheHeartBeat) {
  addDrive(emulator().host(), EmulatorProcess::kAliceToken);
  received();
  auto run = tarnix("cloud ping Team");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("service discovery: ok"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("heart beat: ok, HTTP 200"), std::string::npos) << run.output;
  auto requests = received();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/rest/public/1.0/servicediscovery");
  EXPECT_EQ(requests[1].method, "HEAD");
  EXPECT_EQ(requests[1].path, "/downloads/test/tx-client-check.txt");
}

TEST_F(CloudCommandTest, FailuresSayWhatWentWrongAndExitWithStatusOne) {
  struct Case {
    const char* name;
    std::string domain;
    std::string token;
    std::string arguments;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"unknown drive", emulator().host(), EmulatorProcess::kAliceToken, "cloud ls Nope /",
       "No drive with label or identifier 'Nope'"},
      {"missing folder", emulator().host(), EmulatorProcess::kAliceToken,
       "cloud ls Team /no-such-folder", "HTTP 404"},
      {"rejected credentials", emulator().host(), "nobody-token", "cloud ls Team /", "HTTP 401"},
      {"nothing listening", "localhost:" + std::to_string(unusedLoopbackPort()),
       EmulatorProcess::kAliceToken, "cloud ping Team", "heart beat: failed"},
  };
  for (const auto& c : cases) {
    addDrive(c.domain, c.token);
    auto run = tarnix(c.arguments);
    EXPECT_EQ(run.status, 1) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << c.name << ": " << run.output;
  }
}

}  // namespace
