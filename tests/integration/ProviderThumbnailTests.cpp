// Thumbnails through the provider's framework entry point, from the emulator over TLS: a domain
// started the way the system starts it, with the account's credentials and cloud configuration
// in its container and the drive's items stored.

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <map>

#include "base/Uuid.hpp"
#include "common/ContainerStores.hpp"
#include "common/DriveDatabase.hpp"
#include "fileprovider/FrameworkHost.hpp"
#include "integration/CloudClientFixture.hpp"

namespace tarnix::testing {
namespace {

constexpr const char* kThumbnailPath = "/api/v1/fs-content-download/thumbnail/ids/file/";

struct Answer {
  std::optional<fp::Data> data;
  std::optional<fp::Error> error;
};

struct FetchedThumbnail {
  std::map<std::string, Answer> answers;
  fp::ProgressPtr progress;
};

class ProviderThumbnailTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    // The provider's URL session trusts the emulator the way every client does.
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }

  void SetUp() override {
    const auto documents = folderAt("/Shared/Documents");
    const auto name = "thumbs-" + base::makeUuid();
    folder_ = makeFolder(documents, name);
    host_ = std::make_unique<FrameworkHost>("/Shared/Documents/" + name, emulator().host());
    auto stores = common::ContainerStores::open(host_->containerRoot(), base::Logger::null());
    ASSERT_TRUE(stores) << stores.error().message;
    ASSERT_TRUE(stores->keychainStorage->setAuthentication(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"),
        "2024-01-01T00:00:00.000Z", kHostAccount));
    auto configuration = common::CloudConfigurationWithData::decode(
        R"({"canKeelvaultBeSourceForTx": false, "upgradeNotificationsEnabled": false,
            "canUsersMarkFoldersForOfflineAccess": true, "redEnabled": false,
            "localReadEventsBlacklistMac": [], "connectedFoldersEnabled": true,
            "connectedFoldersInShared": false, "connectedFoldersOnExternalDevice": false,
            "macApplicationLevelUIEnabled": false, "thumbnailExtensions": ["JPG", "png"]})");
    ASSERT_TRUE(configuration);
    ASSERT_TRUE(stores->cloudConfigurationStorage->update(*configuration, kHostAccount, "c1"));
  }

  /// Stores the drive's root (the test's folder) and `files` below it.
  void store(const std::vector<common::SyncItem>& files) {
    auto database = common::DriveDatabase::open(host_->driveDirectory(), kHostDrive);
    ASSERT_TRUE(database) << database.error().description();
    auto storage = common::SyncItemStorage::make((*database)->dbQueue(), "/", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    auto root = folder_;
    root.parentItemIdentifier = common::SyncFolderIdentifier::zero();
    ASSERT_TRUE((*storage)->setRootItem(root));
    common::SyncItemListPatch patch;
    patch.createdItems = files;
    ASSERT_TRUE((*storage)->apply(patch, false));
  }

  static fp::ItemIdentifier identifierOf(const common::SyncItem& item) {
    return fp::ItemIdentifier(item.itemIdentifier.description());
  }

  /// Asks the started domain for thumbnails and waits (at most 30 s) for the completion.
  FetchedThumbnail fetch(const std::vector<fp::ItemIdentifier>& identifiers,
                         const std::function<void(const fp::ProgressPtr&)>& afterStart = {}) {
    auto answers = std::make_shared<std::map<std::string, Answer>>();
    auto done = std::make_shared<std::promise<void>>();
    auto progress = host_->wrapper().fetchThumbnails(
        identifiers, {100, 60},
        [answers](const fp::ItemIdentifier& identifier, std::optional<fp::Data> data,
                  std::optional<fp::Error> error) {
          (*answers)[identifier.rawValue()] = {std::move(data), std::move(error)};
        },
        [done](std::optional<fp::Error> error) {
          EXPECT_FALSE(error);
          done->set_value();
        });
    if (afterStart) afterStart(progress);
    if (done->get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
      ADD_FAILURE() << "fetchThumbnails never completed";
      std::abort();
    }
    return {*answers, progress};
  }

  /// The drive's configuration, which names the extensions that get thumbnails, arrives after
  /// the provider starts; until then no file is offered one. Waits until `identifier` is.
  void waitForThumbnailConfiguration(const fp::ItemIdentifier& identifier) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      auto fetched = fetch({identifier});
      if (fetched.answers[identifier.rawValue()].data) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    FAIL() << "no thumbnail was offered within 10 s";
  }

  /// The thumbnail requests the emulator received.
  std::vector<ReceivedRequest> thumbnailRequests() {
    std::vector<ReceivedRequest> out;
    for (auto& request : received()) {
      if (request.path.starts_with(kThumbnailPath)) out.push_back(std::move(request));
    }
    return out;
  }

  common::SyncItem folder_;
  std::unique_ptr<FrameworkHost> host_;
};

TEST_F(ProviderThumbnailTest, AllowedFilesGetTheCloudsImageOthersNone) {
  const std::string base = "/Shared/Documents/" + folder_.filename + "/";
  const auto photo = uploadFile(base + "Photo.JPG", "a picture", folder_);
  const auto notes = uploadFile(base + "notes.txt", "text", folder_);
  const auto huge = uploadFile(base + "huge.png", std::string(4 * 1024 * 1024 + 1, 'p'), folder_);
  const auto stale = uploadFile(base + "stale.png", "first", folder_);
  uploadFile(base + "stale.png", "second", folder_);  // the stored version is no longer current
  store({photo, notes, huge, stale});
  host_->start();
  waitForThumbnailConfiguration(identifierOf(photo));
  received();

  auto fetched = fetch({identifierOf(photo), identifierOf(notes), identifierOf(huge),
                        identifierOf(stale), fp::ItemIdentifier::rootContainer()});
  auto& answers = fetched.answers;
  ASSERT_EQ(answers.size(), 5u);

  const auto& image = answers[identifierOf(photo).rawValue()];
  EXPECT_FALSE(image.error);
  ASSERT_TRUE(image.data);
  EXPECT_EQ(image.data->substr(0, 4), "\x89PNG");
  for (const auto* item : {&notes, &huge}) {
    const auto& none = answers[identifierOf(*item).rawValue()];
    EXPECT_FALSE(none.data) << item->filename;
    EXPECT_FALSE(none.error) << item->filename;
  }
  EXPECT_EQ(host_->logs().count("Source file is too big to generate a thumbnail"), 1u);
  const auto& moved = answers[identifierOf(stale).rawValue()];
  EXPECT_FALSE(moved.data);
  ASSERT_TRUE(moved.error);
  EXPECT_TRUE(moved.error->is(fp::FileProviderErrorCode::noSuchItem)) << moved.error->description();
  const auto& root = answers[fp::ItemIdentifier::rootContainer().rawValue()];
  EXPECT_FALSE(root.data);
  EXPECT_FALSE(root.error);

  // The cloud was asked for the allowed files only, each for its stored version, in the box.
  std::map<std::string, ReceivedRequest> requests;
  for (auto& request : thumbnailRequests()) requests[request.path] = std::move(request);
  ASSERT_EQ(requests.size(), 3u);
  for (const auto* item : {&photo, &huge, &stale}) {
    SCOPED_TRACE(item->filename);
    const auto path = kThumbnailPath + item->cloudIdentifier->rawValue();
    ASSERT_TRUE(requests.contains(path));
    const auto& request = requests[path];
    EXPECT_EQ(request.method, "GET");
    const std::vector<std::pair<std::string, std::string>> query{
        {"type", "proportional"},
        {"width", "128"},
        {"height", "128"},
        {"entryId", item->contentVersion->rawValue}};
    EXPECT_EQ(request.query, query);
    EXPECT_EQ(request.header("authorization"),
              EmulatorProcess::authorization(EmulatorProcess::kAliceToken));
  }
}

TEST_F(ProviderThumbnailTest, CancellingStopsTheFetchesInFlight) {
  const std::string base = "/Shared/Documents/" + folder_.filename + "/";
  const auto photo = uploadFile(base + "slow.jpg", "a picture", folder_);
  store({photo});
  host_->start();
  waitForThumbnailConfiguration(identifierOf(photo));
  addFault({{"path", std::string("^") + kThumbnailPath}, {"action", "delay"}, {"delayMs", 15000}});

  // The emulator holds the answer back for 15 s; the fetch is cancelled while it waits (or, on
  // a very slow machine, before it is sent: the answer is the same).
  auto fetched = fetch({identifierOf(photo)}, [](const fp::ProgressPtr& progress) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    progress->cancel();
  });
  const auto& answer = fetched.answers[identifierOf(photo).rawValue()];
  EXPECT_FALSE(answer.data);
  ASSERT_TRUE(answer.error);
  EXPECT_TRUE(answer.error->is(fp::CocoaErrorCode::userCancelled)) << answer.error->description();
}

}  // namespace
}  // namespace tarnix::testing
