// Lock requests against the emulator: what is sent, the lock taken and renewed, another
// user's refusal naming the holder, and release.
#include <gtest/gtest.h>

#include <future>

#include "fileprovider/locking/LockingCloudClient.hpp"
#include "integration/CloudClientFixture.hpp"

namespace tarnix::testing {
namespace {

using common::LockingError;
using fileprovider::LockingCloudClient;
using fileprovider::LockingResult;
using LockCode = common::LockingError::Code;

class LockingCloudClientTest : public CloudClientTest {
 protected:
  std::shared_ptr<LockingCloudClient> locking(
      const std::string& token = EmulatorProcess::kAliceToken) {
    return std::make_shared<LockingCloudClient>(client(token)->cfsSession(), errorHandler_,
                                                log_.first);
  }

  template <class T, class Start>
  static LockingResult<T> wait(Start start) {
    auto promise = std::make_shared<std::promise<LockingResult<T>>>();
    auto future = promise->get_future();
    start([promise](LockingResult<T> result) { promise->set_value(std::move(result)); });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) std::abort();
    return future.get();
  }

  LockingResult<cloudfs::LockFileResponse> lock(LockingCloudClient& client,
                                                const common::SyncItem& file,
                                                cloudfs::LockRequestOptions options) {
    return wait<cloudfs::LockFileResponse>(
        [&](auto done) { client.lockFile(file, std::nullopt, options, "test", done); });
  }
};

TEST_F(LockingCloudClientTest, LockRenewCheckAndUnlockAsTheCloudSeesThem) {
  const auto folder = makeFolder(folderAt("/Shared"), "locks-client");
  const auto file = uploadFile("/Shared/locks-client/a.txt", "alpha", folder);
  auto alice = locking();
  received();

  cloudfs::LockRequestOptions options;
  options.lockingApplications = {{"Writer", "7.5"}, {"Calc|Pro\r\nX-Evil: 1", "24\n"}};
  options.lockTimeout = 300;
  auto taken = lock(*alice, file, options);
  ASSERT_TRUE(taken) << taken.error().description();
  EXPECT_FALSE(taken->lockToken.empty());
  EXPECT_EQ(taken->timeout, 300);
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/api/v1/fs/ids/file/" + file.cloudIdentifier->rawValue());
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  // Separators and line breaks inside a name never reach the header.
  EXPECT_EQ(requests[0].header("x-tarnix-client-app-name"), "Writer|Calc Pro X-Evil: 1");
  EXPECT_EQ(requests[0].header("x-tarnix-client-app-version"), "7.5|24");
  auto body = base::parseJSON(requests[0].body).value();
  EXPECT_EQ(body["action"], "lock");
  EXPECT_TRUE(body["lock_token"].is_null());
  EXPECT_EQ(body["lock_timeout"], 300);
  EXPECT_TRUE(body["collaboration"].is_null());

  // Bob is refused, with Alice named as the holder.
  auto bob = locking(EmulatorProcess::kBobToken);
  auto refused = lock(*bob, file, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().code, LockCode::alreadyLocked);
  EXPECT_EQ(refused.error().description(), "File is already locked by Alice Adams");
  EXPECT_EQ(refused.error().recoverySuggestion(),
            "Please re-enter the folder to refresh the locks.");
  auto presence =
      wait<fileprovider::LockCloudPresence>([&](auto done) { bob->checkLockPresence(file, done); });
  ASSERT_TRUE(presence);
  ASSERT_TRUE(presence->lockInfo);
  EXPECT_EQ(presence->lockInfo->firstName, "Alice");
  EXPECT_EQ(presence->fileName, "a.txt");

  // A renewal with the token keeps it; with another token it is no renewal.
  options.lockToken = taken->lockToken;
  auto renewed = lock(*alice, file, options);
  ASSERT_TRUE(renewed);
  EXPECT_EQ(renewed->lockToken, taken->lockToken);
  options.lockToken = "not-the-token";
  auto stray = lock(*alice, file, options);
  ASSERT_FALSE(stray);
  EXPECT_EQ(stray.error().code, LockCode::lockNotFound);

  auto unlocked = wait<void>([&](auto done) { alice->unlockFile(file, taken->lockToken, done); });
  EXPECT_TRUE(unlocked);
  auto again = wait<void>([&](auto done) { alice->unlockFile(file, taken->lockToken, done); });
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().code, LockCode::lockNotFound);
  EXPECT_EQ(again.error().description(), "The file is not locked.");
}

TEST_F(LockingCloudClientTest, RefusalsAndFailuresBecomeLockingErrors) {
  const auto folder = makeFolder(folderAt("/Shared"), "locks-client-errors");
  const auto file = uploadFile("/Shared/locks-client-errors/b.txt", "beta", folder);
  auto alice = locking();
  struct Case {
    const char* name;
    base::JSONValue fault;
    LockCode expected;
  };
  const std::vector<Case> cases = {
      {"forbidden", {{"path", "/api/v1/fs/ids/file/"}, {"status", 403}}, LockCode::lockingDenied},
      {"missing", {{"path", "/api/v1/fs/ids/file/"}, {"status", 404}}, LockCode::fileNotFound},
      {"throttled",
       {{"path", "/api/v1/fs/ids/file/"}, {"status", 429}},
       LockCode::throttledByServer},
      {"unauthenticated",
       {{"path", "/api/v1/fs/ids/file/"}, {"status", 401}},
       LockCode::authenticationRequired},
      {"broken",
       {{"path", "/api/v1/fs/ids/file/"}, {"status", 500}},
       LockCode::invalidServerResponse},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    admin(base::HTTPMethod::delete_, "/__admin/faults");
    addFault(c.fault);
    auto result = lock(*alice, file, {});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().code, c.expected) << result.error().name();
  }
  admin(base::HTTPMethod::delete_, "/__admin/faults");
  EXPECT_EQ(LockingError(LockCode::connectionError).description(), "Cannot connect to cloud.");
}

}  // namespace
}  // namespace tarnix::testing
