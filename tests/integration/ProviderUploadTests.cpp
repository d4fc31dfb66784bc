// Uploads through the provider's framework entry points against the emulator, on a drive that
// starts empty: a new file's bytes reach the cloud, an edit makes a new version based on the
// version it was made from, an edit of a file somebody else changed meanwhile leaves their
// version and becomes a conflict copy, and refusals reach the caller.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "../fileprovider/FrameworkHost.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/URLComponents.hpp"
#include "cloudfs/requests/DownloadRequests.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "common/MainDatabase.hpp"
#include "fileprovider/cloud/UploadTypes.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;

struct UploadAnswer {
  fp::ItemPtr item;
  bool shouldFetchContent = false;
  std::optional<fp::Error> error;
};

class ProviderUploadTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }

  void SetUp() override {
    name_ = "Uploads-" + base::makeUuid();
    folder_ = makeFolder(folderAt("/Shared"), name_);
    startHost();
    received();
  }
  /// A fresh container on the work folder; with `configuration`, the drive's cloud
  /// configuration document as the desktop application stores it.
  void startHost(std::optional<std::string> configuration = std::nullopt) {
    completed_.reset();
    progress_.reset();
    host_.reset();
    host_ = std::make_unique<FrameworkHost>(path(""), emulator().host());
    host_->storeCredentials(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"));
    if (configuration) {
      writeFile(host_->containerRoot() / "Tarnix" / "CloudConfigurations" / kHostAccount,
                *configuration);
      auto database = common::MainDatabase::open(host_->containerRoot() / "Tarnix" / "Main.db",
                                                 base::Logger::null());
      ASSERT_TRUE(database) << database.error().message;
      ASSERT_TRUE((*database)->execute("UPDATE Accounts SET cloudConfigurationTimestamp = ?",
                                       std::vector<common::SQLValue>{std::string("c1")}));
    }
    host_->start();
    auto center = host_->globals()->distributedNotificationCenter();
    completed_ = center->addObserver(fileprovider::kFileUploadCompletedNotification,
                                     [this](const std::string&, const std::string& object) {
                                       std::lock_guard lock(mutex_);
                                       completions_.push_back(object);
                                     });
    progress_ = center->addObserver(fileprovider::kFileUploadProgressNotification,
                                    [this](const std::string&, const std::string& object) {
                                      std::lock_guard lock(mutex_);
                                      progressPosts_.push_back(object);
                                    });
  }
  void TearDown() override {
    completed_.reset();
    progress_.reset();
    host_.reset();
    CloudClientTest::TearDown();
  }

  /// Starts a fresh container whose drive has a cloud configuration with `settings` (JSON
  /// members) and waits until the provider has applied it.
  void startWithConfiguration(const std::string& settings) {
    startHost(R"({"canKeelvaultBeSourceForTx": false, "upgradeNotificationsEnabled": false,)"
              R"("canUsersMarkFoldersForOfflineAccess": true, "redEnabled": false,)"
              R"("localReadEventsBlacklistMac": [], "connectedFoldersEnabled": true,)"
              R"("connectedFoldersInShared": false, "connectedFoldersOnExternalDevice": false,)"
              R"("macInDesignDebouncer": 2000, )" +
              settings + "}");
    ASSERT_TRUE(logged("Cloud configuration applied"));
    received();
  }
  /// Whether `text` is logged within 10 s.
  bool logged(const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (host_->logs().count(text) == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return host_->logs().count(text) > 0;
  }

  std::string path(const std::string& below) const {
    return "/Shared/" + name_ + (below.empty() ? "" : "/" + below);
  }

  /// What alice reads at `below`; "<missing>" when there is nothing.
  std::string cloudContent(const std::string& below) {
    const auto encoded = cloudfs::percentEncodePath(path(below));
    auto downloaded =
        client()->cfsSession()->data(cloudfs::DownloadFileByPathRequest(encoded, encoded),
                                     cloudfs::TarnixURLRequestOptions::none());
    if (downloaded.wait_for(30s) != std::future_status::ready) std::abort();
    auto result = downloaded.get();
    if (!result || result->second.statusCode != 200) return "<missing>";
    return result->first;
  }
  std::set<std::string> cloudNames() {
    auto future = client()->cfsSession()->data(cloudfs::ListingByPathRequest(path("")),
                                               cloudfs::TarnixURLRequestOptions::none());
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    auto answer = future.get();
    std::set<std::string> names;
    if (!answer || answer->second.statusCode != 200) return names;
    auto listing = cloudfs::ListingResponse::decode({answer->second, answer->first, std::nullopt});
    if (listing)
      for (const auto& file : listing->files) names.insert(file.name);
    return names;
  }

  /// A private snapshot holding `content`, as the host hands it over.
  std::filesystem::path snapshot(const std::string& content) {
    auto file = host_->containerRoot() / ("snapshot-" + base::makeUuid());
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }

  UploadAnswer wait(
      const std::function<void(fp::ReplicatedExtension::ChangeItemCompletion)>& start) {
    auto promise = std::make_shared<std::promise<UploadAnswer>>();
    start([promise](fp::ItemPtr item, fp::ItemFields, bool fetch, std::optional<fp::Error> error) {
      promise->set_value({std::move(item), fetch, std::move(error)});
    });
    auto future = promise->get_future();
    if (future.wait_for(60s) != std::future_status::ready) std::abort();
    return future.get();
  }
  UploadAnswer createFile(const std::string& name, const std::string& content) {
    fp::ItemProperties properties;
    properties.itemIdentifier = fp::ItemIdentifier("host-" + base::makeUuid());
    properties.parentItemIdentifier = fp::ItemIdentifier::rootContainer();
    properties.filename = name;
    properties.contentType = "public.plain-text";
    properties.documentSize = static_cast<std::int64_t>(content.size());
    properties.contentModificationDate = std::chrono::system_clock::now() - 1min;
    return wait([&](auto done) {
      host_->wrapper().createItem(fp::ItemSnapshot::make(properties),
                                  fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier |
                                      fp::ItemFields::contents,
                                  snapshot(content), {}, {}, done);
    });
  }
  UploadAnswer edit(const fp::ItemPtr& item, const std::string& content) {
    auto properties = fp::ItemProperties::of(*item);
    properties.documentSize = static_cast<std::int64_t>(content.size());
    properties.contentModificationDate = std::chrono::system_clock::now();
    return wait([&](auto done) {
      host_->wrapper().modifyItem(
          fp::ItemSnapshot::make(properties), item->itemVersion(),
          fp::ItemFields::contents | fp::ItemFields::contentModificationDate, snapshot(content), {},
          {}, done);
    });
  }
  /// One upload ended, of the file at `below`, as `successful` says.
  void expectOneCompletion(const std::string& below, bool successful) {
    std::vector<std::string> ended;
    {
      std::lock_guard lock(mutex_);
      ended = completions_;
    }
    ASSERT_EQ(ended.size(), 1u);
    auto event = base::parseJSON(ended[0]);
    ASSERT_TRUE(event);
    EXPECT_EQ(base::jsonString(*event, "location"), path(below));
    EXPECT_EQ(base::jsonBool(*event, "successful"), successful);
  }
  std::vector<ReceivedRequest> uploadsReceived() {
    std::vector<ReceivedRequest> uploads;
    for (auto& request : received())
      if (request.method == "POST" && request.path.starts_with("/api/v1/fs-content"))
        uploads.push_back(std::move(request));
    return uploads;
  }

  std::string name_;
  common::SyncItem folder_;
  std::unique_ptr<FrameworkHost> host_;
  std::shared_ptr<void> completed_;
  std::shared_ptr<void> progress_;
  std::mutex mutex_;
  std::vector<std::string> completions_;
  std::vector<std::string> progressPosts_;
};

TEST_F(ProviderUploadTest, NewFileBytesReachTheCloudAndTheItemCarriesTheirVersion) {
  auto created = createFile("report.txt", "first draft\n");
  ASSERT_FALSE(created.error) << created.error->description();
  ASSERT_TRUE(created.item);
  EXPECT_EQ(created.item->filename(), "report.txt");
  EXPECT_FALSE(created.item->itemVersion().contentVersion.empty());
  EXPECT_EQ(cloudContent("report.txt"), "first draft\n");

  auto uploads = uploadsReceived();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].header("x-tarnix-previous-entryid"), std::nullopt);
  EXPECT_TRUE(uploads[0].header("last-modified"));

  // The item store holds what the answer said.
  auto lookedUp = host_->lookUp(created.item->itemIdentifier());
  ASSERT_TRUE(lookedUp.item) << (lookedUp.error ? lookedUp.error->description() : "");
  EXPECT_EQ(lookedUp.item->itemVersion().contentVersion,
            created.item->itemVersion().contentVersion);

  expectOneCompletion("report.txt", true);
}

TEST_F(ProviderUploadTest, AnEditMakesANewVersionBasedOnTheVersionItWasMadeFrom) {
  auto created = createFile("notes.txt", "version 1\n");
  ASSERT_FALSE(created.error) << created.error->description();
  const auto first = created.item->itemVersion().contentVersion;
  received();

  auto edited = edit(created.item, "version 2, longer\n");
  ASSERT_FALSE(edited.error) << edited.error->description();
  ASSERT_TRUE(edited.item);
  EXPECT_FALSE(edited.shouldFetchContent);
  EXPECT_NE(edited.item->itemVersion().contentVersion, first);
  EXPECT_EQ(edited.item->documentSize(), 18);
  EXPECT_EQ(cloudContent("notes.txt"), "version 2, longer\n");

  auto uploads = uploadsReceived();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].header("x-tarnix-previous-entryid"), first);
  EXPECT_EQ(cloudNames(), std::set<std::string>{"notes.txt"});
}

TEST_F(ProviderUploadTest, AnEditOfAFileChangedElsewhereKeepsTheirVersionAndMakesAConflictCopy) {
  auto created = createFile("shared.txt", "common ground\n");
  ASSERT_FALSE(created.error) << created.error->description();
  uploadFile(path("shared.txt"), "bob's version\n", folder_, EmulatorProcess::kBobToken);

  auto edited = edit(created.item, "alice's edit\n");
  ASSERT_FALSE(edited.error) << edited.error->description();
  EXPECT_TRUE(edited.shouldFetchContent);
  EXPECT_EQ(cloudContent("shared.txt"), "bob's version\n");
  auto names = cloudNames();
  ASSERT_EQ(names.size(), 2u);
  names.erase("shared.txt");
  EXPECT_EQ(cloudContent(*names.begin()), "alice's edit\n");
  // The item is bob's version now; the system fetches it again.
  ASSERT_TRUE(edited.item);
  EXPECT_NE(edited.item->itemVersion().contentVersion, created.item->itemVersion().contentVersion);
}

TEST_F(ProviderUploadTest, RefusedNewFilesAreErrorsTheCallerSees) {
  struct Case {
    std::string name;
    std::string content;
  };
  // A name the upload rules refuse; a name the cloud already holds with other content.
  uploadFile(path("taken.txt"), "theirs\n", folder_, EmulatorProcess::kBobToken);
  const Case cases[] = {{"bad:name.txt", "x"}, {"trailing dot.", "x"}, {"taken.txt", "mine\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    received();
    auto created = createFile(c.name, c.content);
    EXPECT_TRUE(created.error);
    EXPECT_FALSE(created.item);
    EXPECT_TRUE(uploadsReceived().empty());
  }
  EXPECT_EQ(cloudContent("taken.txt"), "theirs\n");
  EXPECT_EQ(cloudNames(), std::set<std::string>{"taken.txt"});
}

TEST_F(ProviderUploadTest, LargeFilesGoInChunksOfTheConfiguredSize) {
  // Chunks of 1 MiB above 1 MiB, from the drive's cloud configuration.
  startWithConfiguration(
      R"("macCustomClientBehaviours": [], "RecommendedChunkUploadFileSize": 1048576,)"
      R"("RecommendedChunkSize": 1048576)");

  std::string content(2 * (1 << 20) + 1, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>('a' + i % 26);
  auto created = createFile("large.bin", content);
  ASSERT_FALSE(created.error) << created.error->description();
  EXPECT_EQ(cloudContent("large.bin"), content);

  std::vector<std::string> chunks;
  for (const auto& request : uploadsReceived())
    chunks.push_back(request.header("x-tarnix-chunk-num").value_or("single"));
  EXPECT_EQ(chunks, (std::vector<std::string>{"1", "2", "3"}));

  std::vector<std::int64_t> acknowledged;
  {
    std::lock_guard lock(mutex_);
    for (const auto& post : progressPosts_) {
      auto info = base::parseJSON(post);
      ASSERT_TRUE(info);
      acknowledged.push_back(base::jsonInt(*info, "completedUploadBytes").value_or(-1));
    }
  }
  EXPECT_EQ(acknowledged, (std::vector<std::int64_t>{1 << 20, 2 << 20, 2 * (1 << 20) + 1}));
}

TEST_F(ProviderUploadTest, AFailedUploadIsAnErrorAndIsAnnouncedAsFailed) {
  // The cloud's storage is full.
  addFault({{"path", "^/api/v1/fs-content/"}, {"method", "POST"}, {"status", 507}});
  auto created = createFile("too much.txt", "bytes\n");
  ASSERT_TRUE(created.error);
  EXPECT_FALSE(created.item);
  EXPECT_EQ(cloudContent("too much.txt"), "<missing>");

  expectOneCompletion("too much.txt", false);
  // Shown to the user (as a desktop notification where the session has a server).
  EXPECT_EQ(host_->logs().count("Upload failure shown to the user"), 1u);
}

TEST_F(ProviderUploadTest, ModificationsLogChecksumsWhenTheConfigurationAsks) {
  startWithConfiguration(R"("macCustomClientBehaviours": ["computeChecksumOfUserFacingFile"])");
  auto created = createFile("audited.txt", "one\n");
  ASSERT_FALSE(created.error) << created.error->description();
  EXPECT_EQ(host_->logs().count("generateChecksum(for:label:filename:logger:)"), 0u);

  auto edited = edit(created.item, "two\n");
  ASSERT_FALSE(edited.error) << edited.error->description();
  EXPECT_EQ(cloudContent("audited.txt"), "two\n");
  EXPECT_GE(host_->logs().count("generateChecksum(for:label:filename:logger:)"), 1u);
  // The test's system shows no user-facing file for it.
  EXPECT_TRUE(logged("Logging checksum: Error getting local FileProvider URL"));
}

}  // namespace
}  // namespace tarnix::testing
