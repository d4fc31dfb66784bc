// Every request type as it goes on the wire: method, URL (path and query in order), headers,
// body, time-out and host.

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <memory>

#include "cloudfs/CloudFSRequestPrototype.hpp"
#include "cloudfs/requests/EventRequests.hpp"
#include "cloudfs/requests/FSIItemMetadataRequest.hpp"
#include "cloudfs/requests/FileMetadataRequest.hpp"
#include "cloudfs/requests/FolderMetadataRequest.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/requests/NamespaceRequests.hpp"
#include "cloudfs/requests/ServiceRequests.hpp"

using namespace tarnix::cloudfs;
using tarnix::base::JSONValue;
using tarnix::common::CloudFolderIdentifier;
using tarnix::common::CloudGroupIdentifier;
using tarnix::common::CloudItemIdentifier;

namespace {

CloudItemIdentifier fileID(std::string id) {
  return CloudGroupIdentifier{std::move(id)};
}
CloudItemIdentifier folderID(std::string id) {
  return CloudFolderIdentifier{std::move(id)};
}

struct Expected {
  Expected(std::string method, std::string url, std::map<std::string, std::string> headers = {},
           std::optional<std::string> body = std::nullopt, double timeout = 60)
      : method(std::move(method)),
        url(std::move(url)),
        headers(std::move(headers)),
        body(std::move(body)),
        timeout(timeout) {}

  std::string method;
  std::string url;
  std::map<std::string, std::string> headers;
  std::optional<std::string> body;  // JSON text (compared as JSON) or plain text
  double timeout = 60;
};

struct Case {
  std::string name;
  std::function<std::unique_ptr<CloudFSRequestPrototype>()> make;
  Expected expected;
};

constexpr const char* kHost = "https://drive.example";
const std::string kExtended = "application/vnd.tarnix.fs.extended+json; v=1";
const std::string kFSIQuery = "application/vnd.tarnix.fsi.item.query+json; v=1";

template <class T, class... Args>
std::function<std::unique_ptr<CloudFSRequestPrototype>()> make(Args... args) {
  return [=] { return std::make_unique<T>(args...); };
}

std::vector<Case> cases() {
  FolderMetadataOptions all;
  all.includePermissions = true;
  all.listEntries = true;
  all.offset = 20;
  all.count = 10;
  all.sortDirection = FolderMetadataOptions::SortDirection::descending;
  all.sortBy = FolderMetadataOptions::SortBy::lastModified;
  FolderMetadataOptions ascendingByUploader;
  ascendingByUploader.sortBy = FolderMetadataOptions::SortBy::uploadedBy;

  const std::string flagsOff =
      "include_perm=false&include_locks=false&include_collaboration=false&list_content=false";
  return {
      {"folder metadata, defaults",
       make<FolderMetadataRequest>(std::string("f1")),
       {"GET", std::string(kHost) + "/api/v1/fs/ids/folder/f1?" + flagsOff}},
      {"folder metadata, every option",
       make<FolderMetadataRequest>(std::string("f1"), all),
       {"GET", std::string(kHost) +
                   "/api/v1/fs/ids/folder/f1?include_perm=true&include_locks=false&"
                   "include_collaboration=false&list_content=true&offset=20&count=10&"
                   "sort_direction=descending&sort_by=last_modified"}},
      {"folder metadata, ascending sends no direction",
       make<FolderMetadataRequest>(std::string("f1"), ascendingByUploader),
       {"GET",
        std::string(kHost) + "/api/v1/fs/ids/folder/f1?" + flagsOff + "&sort_by=uploaded_by"}},
      {"item metadata by path",
       make<ItemMetadataByPathRequest>(percentEncodePath("/Shared/a b/Ü&x.txt")),
       {"GET", std::string(kHost) + "/api/v1/fs/Shared/a%20b/%C3%9C%26x.txt?" + flagsOff}},
      {"file metadata, no flags",
       make<FileMetadataRequest>(std::string("g7")),
       {"GET", std::string(kHost) + "/api/v1/fs/ids/file/g7"}},
      {"file metadata, some flags",
       make<FileMetadataRequest>(std::string("g7"), true, false, true, true),
       {"GET", std::string(kHost) +
                   "/api/v1/fs/ids/file/g7?include_perm=true&include_collaboration=true&"
                   "list_content=true"}},
      {"file metadata by path, path only",
       make<FileMetadataByPathRequest>(std::string("/a&b=c d"), false),
       {"GET", std::string(kHost) + "/rest/public/1.0/fsi?path=/a%26b%3Dc%20d&fields=PATH"}},
      {"file metadata by path, with owner",
       make<FileMetadataByPathRequest>(std::string("/x"), true),
       {"GET", std::string(kHost) + "/rest/public/1.0/fsi?path=/x&fields=PATH&fields=OWNER"}},
      {"fsi by id",
       make<FSIItemMetadataByIDRequest>(
           fileID("g7"),
           std::set<FSIRequestField>{FSIRequestField::knowledgeBaseFolder, FSIRequestField::entryId,
                                     FSIRequestField::self, FSIRequestField::linkAccessType}),
       {"GET",
        std::string(kHost) +
            "/rest/public/2.0/fsi/file/g7?fields=SELF&fields=LINK_ACCESS_TYPE&fields=ENTRY_ID&"
            "fields=KNOWLEDGE_BASE_FOLDER",
        {{"Content-Type", kFSIQuery}}}},
      {"fsi by path",
       make<FSIItemMetadataByPathRequest>(
           std::string("/Docs/a.txt"),
           std::set<FSIRequestField>{FSIRequestField::path, FSIRequestField::owner}),
       {"POST",
        std::string(kHost) + "/rest/public/1.0/fsi?fields=PATH&fields=OWNER",
        {{"Content-Type", kFSIQuery}},
        R"({"_method":"GET","path":"/Docs/a.txt"})"}},
      {"listing by id, unconditional",
       make<ListingByIdRequest>(std::string("f1")),
       {"GET", std::string(kHost) + "/rest/public/v1/fsc/folders/f1"}},
      {"listing by id, conditional with flags",
       [] {
         auto r = std::make_unique<ListingByIdRequest>("f1");
         r->lastETag = "\"tag-1\"";
         r->includeChecksum = true;
         r->includeCollaboration = true;
         r->includeStandardUser = true;
         r->includeDocumentRoom = true;
         return r;
       },
       {"GET",
        std::string(kHost) +
            "/rest/public/v1/fsc/folders/f1?includeChecksum=true&includeCollaboration=true&"
            "indicateStandardUsersAccess=true&indicateDocumentRoom=true",
        {{"If-None-Match", "\"tag-1\""}}}},
      {"listing by path",
       [] {
         auto r = std::make_unique<ListingByPathRequest>("/Shared/Team");
         r->includeUploadedBy = true;
         r->includeMoveDeletePermittedInfo = true;
         r->includeProjectFolder = true;
         return r;
       },
       {"GET", std::string(kHost) +
                   "/rest/public/v1/fsc/folders?path=/Shared/Team&includeUploadedBy=true&"
                   "includeMoveDeletePermittedInfo=true&indicateProjectFolder=true"}},
      {"create folder",
       make<CreateFolderRequest>(std::string("p1"), std::string("New \"one\"")),
       {"POST",
        std::string(kHost) + "/api/v1/fs/ids/folder/p1",
        {{"Accept", kExtended}, {"Content-Type", kExtended}},
        R"({"action":"add_folder","name":"New \"one\""})"}},
      {"move with everything",
       [] {
         auto r = MoveItemRequest::Builder{fileID("g7"), "p2", "b.txt"}.build("lock-1");
         return std::make_unique<MoveItemRequest>(*r);
       },
       {"POST",
        std::string(kHost) + "/api/v1/fs/ids/file/g7",
        {{"Accept", kExtended}, {"Content-Type", kExtended}, {"X-Tarnix-Lock-Token", "lock-1"}},
        R"({"action":"move","name":"b.txt","destination_id":"p2","lock_token":"lock-1"})"}},
      {"rename only sends no destination",
       [] {
         auto r = MoveItemRequest::Builder{folderID("f1"), std::nullopt, "Renamed"}.build();
         return std::make_unique<MoveItemRequest>(*r);
       },
       {"POST",
        std::string(kHost) + "/api/v1/fs/ids/folder/f1",
        {{"Accept", kExtended}, {"Content-Type", kExtended}},
        R"({"action":"move","name":"Renamed"})"}},
      {"copy with permissions",
       make<CopyItemByIdRequest>(folderID("f1"), std::string("/Shared/Copy"),
                                 PermissionHandling::inheritFromParent),
       {"POST",
        std::string(kHost) + "/rest/public/v1/fs/ids/folder/f1",
        {{"Content-Type", "application/json"},
         {"Accept", "application/json, application/vnd.tarnix.error+json; v=2"}},
        R"({"action":"copy","destination":"/Shared/Copy","permissions":"inherit_from_parent"})"}},
      {"copy without permissions",
       make<CopyItemByIdRequest>(fileID("g7"), std::string("/c.txt"),
                                 std::optional<PermissionHandling>{}),
       {"POST",
        std::string(kHost) + "/rest/public/v1/fs/ids/file/g7",
        {{"Content-Type", "application/json"},
         {"Accept", "application/json, application/vnd.tarnix.error+json; v=2"}},
        R"({"action":"copy","destination":"/c.txt"})"}},
      {"duplicate",
       make<DuplicateItemRequest>(std::string("/a.txt")),
       {"POST",
        std::string(kHost) + "/rest/public/1.0/fsi",
        {{"Content-Type", "application/vnd.tarnix.fsi.item.create+json"}, {"Accept", "*/*"}},
        R"({"sourceFilePath":"/a.txt","_method":"DUPLICATE"})"}},
      {"delete file with version and lock",
       make<DeleteFileRequest>(std::string("g7"), std::optional<std::string>("e9"),
                               std::optional<std::string>("lock-1")),
       {"DELETE",
        std::string(kHost) + "/api/v1/fs/ids/file/g7?entry_id=e9",
        {{"X-Tarnix-Lock-Token", "lock-1"}}}},
      {"delete file",
       make<DeleteFileRequest>(std::string("g7")),
       {"DELETE", std::string(kHost) + "/api/v1/fs/ids/file/g7"}},
      {"delete folder",
       make<DeleteFolderRequest>(std::string("f1")),
       {"DELETE", std::string(kHost) + "/api/v1/fs/ids/folder/f1"}},
      {"iffl precheck on the sync host",
       make<IfflPrecheckRequest>(std::vector<std::string>{"/a", "/b c"}),
       {"POST",
        "https://sync-drive.example/v5/iffl/precheck",
        {{"Content-Type", "application/json"}, {"Tarnix-Client-Revision", "TXC/167236"}},
        R"({"root_paths":["/a","/b c"]})"}},
      {"events of the sync back end after a revision",
       [] {
         auto request = std::make_unique<GetEventsRequest>();
         request->folders = {"/Shared/Team"};
         request->revision = 41;
         request->headRevision = 45;
         request->eventBatch = 500;
         request->batchID = 3;
         return request;
       },
       {"POST",
        "https://sync-drive.example/v5/get_events",
        {{"Content-Type", "application/json"}, {"Tarnix-Client-Revision", "TXC/167236"}},
        R"({"folders":["/Shared/Team"],"revision":41,"head_revision":45,"event_batch":500,
            "batch_id":3,"force":false})"}},
      {"an announced range of events, inclusive",
       [] { return std::make_unique<EventsRequest>(*EventsRequest::make(10, 12, "w1")); },
       {"POST",
        std::string(kHost) + "/rest/public/1.0/events/getEvents",
        {{"Content-Type", "application/json"}},
        R"({"minEventId":10,"maxEventId":13,"maxBatchSize":3,"workgroupId":"w1"})"}},
      {"service discovery",
       make<ServiceDiscoveryRequest>(),
       {"GET", std::string(kHost) + "/rest/public/1.0/servicediscovery"}},
      {"heart beat",
       make<HeartBeatRequest>(std::optional<std::string>{}),
       {"HEAD",
        std::string(kHost) + "/downloads/test/tx-client-check.txt",
        {{"Pragma", "no-cache"}, {"Cache-Control", "no-cache, no-store, must-revalidate"}},
        std::nullopt,
        15}},
      {"heart beat on another host",
       make<HeartBeatRequest>(std::optional<std::string>("check.example")),
       {"HEAD",
        "https://check.example/downloads/test/tx-client-check.txt",
        {{"Pragma", "no-cache"}, {"Cache-Control", "no-cache, no-store, must-revalidate"}},
        std::nullopt,
        15}},
      {"identifiers cannot add path segments",
       make<DeleteFolderRequest>(std::string("../x?y")),
       {"DELETE", std::string(kHost) + "/api/v1/fs/ids/folder/..%2Fx%3Fy"}},
  };
}

}  // namespace

TEST(CloudFSRequestTests, EveryRequestTypeOnTheWire) {
  for (const auto& c : cases()) {
    SCOPED_TRACE(c.name);
    auto request = c.make();
    auto built = buildURLRequest(*request, "drive.example");
    ASSERT_TRUE(built.has_value()) << built.error().description();
    EXPECT_EQ(built->method.rawValue, c.expected.method);
    EXPECT_EQ(built->url, c.expected.url);
    EXPECT_EQ(built->timeoutInterval, c.expected.timeout);
    std::map<std::string, std::string> headers;
    for (const auto& [name, value] : built->headers) headers[name.rawValue] = value;
    EXPECT_EQ(headers, c.expected.headers);
    ASSERT_EQ(built->body.has_value(), c.expected.body.has_value());
    if (c.expected.body) {
      auto actual = tarnix::base::parseJSON(*built->body);
      auto expected = tarnix::base::parseJSON(*c.expected.body);
      ASSERT_TRUE(actual.has_value()) << *built->body;
      EXPECT_EQ(*actual, *expected) << *built->body;
    }
  }
}

TEST(CloudFSRequestTests, NothingIsBuiltFromBadInput) {
  // Announced ranges are untrusted: empty, negative or overflowing ones make no request.
  EXPECT_FALSE(EventsRequest::make(12, 10, "w"));
  EXPECT_FALSE(EventsRequest::make(-1, 10, "w"));
  EXPECT_FALSE(EventsRequest::make(0, std::numeric_limits<std::int64_t>::max(), "w"));
  EXPECT_TRUE(EventsRequest::make(7, 7, "w"));

  MoveItemRequest::Builder nothing{fileID("g7"), std::nullopt, std::nullopt};
  EXPECT_FALSE(nothing.build().has_value());

  // A path that is not percent-encoded, or a host that is not a host, gives no URL.
  auto unencoded = buildURLRequest(ItemMetadataByPathRequest("/a b"), "drive.example");
  ASSERT_FALSE(unencoded.has_value());
  EXPECT_EQ(unencoded.error(), CloudFSError::invalidURL("/api/v1/fs/a b"));
  EXPECT_EQ(unencoded.error().description(), "Invalid URL with path '/api/v1/fs/a b'");
  EXPECT_FALSE(buildURLRequest(ServiceDiscoveryRequest(), "").has_value());
  EXPECT_FALSE(buildURLRequest(ServiceDiscoveryRequest(), "bad host/x").has_value());
  EXPECT_TRUE(buildURLRequest(ServiceDiscoveryRequest(), "127.0.0.1:8443").has_value());

  // A name that is not UTF-8 is refused rather than sent altered.
  auto badName =
      buildURLRequest(CreateFolderRequest("p1", std::string("bad\xff")), "drive.example");
  ASSERT_FALSE(badName.has_value());
  EXPECT_EQ(badName.error().kind, CloudFSError::Kind::bodyEncodingError);
}

TEST(CloudFSRequestTests, FSIFieldWireNames) {
  const std::pair<FSIRequestField, const char*> names[] = {
      {FSIRequestField::self, "SELF"},
      {FSIRequestField::hasSubfolders, "HAS_SUBFOLDERS"},
      {FSIRequestField::permissionOptions, "PERMISSION_OPTIONS"},
      {FSIRequestField::createdTimestamp, "CREATED_TIMESTAMP"},
      {FSIRequestField::lastModifiedTimestamp, "LAST_MODIFIED_TIMESTAMP"},
      {FSIRequestField::isHlsPossible, "IS_HLS_POSSIBLE"},
      {FSIRequestField::previewRestrictions, "PREVIEW_RESTRICTIONS"},
      {FSIRequestField::documentRoomRestrictions, "DOCUMENT_ROOM_RESTRICTIONS"},
      {FSIRequestField::standardUserHasAccess, "STANDARD_USER_HAS_ACCESS"},
      {FSIRequestField::crossDomainFolder, "CROSS_DOMAIN_FOLDER"},
      {FSIRequestField::activeLinks, "ACTIVE_LINKS"},
      {FSIRequestField::knowledgeBaseFolder, "KNOWLEDGE_BASE_FOLDER"},
  };
  for (const auto& [field, name] : names) EXPECT_EQ(wireName(field), name);
}
