#pragma once
// One emulator (seeded with the demo tree) per test suite; tests use their own paths.

#include <gtest/gtest.h>

#include <memory>

#include "emulator/HttpsClient.hpp"
#include "support/EmulatorProcess.hpp"

namespace tarnix::emulator::testing {

using tarnix::testing::EmulatorProcess;

class EmulatorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto started = EmulatorProcess::start({.seed = "demo", .faultsFile = ""});
    ASSERT_TRUE(started) << started.error();
    emulator_ = std::move(*started);
  }
  static void TearDownTestSuite() { emulator_.reset(); }
  void TearDown() override {
    HttpsClient admin(*emulator_, "");
    admin.admin("DELETE", "/__admin/faults");
    admin.admin("DELETE", "/__admin/events");
  }

  static EmulatorProcess& emulator() { return *emulator_; }
  HttpsClient alice{*emulator_, EmulatorProcess::kAliceToken};
  HttpsClient bob{*emulator_, EmulatorProcess::kBobToken};

  /// Makes a folder below /Shared and returns its id.
  std::string makeFolder(const std::string& name, const std::string& parentId = "") {
    std::string parent = parentId;
    if (parent.empty()) parent = alice.get("/api/v1/fs/Shared").json()["folder_id"];
    auto r = alice.postJSON("/api/v1/fs/ids/folder/" + parent,
                            {{"action", "add_folder"}, {"name", name}});
    EXPECT_EQ(r.status, 200) << r.body;
    return r.json().value("folder_id", "");
  }

  /// Uploads `content` to `path` in one request; returns the JSON answer.
  base::JSONValue upload(const std::string& path, const std::string& content,
                         std::vector<std::string> headers = {}) {
    auto r = alice.send("POST", "/api/v1/fs-content" + path, std::move(headers), content);
    EXPECT_EQ(r.status, 200) << r.body;
    return r.json();
  }

 private:
  static inline std::unique_ptr<EmulatorProcess> emulator_;
};

}  // namespace tarnix::emulator::testing
