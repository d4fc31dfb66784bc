// Locking through the provider against the emulator, on a drive that starts empty: a file
// that a local process holds open is locked and its uploads carry the lock's token; closed, it
// is released; a renewal keeps the lock past its first expiry on the cloud's clock; a file
// somebody else locked is refused naming them, once reported; a lock removed on the cloud
// leaves the local lock table after the next listing.

#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "../fileprovider/FrameworkHost.hpp"
#include "base/Clock.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/requests/FileMetadataRequest.hpp"
#include "fileprovider/Provider.hpp"
#include "fileprovider/locking/LocalLocksProvider.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/LineClient.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;
using fileprovider::LockingResult;
using LockingCode = common::LockingError::Code;

/// The open files a test says are open, as the mount would answer.
class ScriptedOpenFiles final : public fileprovider::OpenFilesSource {
 public:
  void set(std::vector<fileprovider::LockingLSOFOpenFile> files) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(files);
  }
  void fail() {
    std::lock_guard lock(mutex_);
    answer_ = std::unexpected(std::string("lister failed"));
  }
  void openFiles(std::function<void(Answer)> reply) override {
    Answer answer;
    {
      std::lock_guard lock(mutex_);
      answer = answer_;
    }
    reply(std::move(answer));
  }

 private:
  std::mutex mutex_;
  Answer answer_ = std::vector<fileprovider::LockingLSOFOpenFile>{};
};

class ProviderLockingTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }
  void SetUp() override {
    name_ = "Locks-" + base::makeUuid();
    folder_ = makeFolder(folderAt("/Shared"), name_);
    host_ = std::make_unique<FrameworkHost>("/Shared/" + name_, emulator().host());
    host_->storeCredentials(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"));
    clock_ = base::ManualClock::make(std::chrono::system_clock::now());
    host_->setClock(clock_);
    host_->start();
    provider_ =
        std::dynamic_pointer_cast<fileprovider::Provider>(host_->wrapper().wrappedProvider());
    ASSERT_TRUE(provider_);
    provider_->setOpenFilesSource(openFiles_);
  }
  void TearDown() override {
    provider_.reset();
    host_.reset();
    CloudClientTest::TearDown();
  }

  const fileprovider::ProviderLockingServices& locking() { return provider_->locking(); }

  /// A file made by alice on the cloud and listed into the drive.
  common::SyncFileIdentifier cloudFile(const std::string& name, const std::string& content) {
    uploadFile("/Shared/" + name_ + "/" + name, content, folder_);
    listRoot();
    auto item = provider_->itemStorage()->findItem("/" + name);
    EXPECT_TRUE(item && *item) << name;
    return *(*item)->itemIdentifier.file();
  }
  void listRoot() {
    auto root = provider_->itemStorage()->rootItem();
    ASSERT_TRUE(root);
    std::promise<void> listed;
    provider_->listingScheduler()->triggerListing(root->itemIdentifier,
                                                  fileprovider::ListingOrigin::enumerator, true,
                                                  false, [&](auto) { listed.set_value(); });
    ASSERT_EQ(listed.get_future().wait_for(30s), std::future_status::ready);
  }
  void synchronize() {
    std::promise<void> done;
    locking().synchronizer->synchronize([&] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(30s), std::future_status::ready);
  }
  std::optional<common::LocalLock> localLock(const common::SyncFileIdentifier& file) {
    auto lock = locking().localLockStorage->lock(file);
    EXPECT_TRUE(lock);
    return lock ? *lock : std::nullopt;
  }
  /// The file's metadata with its lock, as bob sees it.
  base::JSONValue seenByBob(const std::string& name) {
    auto file = provider_->itemStorage()->findItem("/" + name);
    const auto id = (*file)->cloudIdentifier->rawValue();
    auto future = client(EmulatorProcess::kBobToken)
                      ->cfsSession()
                      ->data(cloudfs::FileMetadataRequest(id, false, true),
                             cloudfs::TarnixURLRequestOptions::none());
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    auto answer = future.get();
    return answer ? base::parseJSON(answer->first).value_or(base::JSONValue()) : base::JSONValue();
  }
  void advanceCloudClock(int seconds) {
    admin(base::HTTPMethod::post, "/__admin/clock",
          R"({"advance_seconds": )" + std::to_string(seconds) + "}");
  }
  template <class T>
  LockingResult<T> wait(std::function<void(std::function<void(LockingResult<T>)>)> start) {
    auto promise = std::make_shared<std::promise<LockingResult<T>>>();
    start([promise](LockingResult<T> result) { promise->set_value(std::move(result)); });
    auto future = promise->get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  std::string name_;
  common::SyncItem folder_;
  std::unique_ptr<FrameworkHost> host_;
  std::shared_ptr<base::ManualClock> clock_;
  std::shared_ptr<fileprovider::Provider> provider_;
  std::shared_ptr<ScriptedOpenFiles> openFiles_ = std::make_shared<ScriptedOpenFiles>();
};

TEST_F(ProviderLockingTest, AnOpenFileIsLockedItsUploadsCarryTheTokenAndClosedItIsReleased) {
  const auto file = cloudFile("report.txt", "v1\n");
  openFiles_->set({{4242, "writer", "/report.txt"}, {4243, "tracker-miner-fs-3", "/report.txt"}});
  synchronize();
  auto lock = localLock(file);
  ASSERT_TRUE(lock);
  ASSERT_TRUE(lock->token);
  EXPECT_FALSE(lock->source.isManual());
  EXPECT_EQ(lock->expirationDate - lock->creationDate, 300s);
  ASSERT_EQ(lock->lockingApplications.size(), 1u);
  EXPECT_EQ(lock->lockingApplications[0].name, "writer");
  EXPECT_EQ(seenByBob("report.txt")["lock"]["first_name"], "Alice");
  auto rows = locking().openFilesStorage->openFiles(file);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 2u);

  // An edit while the file is locked sends the lock's token.
  received();
  auto stored = provider_->itemStorage()->item(common::SyncItemIdentifier(file));
  ASSERT_TRUE(stored);
  fileprovider::CloudEntryUploadParams params;
  auto snapshot = host_->containerRoot() / "snapshot";
  std::ofstream(snapshot) << "v2, while locked\n";
  params.contentsURL = snapshot;
  params.contentSize = 17;
  std::promise<void> edited;
  provider_->syncService()->editItem(*stored, params, std::nullopt, "op", [&](auto result) {
    EXPECT_TRUE(result) << result.error().description();
    edited.set_value();
  });
  ASSERT_EQ(edited.get_future().wait_for(60s), std::future_status::ready);
  bool sawUpload = false;
  for (const auto& request : received()) {
    if (request.method != "POST" || !request.path.starts_with("/api/v1/fs-content")) continue;
    sawUpload = true;
    EXPECT_EQ(request.header("x-tarnix-lock-token"), lock->token);
  }
  EXPECT_TRUE(sawUpload);

  // A failed listing of open files keeps everything; closed, the file is released.
  openFiles_->fail();
  synchronize();
  EXPECT_TRUE(localLock(file));
  rows = locking().openFilesStorage->openFiles(file);
  ASSERT_TRUE(rows);
  EXPECT_EQ(rows->size(), 2u);
  openFiles_->set({});
  synchronize();
  EXPECT_FALSE(localLock(file));
  EXPECT_EQ(seenByBob("report.txt")["locked"], false);
}

TEST_F(ProviderLockingTest, ARenewalBeforeTheExpiryKeepsTheLockOnTheCloud) {
  const auto file = cloudFile("long-edit.txt", "v1\n");
  openFiles_->set({{77, "writer", "/long-edit.txt"}});
  synchronize();
  auto first = localLock(file);
  ASSERT_TRUE(first);
  received();

  // Half-way through the lock's life the next pass renews it, with its token.
  clock_->advance(160s);
  advanceCloudClock(160);
  synchronize();
  bool renewed = false;
  for (const auto& request : received()) {
    if (request.method != "POST" || request.body.find("\"lock\"") == std::string::npos) continue;
    renewed = true;
    auto body = base::parseJSON(request.body).value();
    EXPECT_EQ(body["lock_token"], *first->token);
    EXPECT_EQ(body["lock_timeout"], 300);
  }
  EXPECT_TRUE(renewed);
  auto second = localLock(file);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->token, first->token);
  EXPECT_GT(second->expirationDate, first->expirationDate);

  // Past the first expiry the cloud still holds the lock.
  advanceCloudClock(200);
  EXPECT_EQ(seenByBob("long-edit.txt")["locked"], true);
  openFiles_->set({});
  synchronize();
  EXPECT_EQ(seenByBob("long-edit.txt")["locked"], false);
}

TEST_F(ProviderLockingTest, AFileLockedBySomebodyElseIsRefusedNamingThemAndReportedOnce) {
  const auto file = cloudFile("theirs.txt", "v1\n");
  auto bob = std::make_shared<fileprovider::LockingCloudClient>(
      client(EmulatorProcess::kBobToken)->cfsSession(), nullptr, base::Logger::null());
  auto stored = provider_->itemStorage()->item(common::SyncItemIdentifier(file));
  ASSERT_TRUE(stored);
  auto taken = wait<cloudfs::LockFileResponse>(
      [&](auto done) { bob->lockFile(*stored, std::nullopt, {}, "test", done); });
  ASSERT_TRUE(taken);

  for (int attempt = 0; attempt < 2; ++attempt) {
    auto refused = wait<common::LocalLock>([&](auto done) {
      locking().lockingService->lockFile(file, common::LocalLockSource::manual(), {}, done);
    });
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, LockingCode::alreadyLocked);
    EXPECT_EQ(refused.error().description(), "File is already locked by Bob Brown");
  }
  EXPECT_EQ(host_->logs().count("File already locked by somebody else reported"), 1u);
  EXPECT_FALSE(localLock(file));
}

TEST_F(ProviderLockingTest, ALockRemovedOnTheCloudLeavesTheLocalTableAfterTheNextListing) {
  const auto file = cloudFile("released.txt", "v1\n");
  auto lock = wait<common::LocalLock>([&](auto done) {
    locking().lockingService->lockFile(file, common::LocalLockSource::manual(), {}, done);
  });
  ASSERT_TRUE(lock) << lock.error().description();
  EXPECT_EQ(lock->expirationDate - lock->creationDate, 604800s);
  listRoot();
  ASSERT_TRUE(localLock(file));

  // The administrator breaks the lock; the next listing tells the drive.
  auto stored = provider_->itemStorage()->item(common::SyncItemIdentifier(file));
  auto admin = std::make_shared<fileprovider::LockingCloudClient>(
      client(EmulatorProcess::kAdminToken)->cfsSession(), nullptr, base::Logger::null());
  auto broken = wait<void>([&](auto done) { admin->unlockFile(*stored, std::nullopt, done); });
  ASSERT_TRUE(broken) << broken.error().description();
  listRoot();
  EXPECT_FALSE(localLock(file));
  EXPECT_EQ(host_->logs().count("[LOCKING] Local lock was removed remotely"), 1u);
}

TEST_F(ProviderLockingTest, EveryDrivesLocksAreListedWithTheirPathsAndGoWithTheirItem) {
  const auto file = cloudFile("listed.txt", "v1\n");
  auto lock = wait<common::LocalLock>([&](auto done) {
    locking().lockingService->lockFile(file, common::LocalLockSource::manual(), {}, done);
  });
  ASSERT_TRUE(lock) << lock.error().description();

  auto view = std::make_shared<fileprovider::LocalLocksProvider>(
      host_->globals()->driveRepository(), host_->globals()->appGroup(),
      [](const common::Drive&) { return std::optional<std::filesystem::path>("/mnt/team"); },
      base::Logger::null());
  std::promise<std::vector<fileprovider::LocalLocksEntry>> reloaded;
  view->reload([&](const auto& entries) { reloaded.set_value(entries); });
  auto entries = reloaded.get_future().get();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].lock.token, lock->token);
  EXPECT_EQ(entries[0].cloudPath, "/listed.txt");
  EXPECT_EQ(entries[0].localPath, std::filesystem::path("/mnt/team/listed.txt"));

  // Purging the item takes its lock row with it.
  auto& storage = *provider_->itemStorage();
  ASSERT_TRUE(storage.deleteItem(common::SyncItemIdentifier(file), std::nullopt, false, false));
  ASSERT_TRUE(storage.purgeGraveyard(0, std::numeric_limits<std::int64_t>::max()));
  EXPECT_FALSE(localLock(file));
}

TEST_F(ProviderLockingTest, AutomaticLocksLeftByAnEndedProviderAreReleasedAtTheNextStart) {
  const auto file = cloudFile("left-open.txt", "v1\n");
  openFiles_->set({{99, "writer", "/left-open.txt"}});
  synchronize();
  ASSERT_TRUE(localLock(file));
  // The provider ends without releasing anything (as a killed process would); the editor is
  // gone by the next start.
  host_->wrapper().invalidate();
  provider_.reset();
  openFiles_->set({});
  host_->start();
  provider_ = std::dynamic_pointer_cast<fileprovider::Provider>(host_->wrapper().wrappedProvider());
  ASSERT_TRUE(provider_);
  provider_->setOpenFilesSource(openFiles_);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (localLock(file) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(localLock(file));
  EXPECT_EQ(seenByBob("left-open.txt")["locked"], false);
}

TEST_F(ProviderLockingTest, TheContextMenuLocksAndUnlocksTheSelectedFiles) {
  const auto file = cloudFile("menu.txt", "v1\n");
  const std::string actions = "com.tarnix.DesktopApp.FileProviderActions";
  auto perform = [&](const std::string& suffix) {
    std::promise<std::optional<fp::Error>> done;
    host_->wrapper().performAction(
        actions + suffix,
        {fp::ItemIdentifier(common::SyncItemIdentifier(file).description()),
         fp::ItemIdentifier::rootContainer()},
        [&](auto error) { done.set_value(error); });
    auto future = done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  };
  auto locked = perform(".Lock");
  EXPECT_FALSE(locked) << locked->description();
  auto lock = localLock(file);
  ASSERT_TRUE(lock);
  EXPECT_TRUE(lock->source.isManual());
  EXPECT_EQ(seenByBob("menu.txt")["locked"], true);
  EXPECT_EQ(host_->logs().count("Expected file identifier but got a different one in Lock"), 1u);

  auto unlocked = perform(".Unlock");
  EXPECT_FALSE(unlocked) << unlocked->description();
  EXPECT_FALSE(localLock(file));
  EXPECT_EQ(seenByBob("menu.txt")["locked"], false);

  auto forwarded = perform(".CopyLink");
  ASSERT_TRUE(forwarded);
  EXPECT_EQ(forwarded->localizedDescription(), "copyLink is not available on Linux.");
}

TEST_F(ProviderLockingTest, TheLockingServiceAnswersTheDesktopApplicationOverItsSocket) {
  const auto file = cloudFile("served.txt", "v1\n");
  fp::ServiceSourcePtr locking;
  host_->wrapper().supportedServiceSources(fp::ItemIdentifier::rootContainer(),
                                           [&](std::vector<fp::ServiceSourcePtr> sources, auto) {
                                             for (auto& source : sources)
                                               if (source->serviceName() == "com.tarnix.Locking")
                                                 locking = source;
                                           });
  ASSERT_TRUE(locking);
  auto endpoint = locking->makeListenerEndpoint();
  ASSERT_TRUE(endpoint) << endpoint.error().description();
  LineClient socket(endpoint->socketPath);
  ASSERT_TRUE(socket.connected());
  const std::string params = R"("params":{"itemIdentifier":")" + file.description() + R"("})";

  auto locked = socket.ask(R"({"id":1,"method":"lockFile",)" + params + "}");
  EXPECT_TRUE(locked.contains("result")) << locked.dump();
  EXPECT_EQ(seenByBob("served.txt")["locked"], true);
  auto synchronized = socket.ask(R"({"id":2,"method":"synchronizeOpenFilesAndLocks"})");
  EXPECT_TRUE(synchronized.contains("result")) << synchronized.dump();
  EXPECT_TRUE(localLock(file)) << "a manual lock outlives a pass without open files";
  auto released = socket.ask(R"({"id":3,"method":"unlockManualLocks"})");
  EXPECT_TRUE(released.contains("result")) << released.dump();
  EXPECT_EQ(seenByBob("served.txt")["locked"], false);
  EXPECT_FALSE(localLock(file));

  // Bob holds it now: the refusal comes with its domain, text and suggestion.
  auto stored = provider_->itemStorage()->item(common::SyncItemIdentifier(file));
  auto bob = std::make_shared<fileprovider::LockingCloudClient>(
      client(EmulatorProcess::kBobToken)->cfsSession(), nullptr, base::Logger::null());
  ASSERT_TRUE(wait<cloudfs::LockFileResponse>(
      [&](auto done) { bob->lockFile(*stored, std::nullopt, {}, "test", done); }));
  auto refused = socket.ask(R"({"id":4,"method":"lockFile",)" + params + "}");
  EXPECT_EQ(refused["error"]["domain"], "com.tarnix.LockingError");
  EXPECT_EQ(refused["error"]["message"], "File is already locked by Bob Brown");
  EXPECT_EQ(refused["error"]["recoverySuggestion"],
            "Please re-enter the folder to refresh the locks.");
  EXPECT_TRUE(socket.ask(R"({"id":5,"method":"fly"})").contains("error"));
  EXPECT_TRUE(socket.ask(R"({"id":6,"method":"lockFile","params":{"itemIdentifier":"folder/x"}})")
                  .contains("error"));
}

}  // namespace
}  // namespace tarnix::testing
