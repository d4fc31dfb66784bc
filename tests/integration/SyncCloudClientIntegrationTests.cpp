// SyncCloudClient against the cloud emulator over TLS: what each request looks like on arrival,
// conditional listings, and how the emulator's refusals, injected faults and broken answers
// reach the caller.

#include <thread>

#include "base/Uuid.hpp"
#include "cloudfs/requests/EventRequests.hpp"
#include "cloudfs/requests/FileMetadataRequest.hpp"
#include "cloudfs/requests/FolderMetadataRequest.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"
#include "cloudfs/responses/EventResponses.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::testing;
using tarnix::base::HTTPMethod;
using tarnix::base::JSONValue;
using tarnix::common::SyncError;
using tarnix::common::SyncItem;
using tarnix::fileprovider::SyncCloudClient;
using tarnix::fileprovider::SyncCloudError;
using tarnix::fileprovider::SyncCloudFolderItems;
using tarnix::fileprovider::SyncCloudListing;
using tarnix::fileprovider::SyncCloudNotModified;
using Code = SyncError::Code;
using Reason = tarnix::common::UploadRejectionReason;
using namespace std::chrono_literals;

namespace {

class SyncCloudClientIntegrationTest : public CloudClientTest {
 protected:
  std::string uniqueName(const std::string& prefix) {
    return prefix + "-" + tarnix::base::makeUuid().substr(0, 8);
  }

  SyncCloudFolderItems list(SyncCloudClient& sut, const SyncItem& folder,
                            std::optional<std::string> version = std::nullopt) {
    auto listed = run<SyncCloudListing>(
        [&](auto done) { sut.enumerateItems(folder, version, std::move(done)); });
    if (!listed) {
      ADD_FAILURE() << listed.error().description();
      return {};
    }
    auto* items = std::get_if<SyncCloudFolderItems>(&*listed);
    if (!items) {
      ADD_FAILURE() << "not modified";
      return {};
    }
    return *items;
  }

  SyncItem childNamed(SyncCloudClient& sut, const SyncItem& folder, const std::string& name) {
    for (const auto& items = list(sut, folder); const auto& child : items.childFileItems) {
      if (child.filename == name) return child;
    }
    for (const auto& items = list(sut, folder); const auto& child : items.childFolderItems) {
      if (child.filename == name) return child;
    }
    ADD_FAILURE() << "no child " << name;
    return {};
  }
};

using Query = std::vector<std::pair<std::string, std::string>>;

// Every request the client sends, as the emulator received it: method, path, query items in
// order, the headers that carry meaning, and the JSON body.
TEST_F(SyncCloudClientIntegrationTest, EachRequestArrivesWithItsMethodPathQueryHeadersAndBody) {
  auto sut = client();
  const auto shared = folderAt("/Shared");
  const std::string workName = uniqueName("wire");
  const auto work = makeFolder(shared, workName);
  const std::string workPath = "/Shared/" + workName;
  const auto other = makeFolder(work, "Other");
  const auto file = uploadFile(workPath + "/a.txt", "alpha", work);
  const std::string workID = work.cloudIdentifier->rawValue();
  const std::string otherID = other.cloudIdentifier->rawValue();
  const std::string groupID = file.cloudIdentifier->rawValue();
  SyncItem made;  // set by the folder creation, deleted at the end
  received();

  const std::string extended = "application/vnd.tarnix.fs.extended+json; v=1";
  struct Case {
    const char* name;
    std::function<bool()> send;
    std::string method;
    std::function<std::string()> path;
    Query query;
    std::map<std::string, std::string> headers;  // exact values; "" = must be absent
    std::optional<JSONValue> body;
  };
  auto ok = [](const auto& result) {
    if (!result) ADD_FAILURE() << result.error().description();
    return result.has_value();
  };
  // Request types other services send, straight through the client's session.
  auto raw = [&](const tarnix::cloudfs::CloudFSRequestPrototype& request) {
    auto future =
        sut->cfsSession()->data(request, tarnix::cloudfs::TarnixURLRequestOptions::none());
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    auto result = future.get();
    if (!result) {
      ADD_FAILURE() << tarnix::cloudfs::describe(result.error());
      return false;
    }
    EXPECT_EQ(result->second.statusCode / 100, 2) << result->first;
    return result->second.statusCode / 100 == 2;
  };
  const std::string filePath = workPath + "/a.txt";
  const std::vector<Case> cases = {
      {"listing",
       [&] {
         return ok(run<SyncCloudListing>(
             [&](auto done) { sut->enumerateItems(work, std::nullopt, std::move(done)); }));
       },
       "GET",
       [&] { return "/rest/public/v1/fsc/folders/" + workID; },
       {{"includeChecksum", "true"},
        {"includeUploadedBy", "true"},
        {"includeCollaboration", "true"},
        {"indicateStandardUsersAccess", "true"},
        {"indicateProjectFolder", "true"},
        {"indicateDocumentRoom", "true"}},
       {{"if-none-match", ""}},
       std::nullopt},
      {"folder metadata",
       [&] {
         return ok(run<tarnix::cloudfs::FolderMetadataResponse>(
             [&](auto done) { sut->folderMetadata(work, std::move(done)); }));
       },
       "GET",
       [&] { return "/api/v1/fs/ids/folder/" + workID; },
       {{"include_perm", "true"},
        {"include_locks", "true"},
        {"include_collaboration", "false"},
        {"list_content", "false"}},
       {},
       std::nullopt},
      {"file metadata",
       [&] {
         return ok(run<tarnix::cloudfs::FileMetadataResponse>(
             [&](auto done) { sut->fileMetadata(file, std::move(done)); }));
       },
       "GET",
       [&] { return "/api/v1/fs/ids/file/" + groupID; },
       {{"include_perm", "true"}, {"include_locks", "true"}},
       {},
       std::nullopt},
      {"item metadata",
       [&] {
         return ok(run<tarnix::cloudfs::FSIItemMetadataVersionResponse>([&](auto done) {
           sut->itemMetadata(
               file,
               {tarnix::cloudfs::FSIRequestField::name, tarnix::cloudfs::FSIRequestField::entryId,
                tarnix::cloudfs::FSIRequestField::owner},
               std::move(done));
         }));
       },
       "GET",
       [&] { return "/rest/public/2.0/fsi/file/" + groupID; },
       {{"fields", "NAME"}, {"fields", "OWNER"}, {"fields", "ENTRY_ID"}},
       {{"content-type", "application/vnd.tarnix.fsi.item.query+json; v=1"}},
       std::nullopt},
      {"copy",
       [&] {
         return ok(run<void>([&](auto done) {
           sut->copyItem(file, workPath + "/copy.txt",
                         tarnix::cloudfs::PermissionHandling::keepOriginal, std::move(done));
         }));
       },
       "POST",
       [&] { return "/rest/public/v1/fs/ids/file/" + groupID; },
       {},
       {{"content-type", "application/json"},
        {"accept", "application/json, application/vnd.tarnix.error+json; v=2"}},
       JSONValue{{"action", "copy"},
                 {"destination", workPath + "/copy.txt"},
                 {"permissions", "keep_original"}}},
      {"duplicate",
       [&] {
         return ok(run<void>(
             [&](auto done) { sut->duplicateItem(workPath + "/a.txt", std::move(done)); }));
       },
       "POST",
       [] { return std::string("/rest/public/1.0/fsi"); },
       {},
       {{"content-type", "application/vnd.tarnix.fsi.item.create+json"}, {"accept", "*/*"}},
       JSONValue{{"sourceFilePath", workPath + "/a.txt"}, {"_method", "DUPLICATE"}}},
      {"metadata by path",
       [&] {
         return raw(tarnix::cloudfs::ItemMetadataByPathRequest(
             tarnix::cloudfs::percentEncodePath(filePath)));
       },
       "GET",
       [&] { return "/api/v1/fs" + filePath; },
       {{"include_perm", "false"},
        {"include_locks", "false"},
        {"include_collaboration", "false"},
        {"list_content", "false"}},
       {},
       std::nullopt},
      {"file metadata by path",
       [&] { return raw(tarnix::cloudfs::FileMetadataByPathRequest(filePath, true)); },
       "GET",
       [] { return std::string("/rest/public/1.0/fsi"); },
       {{"path", filePath}, {"fields", "PATH"}, {"fields", "OWNER"}},
       {},
       std::nullopt},
      {"index query by path",
       [&] {
         return raw(tarnix::cloudfs::FSIItemMetadataByPathRequest(
             filePath, {tarnix::cloudfs::FSIRequestField::name}));
       },
       "POST",
       [] { return std::string("/rest/public/1.0/fsi"); },
       {{"fields", "NAME"}},
       {{"content-type", "application/vnd.tarnix.fsi.item.query+json; v=1"}},
       JSONValue{{"_method", "GET"}, {"path", filePath}}},
      {"listing by path",
       [&] {
         tarnix::cloudfs::ListingByPathRequest request(workPath);
         request.includeChecksum = true;
         request.includeMoveDeletePermittedInfo = true;
         return raw(request);
       },
       "GET",
       [] { return std::string("/rest/public/v1/fsc/folders"); },
       {{"path", workPath},
        {"includeChecksum", "true"},
        {"includeMoveDeletePermittedInfo", "true"}},
       {{"if-none-match", ""}},
       std::nullopt},
      {"service discovery",
       [&] { return raw(tarnix::cloudfs::ServiceDiscoveryRequest()); },
       "GET",
       [] { return std::string("/rest/public/1.0/servicediscovery"); },
       {},
       {},
       std::nullopt},
      {"heart beat",
       [&] { return raw(tarnix::cloudfs::HeartBeatRequest()); },
       "HEAD",
       [] { return std::string("/downloads/test/tx-client-check.txt"); },
       {},
       {{"pragma", "no-cache"}, {"cache-control", "no-cache, no-store, must-revalidate"}},
       std::nullopt},
      {"rename",
       [&] {
         return ok(run<SyncItem>([&](auto done) {
           sut->moveItem(file, std::nullopt, "b.txt", std::nullopt, std::move(done));
         }));
       },
       "POST",
       [&] { return "/api/v1/fs/ids/file/" + groupID; },
       {},
       {{"content-type", extended}, {"accept", extended}, {"x-tarnix-lock-token", ""}},
       JSONValue{{"action", "move"}, {"name", "b.txt"}}},
      {"reparent",
       [&] {
         return ok(run<SyncItem>([&](auto done) {
           sut->moveItem(file, other, std::nullopt, std::nullopt, std::move(done));
         }));
       },
       "POST",
       [&] { return "/api/v1/fs/ids/file/" + groupID; },
       {},
       {{"content-type", extended}, {"accept", extended}},
       JSONValue{{"action", "move"}, {"destination_id", otherID}}},
      {"create folder",
       [&] {
         auto result =
             run<SyncItem>([&](auto done) { sut->createFolder(work, "Made", std::move(done)); });
         if (result) made = *result;
         return ok(result);
       },
       "POST",
       [&] { return "/api/v1/fs/ids/folder/" + workID; },
       {},
       {{"content-type", extended}, {"accept", extended}},
       JSONValue{{"action", "add_folder"}, {"name", "Made"}}},
      {"delete file",
       [&] {
         return ok(
             run<void>([&](auto done) { sut->deleteItem(file, std::nullopt, std::move(done)); }));
       },
       "DELETE",
       [&] { return "/api/v1/fs/ids/file/" + groupID; },
       {{"entry_id", file.contentVersion->rawValue}},
       {},
       std::nullopt},
      {"delete folder",
       [&] {
         return ok(
             run<void>([&](auto done) { sut->deleteItem(made, std::nullopt, std::move(done)); }));
       },
       "DELETE",
       [&] { return "/api/v1/fs/ids/folder/" + made.cloudIdentifier->rawValue(); },
       {},
       {},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.send());
    auto requests = received();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.path, c.path());
    EXPECT_EQ(r.query, c.query);
    EXPECT_EQ(r.header("authorization"),
              EmulatorProcess::authorization(EmulatorProcess::kAliceToken));
    auto requestID = r.header("x-tarnix-request-id");
    ASSERT_TRUE(requestID.has_value());
    EXPECT_EQ(tarnix::base::normalizedUuid(*requestID), *requestID);
    for (const auto& [name, value] : c.headers) {
      if (value.empty()) {
        EXPECT_FALSE(r.header(name).has_value()) << name;
      } else {
        EXPECT_EQ(r.header(name), value) << name;
      }
    }
    if (c.body) {
      auto body = tarnix::base::parseJSON(r.body);
      ASSERT_TRUE(body.has_value()) << r.body;
      EXPECT_EQ(*body, *c.body);
    } else {
      EXPECT_TRUE(r.body.empty()) << r.body;
    }
  }
}

TEST_F(SyncCloudClientIntegrationTest, AnUnchangedFolderAnswersNotModifiedUntilItChanges) {
  auto sut = client();
  const std::string name = uniqueName("etag");
  const auto folder = makeFolder(folderAt("/Shared"), name);
  uploadFile("/Shared/" + name + "/a.txt", "alpha", folder);
  auto first = list(*sut, folder);
  ASSERT_EQ(first.childFileItems.size(), 1u);
  ASSERT_FALSE(first.version.empty());
  received();

  auto again = run<SyncCloudListing>(
      [&](auto done) { sut->enumerateItems(folder, first.version, std::move(done)); });
  ASSERT_TRUE(again) << again.error().description();
  EXPECT_TRUE(std::holds_alternative<SyncCloudNotModified>(*again));
  auto requests = received();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("if-none-match"), first.version);

  uploadFile("/Shared/" + name + "/b.txt", "beta", folder);
  auto changed = list(*sut, folder, first.version);
  EXPECT_EQ(changed.childFileItems.size(), 2u);
  EXPECT_NE(changed.version, first.version);
}

// How the emulator's refusals, injected faults and broken answers reach the caller.
TEST_F(SyncCloudClientIntegrationTest, RefusalsFaultsAndBrokenAnswersBecomeTypedErrors) {
  auto alice = client();
  const auto shared = folderAt("/Shared");
  const auto documents = folderAt("/Shared/Documents");
  const auto readOnly = folderAt("/Shared/Read Only");
  const auto lockedFile = childNamed(*alice, documents, "Locked.docx");
  const std::string name = uniqueName("errors");
  const auto parent = makeFolder(shared, name);
  const auto child = makeFolder(parent, "Child");
  const auto privateFolder = folderAt("/Private");
  const auto listingPath = "^/rest/public/v1/fsc/folders/" + parent.cloudIdentifier->rawValue();
  received();

  enum class Operation { listing, createFolder, move, deletion };
  struct Case {
    const char* name;
    std::optional<JSONValue> fault;
    Operation operation;
    std::function<void(const SyncCloudError&)> check;
    std::string token = EmulatorProcess::kAliceToken;
    int expirations = 0;
  };
  auto is = [](Code code, Reason reason = Reason::unknownReason) {
    return [code, reason](const SyncCloudError& e) {
      ASSERT_NE(e.syncError(), nullptr) << e.description();
      EXPECT_EQ(e.syncError()->code(), code) << e.description();
      EXPECT_EQ(e.syncError()->rejectionReason(), reason) << e.description();
    };
  };
  auto typed = [](const SyncCloudError& e) {
    EXPECT_FALSE(e.isCancellation()) << e.description();
    EXPECT_FALSE(e.description().empty());
  };
  auto fault = [&](JSONValue rule) {
    rule["path"] = listingPath;
    if (!rule.contains("count")) rule["count"] = 1;
    return rule;
  };
  const std::vector<Case> cases = {
      {"401 unknown token", std::nullopt, Operation::listing, is(Code::authenticationRequired),
       "nobody-token", 1},
      {"403 locked by another user", std::nullopt, Operation::deletion, is(Code::fileLocked)},
      {"403 locked, on move", std::nullopt, Operation::move, is(Code::fileLocked)},
      {"403 no permission", std::nullopt, Operation::createFolder, is(Code::permissionDenied)},
      {"403 on listing", fault({{"action", "status"}, {"status", 403}}), Operation::listing,
       is(Code::permissionDenied)},
      {"404 folder of another user", std::nullopt, Operation::listing, is(Code::noSuchItem),
       EmulatorProcess::kBobToken},
      {"409 name taken", std::nullopt, Operation::createFolder, is(Code::filenameCollision)},
      {"400 into its own child", std::nullopt, Operation::move,
       is(Code::uploadRejected, Reason::invalidDestination)},
      {"429 with Retry-After", fault({{"action", "status"}, {"status", 429}, {"retryAfter", "2"}}),
       Operation::listing, is(Code::throttledByServer)},
      {"429", fault({{"action", "status"}, {"status", 429}}), Operation::listing,
       is(Code::throttledByServer)},
      {"500", fault({{"action", "status"}, {"status", 500}}), Operation::listing,
       is(Code::badServerResponse)},
      {"503", fault({{"action", "status"}, {"status", 503}, {"retryAfter", "1"}}),
       Operation::listing, is(Code::badServerResponse)},
      {"200 without ETag",
       fault({{"action", "status"},
              {"status", 200},
              {"body",
               {{"path", "/Shared/x"},
                {"folderId", "1"},
                {"permission", "RWD"},
                {"uploaded", 0},
                {"lastModified", 0},
                {"files", JSONValue::array()},
                {"folders", JSONValue::array()}}}}),
       Operation::listing, is(Code::badServerResponse)},
      {"200 with wrong types",
       fault({{"action", "status"}, {"status", 200}, {"body", {{"path", 7}, {"files", "none"}}}}),
       Operation::listing, is(Code::badServerResponse)},
      {"200 cut short", fault({{"action", "malformed"}}), Operation::listing,
       is(Code::badServerResponse)},
      {"body truncated", fault({{"action", "truncate"}}), Operation::listing, typed},
      {"connection dropped", fault({{"action", "drop"}, {"count", 2}}), Operation::listing, typed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault) addFault(*c.fault);
    auto sut = client(c.token);
    const int before = errorHandler_->expirations;
    std::optional<SyncCloudError> error;
    switch (c.operation) {
      case Operation::listing: {
        // bob cannot see alice's private folder at all.
        const auto& folder = c.token == EmulatorProcess::kBobToken ? privateFolder : parent;
        auto r = run<SyncCloudListing>(
            [&](auto done) { sut->enumerateItems(folder, std::nullopt, std::move(done)); });
        if (!r) error = r.error();
        break;
      }
      case Operation::createFolder: {
        const bool taken = std::string_view(c.name).starts_with("409");
        auto r = run<SyncItem>([&](auto done) {
          sut->createFolder(taken ? shared : readOnly, taken ? "Documents" : "New",
                            std::move(done));
        });
        if (!r) error = r.error();
        break;
      }
      case Operation::move: {
        const bool locked = std::string_view(c.name).starts_with("403");
        auto r = run<SyncItem>([&](auto done) {
          if (locked) {
            sut->moveItem(lockedFile, std::nullopt, "Renamed.docx", std::nullopt, std::move(done));
          } else {
            sut->moveItem(parent, child, std::nullopt, std::nullopt, std::move(done));
          }
        });
        if (!r) error = r.error();
        break;
      }
      case Operation::deletion: {
        auto r = run<void>(
            [&](auto done) { sut->deleteItem(lockedFile, std::nullopt, std::move(done)); });
        if (!r) error = r.error();
        break;
      }
    }
    ASSERT_TRUE(error.has_value());
    c.check(*error);
    EXPECT_EQ(errorHandler_->expirations - before, c.expirations);
    // The client never retries by itself. (A connection closed without an answer may be
    // tried once more on a fresh connection by the transport.)
    auto requests = received();
    if (std::string_view(c.name) != "connection dropped") {
      EXPECT_EQ(requests.size(), 1u);
    }
  }
}

TEST_F(SyncCloudClientIntegrationTest,
       ACancelledListingIsACancellationAndARefusedConnectionIsUnreachable) {
  const auto folder = folderAt("/Shared/Documents");
  received();
  addFault({{"path", "^/rest/public/v1/fsc/folders/"},
            {"action", "delay"},
            {"delayMs", 5000},
            {"count", 1}});
  auto sut = client();
  auto promise =
      std::make_shared<std::promise<tarnix::fileprovider::SyncCloudResult<SyncCloudListing>>>();
  auto task = sut->enumerateItems(
      folder, std::nullopt, [promise](auto result) { promise->set_value(std::move(result)); });
  // Cancel once the emulator holds the request.
  for (int i = 0; i < 500; ++i) {
    if (!received().empty()) break;
    std::this_thread::sleep_for(10ms);
  }
  task.cancel();
  auto future = promise->get_future();
  ASSERT_EQ(future.wait_for(30s), std::future_status::ready);
  auto cancelled = future.get();
  ASSERT_FALSE(cancelled.has_value());
  EXPECT_TRUE(cancelled.error().isCancellation()) << cancelled.error().description();
  EXPECT_EQ(cancelled.error().syncError(), nullptr);

  auto refused =
      client(EmulatorProcess::kAliceToken, "localhost:" + std::to_string(unusedLoopbackPort()));
  auto result = run<SyncCloudListing>(
      [&](auto done) { refused->enumerateItems(folder, std::nullopt, std::move(done)); });
  ASSERT_FALSE(result.has_value());
  ASSERT_NE(result.error().syncError(), nullptr) << result.error().description();
  EXPECT_EQ(result.error().syncError()->code(), Code::serverUnreachable);
}

}  // namespace

namespace {

// The sync back end lives on "sync-" + the drive's domain, a name this machine does not
// resolve: the session's host mapping reaches it, and TLS still checks the certificate under
// that name.
TEST_F(SyncCloudClientIntegrationTest, TheSyncBackEndIsReachedThroughAHostMapping) {
  EXPECT_EQ(tarnix::cloudfs::hostMappingsFromText(" a:1:b:2,c:3:d:4\n"),
            (std::vector<std::string>{"a:1:b:2", "c:3:d:4"}));
  const auto port = std::to_string(emulator().port());
  tarnix::cloudfs::TarnixURLSession::Configuration configuration;
  configuration.additionalCAFile = emulator().caFile();
  configuration.downloadDirectory = emulator().dataDir();
  configuration.hostMappings = {"sync-localhost:" + port + ":127.0.0.1:" + port};
  auto session = std::make_shared<tarnix::cloudfs::TarnixURLSession>(
      tarnix::base::Logger::null(),
      tarnix::cloudfs::TarnixUserAgent("device-1", "1.0.0", "1", {"en_US", "6.1.0", "x86_64"}),
      "lifecycle", nullptr, configuration);
  tarnix::common::Drive drive;
  drive.domain = emulator().host();
  drive.authentication =
      tarnix::common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh");
  auto cfs = tarnix::cloudfs::CloudFSSessionFactory(session, tarnix::base::Logger::null())
                 .makeSession(drive);
  tarnix::cloudfs::GetEventsRequest request;
  request.folders = {"/Shared"};
  request.eventBatch = 10;
  auto future = cfs->data(request, tarnix::cloudfs::TarnixURLRequestOptions::none());
  ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  auto answer = future.get();
  ASSERT_TRUE(answer) << tarnix::cloudfs::describe(answer.error());
  EXPECT_EQ(answer->second.statusCode, 200) << answer->first;
  auto batch =
      tarnix::cloudfs::GetEventsResponse::decode({answer->second, answer->first, std::nullopt});
  ASSERT_TRUE(batch) << batch.error().description();
  EXPECT_FALSE(batch->events.empty());  // the seeded tree's own history
  const auto received = this->received();
  ASSERT_FALSE(received.empty());
  EXPECT_EQ(received.back().path, "/v5/get_events");
}

}  // namespace
