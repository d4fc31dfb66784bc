// SyncCloudClient against a local HTTPS server that answers what each case needs: the items a
// listing builds, the mapping of every status and error body onto SyncError, and answers the
// client must survive (no entity tag, wrong types, cut short, not HTTP at all).

#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "support/CapturingLogSink.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::cloudfs;
using namespace tarnix::testing;
using namespace std::chrono_literals;
using tarnix::common::SyncError;
using tarnix::common::SyncItem;
using tarnix::fileprovider::SyncCloudClient;
using tarnix::fileprovider::SyncCloudError;
using tarnix::fileprovider::SyncCloudFolderItems;
using tarnix::fileprovider::SyncCloudListing;
using tarnix::fileprovider::SyncCloudNotModified;
using tarnix::fileprovider::SyncCloudResult;
using Code = SyncError::Code;
using Reason = tarnix::common::UploadRejectionReason;

namespace {

class RecordingErrorHandler final : public DriveCloudErrorHandler {
 public:
  void authenticationDidExpire() override { ++expirations; }
  std::atomic<int> expirations{0};
};

SyncItem cloudFolderItem(std::string localID, std::string cloudID) {
  SyncItem item;
  item.itemIdentifier = tarnix::common::SyncFolderIdentifier{std::move(localID)};
  item.parentItemIdentifier = tarnix::common::SyncFolderIdentifier::zero();
  item.filename = "Team";
  item.cloudIdentifier = tarnix::common::CloudFolderIdentifier{std::move(cloudID)};
  item.permission = tarnix::common::SyncItemPermission::full;
  return item;
}

SyncItem cloudFileItem(std::string groupID, std::string entryID) {
  SyncItem item;
  item.itemIdentifier = tarnix::common::SyncFileIdentifier{"file-1"};
  item.parentItemIdentifier = tarnix::common::SyncFolderIdentifier{"team"};
  item.filename = "a.txt";
  item.cloudIdentifier = tarnix::common::CloudGroupIdentifier{std::move(groupID)};
  item.contentVersion = tarnix::common::CloudEntryIdentifier{std::move(entryID)};
  return item;
}

std::string errorBody(const std::string& message) {
  return R"({"errorMessage":")" + message + R"(","message":")" + message + R"("})";
}

const char* kListing = R"({
  "path": "/Shared/Team", "folderId": "10", "parentFolderId": "1", "permission": "RWD",
  "uploaded": 1000, "lastModified": 2000, "moveDeletePermitted": true,
  "files": [{"name": "a.txt", "groupId": "g1", "entryId": "e1", "checksum": "c1", "size": 5,
             "uploaded": 3000, "uploadedBy": "ada", "lastModified": 4000, "locked": false}],
  "folders": [{"name": "Sub", "folderId": "11", "permission": "MODIFY", "uploaded": 5000,
               "lastModified": 6000, "moveDeletePermitted": false,
               "visualIndicators": {"projectFolder": true, "documentRoomFolder": false}}]})";

class SyncCloudClientTest : public ::testing::Test {
 protected:
  SyncCloudClientTest() {
    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = dir_.path();
    urlSession_ = std::make_shared<TarnixURLSession>(
        tarnix::base::Logger::null(),
        TarnixUserAgent("device", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}), "trace", nullptr,
        configuration);
  }

  std::shared_ptr<SyncCloudClient> client(std::string domain = {}) {
    tarnix::common::Drive drive;
    drive.domain = domain.empty() ? "127.0.0.1:" + std::to_string(server_.port()) : domain;
    drive.userName = "ada";
    drive.authentication = tarnix::common::AccountAuthentication::oauth("token", "refresh");
    return std::make_shared<SyncCloudClient>(
        std::make_shared<CloudFSSessionFactory>(urlSession_, log_.first), errorHandler_, log_.first,
        nullptr, drive);
  }

  void answer(CannedResponse response) {
    std::lock_guard lock(mutex_);
    canned_ = std::move(response);
  }

  template <class T>
  static SyncCloudResult<T> wait(std::promise<SyncCloudResult<T>>& promise) {
    auto future = promise.get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }
  template <class T>
  static std::function<void(SyncCloudResult<T>)> into(std::promise<SyncCloudResult<T>>& promise) {
    return [&promise](SyncCloudResult<T> result) { promise.set_value(std::move(result)); };
  }

  std::mutex mutex_;
  CannedResponse canned_{200};
  TestHTTPSServer server_{[this](const RecordedRequest&) {
    std::lock_guard lock(mutex_);
    return canned_;
  }};
  TempDir dir_{"tarnix-sync-client"};
  std::shared_ptr<TarnixURLSession> urlSession_;
  std::shared_ptr<RecordingErrorHandler> errorHandler_ = std::make_shared<RecordingErrorHandler>();
  std::pair<tarnix::base::Logger, std::shared_ptr<CapturingLogSink>> log_ =
      CapturingLogSink::makeLogger();
};

TEST_F(SyncCloudClientTest, AListingBecomesTheFolderItemAndItsChildren) {
  answer(CannedResponse(200, {{"ETag", "\"v2\""}}, kListing));
  std::promise<SyncCloudResult<SyncCloudListing>> done;
  client()->enumerateItems(cloudFolderItem("team", "10"), "\"v1\"", into(done));
  auto result = wait(done);
  ASSERT_TRUE(result) << result.error().description();
  auto* items = std::get_if<SyncCloudFolderItems>(&*result);
  ASSERT_NE(items, nullptr);

  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target,
            "/rest/public/v1/fsc/folders/10?includeChecksum=true&includeUploadedBy=true&"
            "includeCollaboration=true&indicateStandardUsersAccess=true&indicateProjectFolder=true&"
            "indicateDocumentRoom=true");
  EXPECT_EQ(requests[0].header("If-None-Match"), "\"v1\"");

  EXPECT_EQ(items->version, "\"v2\"");
  EXPECT_EQ(items->folderItem.itemIdentifier.description(), "folder/team");
  EXPECT_EQ(items->folderItem.permission, tarnix::common::SyncItemPermission::full);
  EXPECT_FALSE(items->folderItem.flags.contains(tarnix::common::SyncItemFlags::isFixedFolder));

  ASSERT_EQ(items->childFolderItems.size(), 1u);
  const auto& sub = items->childFolderItems[0];
  EXPECT_TRUE(sub.isFolder());
  EXPECT_EQ(sub.filename, "Sub");
  EXPECT_EQ(sub.parentItemIdentifier.rawValue, "team");
  EXPECT_EQ(sub.cloudIdentifier->description(), "folder/11");
  EXPECT_EQ(sub.permission, tarnix::common::SyncItemPermission::owner);
  EXPECT_TRUE(sub.flags.contains(tarnix::common::SyncItemFlags::isFixedFolder));
  EXPECT_TRUE(sub.isProjectFolder);
  EXPECT_FALSE(sub.isDocumentRoom);
  EXPECT_FALSE(sub.hasStandardUserAccess);
  EXPECT_EQ(tarnix::base::millisecondsSince1970(*sub.contentModificationDate), 6000);

  ASSERT_EQ(items->childFileItems.size(), 1u);
  const auto& file = items->childFileItems[0];
  EXPECT_FALSE(file.isFolder());
  EXPECT_EQ(file.filename, "a.txt");
  EXPECT_EQ(file.parentItemIdentifier.rawValue, "team");
  EXPECT_EQ(file.cloudIdentifier->description(), "file/g1");
  EXPECT_EQ(file.contentVersion->rawValue, "e1");
  EXPECT_EQ(file.contentChecksum, "c1");
  EXPECT_EQ(file.contentSize, 5);
  EXPECT_EQ(file.author, "ada");
  EXPECT_EQ(file.permission, tarnix::common::SyncItemPermission::full);
  EXPECT_EQ(tarnix::base::millisecondsSince1970(file.uploadDate), 3000);
  EXPECT_FALSE(file.lockInfo.has_value());
  EXPECT_EQ(log_.second->entries("Listed folder").size(), 1u);
}

TEST_F(SyncCloudClientTest, ANotModifiedListingCarriesNoItems) {
  answer(CannedResponse(304));
  std::promise<SyncCloudResult<SyncCloudListing>> done;
  client()->enumerateItems(cloudFolderItem("team", "10"), "\"v1\"", into(done));
  auto result = wait(done);
  ASSERT_TRUE(result) << result.error().description();
  EXPECT_TRUE(std::holds_alternative<SyncCloudNotModified>(*result));
}

// Which SyncError each failed answer becomes, per operation.
TEST_F(SyncCloudClientTest, StatusesAndErrorBodiesMapOntoSyncErrors) {
  enum class Operation { listing, createFolder, move, deletion, fileMetadata };
  struct Case {
    const char* name;
    Operation operation;
    CannedResponse response;
    Code expected;
    Reason reason = Reason::unknownReason;
  };
  const std::string locked = errorBody("The file is locked by another user");
  const std::vector<Case> cases = {
      {"listing 401", Operation::listing, {401, {}, "{}"}, Code::authenticationRequired},
      {"listing 403 locked", Operation::listing, {403, {}, locked}, Code::fileLocked},
      {"listing 403",
       Operation::listing,
       {403, {}, errorBody("Permission denied")},
       Code::permissionDenied},
      {"listing 404", Operation::listing, {404, {}, "{}"}, Code::noSuchItem},
      {"listing 429 with Retry-After",
       Operation::listing,
       {429, {{"Retry-After", "5"}}, ""},
       Code::throttledByServer},
      {"listing 429", Operation::listing, {429, {}, ""}, Code::throttledByServer},
      {"listing 500", Operation::listing, {500, {}, "oops"}, Code::badServerResponse},
      {"listing 500 long body",
       Operation::listing,
       {500, {}, std::string(10000, 'z')},
       Code::badServerResponse},
      {"listing 503",
       Operation::listing,
       {503, {{"Retry-After", "1"}}, ""},
       Code::badServerResponse},
      {"listing 400 unknown",
       Operation::listing,
       {400, {}, errorBody("Nope")},
       Code::badServerResponse},
      {"create 409 folder exists",
       Operation::createFolder,
       {409,
        {{"X-Tarnix-ErrorCode", "FolderAlreadyExists"}},
        R"({"message":"Folder already exists","code":"FolderAlreadyExists"})"},
       Code::filenameCollision},
      {"create 400 temporary name",
       Operation::createFolder,
       {400, {}, R"({"inputErrors":[{"name":"name","code":"FILESYSTEM_NAME_NOT_TEMP"}]})"},
       Code::uploadRejected,
       Reason::invalidFilename},
      {"create 400 extensions",
       Operation::createFolder,
       {400, {}, R"({"message":"x","allowedFilenameExtensions":["pdf"]})"},
       Code::uploadRejected,
       Reason::excludedFilenameExtension},
      {"create 400 name too long",
       Operation::createFolder,
       {400, {}, errorBody("File name cannot be greater than 245 bytes")},
       Code::uploadRejected,
       Reason::filenameTooLong},
      {"create 403",
       Operation::createFolder,
       {403, {}, errorBody("Permission denied")},
       Code::permissionDenied},
      {"create 404 parent", Operation::createFolder, {404, {}, "{}"}, Code::noSuchItem},
      {"move 400 into child",
       Operation::move,
       {400, {}, errorBody("Cannot move parent folder into child folder")},
       Code::uploadRejected,
       Reason::invalidDestination},
      {"move 403 locked", Operation::move, {403, {}, locked}, Code::fileLocked},
      {"move 409",
       Operation::move,
       {409, {}, errorBody("An item with the same name already exists")},
       Code::filenameCollision},
      {"move 401", Operation::move, {401, {}, ""}, Code::authenticationRequired},
      {"delete 403",
       Operation::deletion,
       {403, {}, errorBody("Permission denied")},
       Code::deletionRejected},
      {"delete 403 locked", Operation::deletion, {403, {}, locked}, Code::fileLocked},
      {"delete 409 other version",
       Operation::deletion,
       {409, {}, errorBody("The file was changed since the given version")},
       Code::entryIDMismatch},
      {"delete 502", Operation::deletion, {502, {}, ""}, Code::badServerResponse},
      {"metadata 404", Operation::fileMetadata, {404, {}, "{}"}, Code::noSuchItem},
      {"metadata 200 wrong types",
       Operation::fileMetadata,
       {200, {}, R"({"group_id": [1]})"},
       Code::badServerResponse},
      {"listing 200 without ETag",
       Operation::listing,
       {200, {}, kListing},
       Code::badServerResponse},
      {"listing 200 wrong types",
       Operation::listing,
       {200, {{"ETag", "\"v\""}}, R"({"path": 7, "folderId": "1", "files": {}, "folders": []})"},
       Code::badServerResponse},
      {"listing 200 not JSON",
       Operation::listing,
       {200, {{"ETag", "\"v\""}}, "<html>"},
       Code::badServerResponse},
  };
  auto sut = client();
  for (const auto& c : cases) {
    answer(c.response);
    const int expirationsBefore = errorHandler_->expirations;
    std::promise<SyncCloudResult<SyncItem>> itemDone;
    std::promise<SyncCloudResult<SyncCloudListing>> listingDone;
    std::promise<SyncCloudResult<void>> voidDone;
    std::promise<SyncCloudResult<FileMetadataResponse>> metadataDone;
    std::optional<SyncCloudError> error;
    switch (c.operation) {
      case Operation::listing: {
        sut->enumerateItems(cloudFolderItem("team", "10"), std::nullopt, into(listingDone));
        auto r = wait(listingDone);
        if (!r) error = r.error();
        break;
      }
      case Operation::createFolder: {
        sut->createFolder(cloudFolderItem("team", "10"), "New", into(itemDone));
        auto r = wait(itemDone);
        if (!r) error = r.error();
        break;
      }
      case Operation::move: {
        sut->moveItem(cloudFileItem("g1", "e1"), std::nullopt, "b.txt", std::nullopt,
                      into(itemDone));
        auto r = wait(itemDone);
        if (!r) error = r.error();
        break;
      }
      case Operation::deletion: {
        sut->deleteItem(cloudFileItem("g1", "e1"), std::nullopt, into(voidDone));
        auto r = wait(voidDone);
        if (!r) error = r.error();
        break;
      }
      case Operation::fileMetadata: {
        sut->fileMetadata(cloudFileItem("g1", "e1"), into(metadataDone));
        auto r = wait(metadataDone);
        if (!r) error = r.error();
        break;
      }
    }
    ASSERT_TRUE(error.has_value()) << c.name;
    ASSERT_NE(error->syncError(), nullptr) << c.name << ": " << error->description();
    EXPECT_EQ(error->syncError()->code(), c.expected) << c.name << ": " << error->description();
    if (c.expected == Code::uploadRejected) {
      EXPECT_EQ(error->syncError()->rejectionReason(), c.reason) << c.name;
    }
    if (c.expected == Code::noSuchItem) {
      const auto expectedItem =
          c.operation == Operation::createFolder || c.operation == Operation::listing
              ? std::string("folder/team")
              : std::string("file/file-1");
      EXPECT_EQ(error->syncError()->itemIdentifier()->description(), expectedItem) << c.name;
    }
    if (c.expected == Code::filenameCollision) {
      EXPECT_EQ(error->syncError()->item()->filename,
                c.operation == Operation::move ? "b.txt" : "New")
          << c.name;
    }
    EXPECT_EQ(errorHandler_->expirations - expirationsBefore,
              c.expected == Code::authenticationRequired ? 1 : 0)
        << c.name;
  }
  // The unexpected ones are logged with what support needs to find the request again.
  auto unexpected = log_.second->entries("Unexpected status code returned by server");
  ASSERT_FALSE(unexpected.empty());
  for (const char* key : {"operationName", "statusCode", "body", "X-Tarnix-Request-Id"}) {
    EXPECT_NE(unexpected[0].metadata->get(key), nullptr) << key;
  }
  // A long body goes in cut, with a marker of how much was left out.
  std::vector<std::string> bodies;
  for (const auto& entry : unexpected) bodies.push_back(*entry.metadata->get("body")->asString());
  EXPECT_NE(std::ranges::find(bodies, std::string(4096, 'z') + " [\u2026 5904 bytes cut]"),
            bodies.end());
  EXPECT_EQ(std::ranges::count(bodies, std::string(10000, 'z')), 0);
}

TEST_F(SyncCloudClientTest, ServerMessagesPairWithSyncErrors) {
  struct Case {
    const char* message;
    Code code;
    Reason reason = Reason::unknownReason;
  };
  const Case cases[] = {
      {"Files cannot be saved directly to /Shared", Code::uploadRejected,
       Reason::invalidDestination},
      {"File names cannot contain leading or trailing spaces, trailing periods, control "
       "characters, or any of the following special characters: * ? / \\ : < > \" |",
       Code::uploadRejected, Reason::prohibitedCharacterInFilename},
      {"Path cannot contain multibyte unicode characters", Code::uploadRejected,
       Reason::prohibitedUnicodeInFilename},
      {"File name cannot be greater than 245 bytes", Code::uploadRejected, Reason::filenameTooLong},
      {"File path cannot be longer than 5000 characters", Code::uploadRejected,
       Reason::pathTooLong},
      {"Google Doc stub files may not be uploaded to this domain.", Code::uploadRejected,
       Reason::googleDocUnsupported},
      {"Temporary files are not supported", Code::uploadRejected, Reason::invalidFilename},
      {"Destination filename is considered as temporary by the server.", Code::uploadRejected,
       Reason::invalidFilename},
      {"Can only add files in allowed roots.", Code::uploadRejected, Reason::invalidDestination},
      {"dest path can not be empty for action move", Code::invalidFilePath},
      {"Name must be provided if folder is being added by folder id.", Code::uploadRejected,
       Reason::invalidFilename},
      {"Folder path cannot be longer than 5000 bytes", Code::uploadRejected, Reason::pathTooLong},
      {"Cannot move parent folder into child folder", Code::uploadRejected,
       Reason::invalidDestination},
  };
  for (const auto& c : cases) {
    auto error = tarnix::fileprovider::syncErrorForServerMessage(c.message);
    ASSERT_TRUE(error.has_value()) << c.message;
    EXPECT_EQ(error->code(), c.code) << c.message;
    EXPECT_EQ(error->rejectionReason(), c.reason) << c.message;
  }
  // Only the exact texts count.
  EXPECT_FALSE(tarnix::fileprovider::syncErrorForServerMessage("Temporary files are not supported.")
                   .has_value());
  EXPECT_FALSE(tarnix::fileprovider::syncErrorForServerMessage("").has_value());
}

TEST_F(SyncCloudClientTest, DeletingWhatTheServerNoLongerHasSucceeds) {
  answer(CannedResponse(404, {}, "{}"));
  std::promise<SyncCloudResult<void>> done;
  client()->deleteItem(cloudFileItem("g1", "e1"), "lock-1", into(done));
  auto result = wait(done);
  EXPECT_TRUE(result.has_value());
  EXPECT_EQ(log_.second->entries("Item already deleted on server").size(), 1u);
  auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].header("X-Tarnix-Lock-Token"), "lock-1");
}

TEST_F(SyncCloudClientTest, AMoveWithNeitherNameNorParentSendsNothing) {
  std::promise<SyncCloudResult<SyncItem>> done;
  auto task = client()->moveItem(cloudFileItem("g1", "e1"), std::nullopt, std::nullopt,
                                 std::nullopt, into(done));
  auto result = wait(done);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->filename, "a.txt");
  EXPECT_EQ(task.urlSessionTask, nullptr);
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_EQ(log_.second->entries("Neither renaming or reparenting specified, not moving").size(),
            1u);
}

TEST_F(SyncCloudClientTest, AnItemWithoutCloudIdentifierIsNotSent) {
  auto folder = cloudFolderItem("team", "10");
  folder.cloudIdentifier.reset();
  std::promise<SyncCloudResult<SyncCloudListing>> done;
  client()->enumerateItems(folder, std::nullopt, into(done));
  auto result = wait(done);
  ASSERT_FALSE(result.has_value());
  ASSERT_NE(result.error().syncError(), nullptr);
  EXPECT_EQ(result.error().syncError()->code(), Code::noCloudIdentifier);
  EXPECT_TRUE(server_.requests().empty());
}

// Transport failures: what the caller sees when the answer never comes or is no answer.
TEST_F(SyncCloudClientTest, TransportFailuresAreCancellationsUnreachableOrTyped) {
  struct Case {
    const char* name;
    CannedResponse response;
    bool cancel = false;
    bool refused = false;
    std::function<void(const SyncCloudError&)> check;
  };
  CannedResponse slow(200, {{"ETag", "\"v\""}}, kListing);
  slow.delay = 3s;
  CannedResponse truncated(200, {{"ETag", "\"v\""}}, kListing);
  truncated.truncate = true;
  CannedResponse notHTTP;
  notHTTP.raw = "SSH-2.0-OpenSSH_9.2\r\n\r\n";
  const std::vector<Case> cases = {
      {"cancelled", slow, true, false,
       [](const SyncCloudError& e) {
         EXPECT_TRUE(e.isCancellation()) << e.description();
         EXPECT_EQ(e.syncError(), nullptr);
       }},
      {"connection refused",
       {},
       false,
       true,
       [](const SyncCloudError& e) {
         ASSERT_NE(e.syncError(), nullptr) << e.description();
         EXPECT_EQ(e.syncError()->code(), Code::serverUnreachable);
       }},
      {"truncated body", truncated, false, false,
       [](const SyncCloudError& e) { EXPECT_FALSE(e.isCancellation()) << e.description(); }},
      {"not HTTP", notHTTP, false, false,
       [](const SyncCloudError& e) {
         EXPECT_FALSE(e.isCancellation()) << e.description();
         EXPECT_FALSE(e.description().empty());
       }},
  };
  for (const auto& c : cases) {
    answer(c.response);
    auto sut = c.refused ? client("127.0.0.1:" + std::to_string(unusedLoopbackPort())) : client();
    std::promise<SyncCloudResult<SyncCloudListing>> done;
    auto task = sut->enumerateItems(cloudFolderItem("team", "10"), std::nullopt, into(done));
    if (c.cancel) {
      // Cancel once the request is on its way.
      for (int i = 0; i < 500 && server_.requests().empty(); ++i) std::this_thread::sleep_for(10ms);
      task.cancel();
    }
    auto result = wait(done);
    ASSERT_FALSE(result.has_value()) << c.name;
    c.check(result.error());
  }
  EXPECT_EQ(errorHandler_->expirations, 0);
}

}  // namespace

TEST_F(SyncCloudClientTest, DownloadsDoNotKeepTheClientAliveAndEndWithIt) {
  CannedResponse slow{200, {{"ETag", "\"e1\""}}, "the file's bytes"};
  slow.delay = 60s;  // the server would answer long after the test is over
  answer(slow);
  auto cloud = std::make_shared<tarnix::fileprovider::SyncCloudDownloads>(
      client(),
      tarnix::fileprovider::DownloadConfiguration{dir_.path() / "resume", nullptr, std::nullopt});
  const auto item = cloudFileItem("g1", "e1");
  std::promise<SyncCloudResult<tarnix::fileprovider::PartialFetchOutputContext>> partial;
  std::promise<SyncCloudResult<SyncItem>> whole;
  cloud->fetchPartialContents({0, 4}, item, dir_.path() / "part", 0, std::nullopt, false,
                              into(partial));
  cloud->downloadFile(item, dir_.path() / "whole", std::nullopt,
                      tarnix::platform::fileprovider::FetchContentsOptions::none, into(whole));
  for (int i = 0; i < 1000 && server_.requests().size() < 2; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server_.requests().size(), 2u);

  std::weak_ptr<tarnix::fileprovider::SyncCloudDownloads> weak = cloud;
  cloud.reset();
  EXPECT_TRUE(weak.expired()) << "a running download keeps the client alive";
  // Both end with the cancellation at once, and nothing is handed over.
  auto partialFuture = partial.get_future();
  auto wholeFuture = whole.get_future();
  ASSERT_EQ(partialFuture.wait_for(15s), std::future_status::ready);
  ASSERT_EQ(wholeFuture.wait_for(15s), std::future_status::ready);
  auto partialResult = partialFuture.get();
  auto wholeResult = wholeFuture.get();
  ASSERT_FALSE(partialResult);
  EXPECT_TRUE(partialResult.error().isCancellation()) << partialResult.error().description();
  ASSERT_FALSE(wholeResult);
  EXPECT_TRUE(wholeResult.error().isCancellation()) << wholeResult.error().description();
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "part"));
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "whole"));
}
