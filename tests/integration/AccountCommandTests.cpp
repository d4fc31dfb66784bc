// `tarnix account` and `tarnix drive` run as a user runs them, against a temporary container.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>

#include "base/Logger.hpp"
#include "common/ContainerStores.hpp"
#include "common/DriveLookup.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

namespace t = tarnix::testing;
using tarnix::common::ContainerStores;

namespace {

constexpr const char* kPassword = "alice-password";
constexpr const char* kToken = "bob-token";
constexpr const char* kRefreshToken = "bob-refresh-secret";

class AccountCommandTest : public ::testing::Test {
 protected:
  t::ProgramResult tarnix(std::vector<std::string> arguments, const std::string& input = {}) {
    arguments.insert(arguments.begin(), t::tarnixProgram());
    auto result = t::runProgram(arguments, {{"TARNIX_HOME", home_.path().string()}}, input);
    EXPECT_FALSE(result.timedOut);
    transcript_ += result.output + result.errors;
    return result;
  }
  /// Runs a command that must succeed and returns its standard output.
  std::string ok(std::vector<std::string> arguments, const std::string& input = {}) {
    auto result = tarnix(arguments, input);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(result.errors, "");
    return result.output;
  }
  static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }
  static bool isIdentifier(const std::string& text) {
    return std::regex_match(text, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                             "[0-9a-f]{12}"));
  }
  static unsigned mode(const std::filesystem::path& path) {
    struct stat s {};
    return ::stat(path.c_str(), &s) == 0 ? s.st_mode & 0777 : 0;
  }
  std::filesystem::path internal() const { return home_.path() / "Tarnix"; }

  t::TempDir home_{"tarnix-accounts"};
  t::TempDir files_{"tarnix-account-files"};
  std::string transcript_;  // every output of every run, for the secrets check
};

TEST_F(AccountCommandTest, AccountsAndDrivesGoInListAndComeOutWithoutSecretsLeaking) {
  // Alice signs in with a password on standard input, Bob with OAuth tokens from files.
  const auto alice = firstLine(
      ok({"account", "add", "--domain", "https://LocalHost:8443/", "--user", "alice", "--email",
          "alice@example.com", "--user-id", "1", "--workgroup", "wg1", "--password-file", "-"},
         std::string(kPassword) + "\n"));
  ASSERT_TRUE(isIdentifier(alice)) << alice;
  t::writeFile(files_ / "access", std::string(kToken) + "\n");
  t::writeFile(files_ / "refresh", kRefreshToken);
  const auto bob =
      firstLine(ok({"account", "add", "--domain", "localhost:8443", "--user", "bob", "--user-id",
                    "2", "--access-token-file", (files_ / "access").string(),
                    "--refresh-token-file", (files_ / "refresh").string()}));
  ASSERT_TRUE(isIdentifier(bob)) << bob;

  const auto accounts = ok({"account", "list"});
  EXPECT_NE(accounts.find(alice + "\tlocalhost:8443\talice\t1\twg1\tbasic\tok\n"),
            std::string::npos)
      << accounts;
  EXPECT_NE(accounts.find(bob + "\tlocalhost:8443\tbob\t2\t\toauth\tok\n"), std::string::npos)
      << accounts;

  const auto credentials = internal() / "Credentials";
  EXPECT_EQ(mode(credentials), 0700u);
  EXPECT_EQ(mode(credentials / alice), 0600u);
  EXPECT_EQ(mode(credentials / bob), 0600u);
  EXPECT_TRUE(std::filesystem::exists(internal() / "CloudConfigurations" / alice));

  const auto demo = firstLine(
      ok({"drive", "add", "--account", alice, "--label", "Demo", "--path", "/Shared/Demo/"}));
  ASSERT_TRUE(isIdentifier(demo)) << demo;
  const auto bobs = firstLine(ok({"drive", "add", "--account", bob, "--label", "Bob's files"}));
  ASSERT_TRUE(isIdentifier(bobs)) << bobs;
  const auto drives = ok({"drive", "list"});
  EXPECT_NE(drives.find(demo + "\tDemo\t" + alice +
                        "\tlocalhost:8443\talice\t/Shared/Demo\t"
                        "FileProvider\tno\n"),
            std::string::npos)
      << drives;
  EXPECT_NE(drives.find(bobs + "\tBob's files\t" + bob), std::string::npos) << drives;

  {
    // What the extension and the hosts read back: the drive by label or by identifier in any
    // case, with the credentials that were given.
    auto stores = ContainerStores::open(home_.path(), tarnix::base::Logger::null());
    ASSERT_TRUE(stores) << stores.error().message;
    auto byLabel = tarnix::common::findDrive(*stores->driveRepository, "Demo");
    ASSERT_TRUE(byLabel) << byLabel.error().message;
    EXPECT_EQ(byLabel->identifier, demo);
    EXPECT_EQ(byLabel->domain, "localhost:8443");
    EXPECT_EQ(byLabel->userName, "alice");
    EXPECT_EQ(byLabel->userIdentifier, 1);
    EXPECT_EQ(byLabel->cloudStartPath, "/Shared/Demo");
    EXPECT_TRUE(byLabel->shouldBeConnected);
    EXPECT_EQ(byLabel->authentication, tarnix::common::AccountAuthentication::basic(kPassword));
    std::string upper = bobs;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto byIdentifier = tarnix::common::findDrive(*stores->driveRepository, upper);
    ASSERT_TRUE(byIdentifier) << byIdentifier.error().message;
    EXPECT_EQ(byIdentifier->authentication,
              tarnix::common::AccountAuthentication::oauth(kToken, kRefreshToken));
    auto configuration = stores->driveRepository->configuration(demo);
    EXPECT_TRUE(configuration) << configuration.error().message;
  }

  EXPECT_EQ(firstLine(ok({"drive", "remove", "Demo"})), "Removed drive " + demo + " (Demo)");
  EXPECT_EQ(ok({"drive", "list"}).find(demo), std::string::npos);

  // Removing Bob takes his drive, credentials and configuration with him; Alice stays.
  ok({"account", "remove", bob});
  EXPECT_EQ(ok({"drive", "list"}).find(bobs), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(credentials / bob));
  EXPECT_FALSE(std::filesystem::exists(internal() / "CloudConfigurations" / bob));
  const auto remaining = ok({"account", "list"});
  EXPECT_EQ(remaining.find(bob), std::string::npos);
  EXPECT_NE(remaining.find(alice), std::string::npos);

  for (const char* secret : {kPassword, kToken, kRefreshToken}) {
    EXPECT_EQ(transcript_.find(secret), std::string::npos) << secret << " in:\n" << transcript_;
  }
}

TEST_F(AccountCommandTest, BadArgumentsFailClearlyAndChangeNothing) {
  const auto account = firstLine(ok(
      {"account", "add", "--domain", "localhost:8443", "--user", "alice", "--password-file", "-"},
      kPassword));
  ASSERT_TRUE(isIdentifier(account));
  ok({"drive", "add", "--account", account, "--label", "Demo", "--path", "/Shared/Demo"});
  t::writeFile(files_ / "password", kPassword);
  t::writeFile(files_ / "bad.json", "{\"redEnabled\": true}");
  const auto password = (files_ / "password").string();
  const auto accountsBefore = ok({"account", "list"});
  const auto drivesBefore = ok({"drive", "list"});

  struct Case {
    std::vector<std::string> arguments;
    std::string error;  // a part of the message on standard error
    std::string input = {};
  } cases[] = {
      {{"account", "add", "--domain", "http://localhost:8443", "--user", "x", "--password-file",
        "-"},
       "must be reached over https",
       kPassword},
      {{"account", "add", "--domain", "localhost:99999", "--user", "x", "--password-file",
        password},
       "Not a port number"},
      {{"account", "add", "--domain", "https://localhost/api", "--user", "x", "--password-file",
        password},
       "Not a cloud host"},
      {{"account", "add", "--domain", "localhost", "--user", "x"}, "give either --password-file"},
      {{"account", "add", "--domain", "localhost", "--user", "x", "--password-file", password,
        "--access-token-file", password},
       "give either --password-file"},
      {{"account", "add", "--domain", "localhost", "--user", "x", "--password-file",
        (files_ / "missing").string()},
       "could not read a password"},
      {{"account", "add", "--domain", "localhost", "--user", "x", "--password-file", password,
        "--configuration", (files_ / "bad.json").string()},
       "does not decode"},
      {{"account", "add", "--domain", "LOCALHOST:8443", "--user", "alice", "--password-file",
        password},
       "exists already: " + account},
      {{"account", "add", "--user", "x", "--password-file", password}, "--domain is required"},
      {{"account", "remove", "not-an-account"}, "Not an account identifier"},
      {{"account", "remove", "0f8fad5b-d9cb-469f-a165-70867728950e"}, "No such account"},
      {{"drive", "add", "--account", account, "--label", "Demo"}, "label exists already"},
      {{"drive", "add", "--account", account, "--label", "0f8fad5b-d9cb-469f-a165-70867728950e"},
       "must not look like a drive identifier"},
      {{"drive", "add", "--account", account, "--label", "X", "--path", "Shared"},
       "must start with \"/\""},
      {{"drive", "add", "--account", account, "--label", "X", "--path", "/Shared/../Private"},
       "\"..\" component"},
      {{"drive", "add", "--account", account, "--label", "X", "--type", "Other"},
       "Unknown drive type"},
      {{"drive", "add", "--account", "0f8fad5b-d9cb-469f-a165-70867728950e", "--label", "X"},
       "No such account"},
      {{"drive", "remove", "Nothing"}, "No drive has the label or identifier \"Nothing\""},
      {{"drive"}, "A subcommand is required"},
  };
  for (const auto& c : cases) {
    auto result = tarnix(c.arguments, c.input);
    std::string command;
    for (const auto& a : c.arguments) command += a + " ";
    EXPECT_NE(result.exitStatus, 0) << command;
    EXPECT_NE(result.errors.find(c.error), std::string::npos) << command << "\n" << result.errors;
    EXPECT_EQ(result.output, "") << command;
  }
  EXPECT_EQ(ok({"account", "list"}), accountsBefore);
  EXPECT_EQ(ok({"drive", "list"}), drivesBefore);
  EXPECT_EQ(transcript_.find(kPassword), std::string::npos) << transcript_;
}

}  // namespace
