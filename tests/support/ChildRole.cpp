#include "support/ChildRole.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace tarnix::testing {
namespace {

constexpr const char* kRoleVariable = "TARNIX_TEST_CHILD_ROLE";
constexpr const char* kArgumentVariable = "TARNIX_TEST_CHILD_ARGUMENT";
// Ends what the test framework printed before the role started.
constexpr const char* kOutputMarker = "\n--- child role output ---\n";

std::map<std::string, ChildRoleBody>& roles() {
  static std::map<std::string, ChildRoleBody> registered;
  return registered;
}

// Runs the requested role in place of the tests, once main has set everything up.
class ChildRoleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* role = std::getenv(kRoleVariable);
    if (!role) return;
    const char* argument = std::getenv(kArgumentVariable);
    std::fputs(kOutputMarker, stdout);
    std::fflush(stdout);
    int status = 125;
    if (auto it = roles().find(role); it != roles().end()) {
      status = it->second(argument ? argument : "");
    } else {
      std::fprintf(stderr, "no child role \"%s\" in this test binary\n", role);
    }
    std::fflush(nullptr);
    std::_Exit(status);
  }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ChildRoleEnvironment);

}  // namespace

bool registerChildRole(const std::string& name, ChildRoleBody body) {
  roles()[name] = std::move(body);
  return true;
}

ProgramResult runChildRole(const std::string& name, const std::string& argument,
                           std::chrono::milliseconds timeout) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) {
    ProgramResult result;
    result.errors = "cannot find this test binary: " + ec.message();
    return result;
  }
  auto result = runProgram({self.string()}, {{kRoleVariable, name}, {kArgumentVariable, argument}},
                           {}, timeout);
  if (auto at = result.output.find(kOutputMarker); at != std::string::npos) {
    result.output.erase(0, at + std::strlen(kOutputMarker));
  }
  return result;
}

}  // namespace tarnix::testing
