#pragma once
// The real `tarnix` command against the suite's cloud emulator, as a user runs it: a fresh
// container per test (TARNIX_HOME), accounts and drives added with `tarnix account add` and
// `tarnix drive add`, and the cloud asked directly with curl.

#include <chrono>
#include <string>
#include <vector>

#include "integration/CloudClientFixture.hpp"
#include "support/ProgramRun.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {

class TarnixCommandTest : public CloudClientTest {
 protected:
  ProgramResult tarnix(std::vector<std::string> arguments, const std::string& input = {}) {
    using namespace std::chrono_literals;
    arguments.insert(arguments.begin(), tarnixProgram());
    auto result = runProgram(
        arguments,
        {{"TARNIX_HOME", home_.path().string()}, {"TARNIX_CA_FILE", emulator().caFile().string()}},
        input, 90s);
    EXPECT_FALSE(result.timedOut);
    return result;
  }
  /// Adds an account signing in with `token` and returns its identifier.
  std::string addAccount(const std::string& user, const std::string& token,
                         const std::string& domain, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments = {
        "account", "add", "--domain", domain, "--user", user, "--access-token-file", "-"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto added = tarnix(arguments, token + "\n");
    EXPECT_EQ(added.exitStatus, 0) << added.errors;
    return added.output.substr(0, added.output.find('\n'));
  }
  void addDrive(const std::string& account, const std::string& label,
                const std::string& path = "/") {
    auto added = tarnix({"drive", "add", "--account", account, "--label", label, "--path", path});
    EXPECT_EQ(added.exitStatus, 0) << added.errors;
  }
  /// Runs curl against the emulator as `token`'s user; the answer's body.
  std::string cloud(const std::string& token, std::vector<std::string> arguments) {
    using namespace std::chrono_literals;
    std::vector<std::string> command = {"/usr/bin/curl",
                                        "-sS",
                                        "--fail",
                                        "--max-time",
                                        "30",
                                        "--cacert",
                                        emulator().caFile().string(),
                                        "-H",
                                        "Authorization: " + EmulatorProcess::authorization(token)};
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto result = runProgram(command, {}, {}, 40s);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    return result.output;
  }

  TempDir home_{"tarnix-command-home"};
};

}  // namespace tarnix::testing
