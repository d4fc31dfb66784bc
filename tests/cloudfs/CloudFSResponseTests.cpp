// Decoding the cloud's answers: good bodies, and typed errors for missing bodies, bad JSON,
// missing members and members of the wrong type.

#include <gtest/gtest.h>

#include "cloudfs/responses/EventResponses.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "cloudfs/responses/MetadataResponses.hpp"
#include "cloudfs/responses/ServiceResponses.hpp"
#include "cloudfs/responses/UserResponses.hpp"

using namespace tarnix::cloudfs;

namespace {

CloudFSResponse response(std::optional<std::string> body,
                         std::vector<std::pair<std::string, std::string>> headers = {}) {
  CloudFSResponse r;
  r.httpResponse.statusCode = 200;
  r.httpResponse.headerFields = std::move(headers);
  r.body = std::move(body);
  return r;
}

const char* kListing = R"({
  "path": "/Shared/Team", "folderId": "f1", "parentFolderId": 77, "permission": "RWD",
  "uploaded": 1700000000000, "lastModified": 1700000001000, "moveDeletePermitted": true,
  "files": [
    {"name": "a.txt", "groupId": "g1", "entryId": "e1", "checksum": "abc", "size": 12,
     "uploaded": 1, "uploadedBy": "Ann Lee", "lastModified": 2, "locked": false},
    {"name": "b.txt", "groupId": "g2", "entryId": "e2", "size": 0, "uploaded": 3,
     "lastModified": 4, "locked": true, "collaboration": "office"}
  ],
  "folders": [
    {"name": "Sub", "folderId": "f2", "permission": "NAV", "uploaded": 5, "lastModified": 6,
     "visualIndicators": {"standardUserAccess": true, "projectFolder": false}}
  ]
})";

}  // namespace

TEST(CloudFSResponseTests, DecodesAListing) {
  auto listing = ListingResponse::decode(response(kListing, {{"etag", "\"t1\""}}));
  ASSERT_TRUE(listing.has_value()) << listing.error().description();
  EXPECT_EQ(listing->path, "/Shared/Team");
  EXPECT_EQ(listing->parentFolderID, "77");
  EXPECT_EQ(listing->moveDeletePermitted, true);
  ASSERT_EQ(listing->files.size(), 2u);
  EXPECT_EQ(listing->files[0],
            (ListingResponse::File{"a.txt", "g1", "e1", "abc", 12, 1, "Ann Lee", 2, false, {}}));
  EXPECT_EQ(listing->files[1].checksum, std::nullopt);
  EXPECT_EQ(listing->files[1].collaboration, "office");
  ASSERT_EQ(listing->folders.size(), 1u);
  EXPECT_EQ(listing->folders[0].visualIndicators,
            (std::map<std::string, bool>{{"standardUserAccess", true}, {"projectFolder", false}}));
  EXPECT_EQ(listing->folders[0].moveDeletePermitted, std::nullopt);
  EXPECT_EQ(ListingResponse::entityTag(response(kListing, {{"etag", "\"t1\""}})).value(), "\"t1\"");
}

TEST(CloudFSResponseTests, BadListingsGiveTypedErrors) {
  struct Case {
    const char* name;
    std::optional<std::string> body;
    CloudFSError error;
  };
  std::string listing = kListing;
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string copy = listing;
    copy.replace(copy.find(from), from.size(), to);
    return copy;
  };
  const Case cases[] = {
      {"no body", std::nullopt, CloudFSError::missingBody()},
      {"empty body", "", CloudFSError::missingBody()},
      {"truncated body", listing.substr(0, listing.size() / 2),
       CloudFSError::fieldParsingError("body")},
      {"not an object", "[1,2]", CloudFSError::fieldParsingError("body")},
      {"missing path", replaced("\"path\": \"/Shared/Team\",", ""),
       CloudFSError::fieldParsingError("path")},
      {"size as text", replaced("\"size\": 0", "\"size\": \"0\""),
       CloudFSError::fieldParsingError("files[1].size")},
      {"files not a list", replaced("\"files\": [", "\"files\": {\"x\": [") + "}",
       CloudFSError::fieldParsingError("files")},
      {"locked missing", replaced(", \"locked\": false", ""),
       CloudFSError::fieldParsingError("files[0].locked")},
      {"indicator not a flag", replaced("\"projectFolder\": false", "\"projectFolder\": 1"),
       CloudFSError::fieldParsingError("folders[0].visualIndicators.projectFolder")},
      {"folder entry not an object", replaced("{\"name\": \"Sub\"", "7, {\"name\": \"Sub\""),
       CloudFSError::fieldParsingError("folders[0]")},
      {"id as a list", replaced("\"folderId\": \"f1\"", "\"folderId\": [\"f1\"]"),
       CloudFSError::fieldParsingError("folderId")},
      {"size beyond 64 bits", replaced("\"size\": 12", "\"size\": 18446744073709551615"),
       CloudFSError::fieldParsingError("files[0].size")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto decoded = ListingResponse::decode(response(c.body));
    ASSERT_FALSE(decoded.has_value());
    EXPECT_EQ(decoded.error(), c.error) << decoded.error().description();
  }
  auto noTag = ListingResponse::entityTag(response(kListing));
  ASSERT_FALSE(noTag.has_value());
  EXPECT_EQ(noTag.error().description(), "Missing header 'ETag' in response");
}

TEST(CloudFSResponseTests, DecodesMetadata) {
  auto folder = FolderMetadataResponse::decode(response(R"({
    "path": "/Docs", "folder_id": "f1", "parent_id": "f0", "permission": "RWD",
    "last_modified": 10, "uploaded": 9, "description": "", "allow_links": true,
    "restrict_move_delete": false,
    "files": [{"path": "/Docs/a.txt", "num_versions": 2, "group_id": "g1", "parent_id": "f1",
               "permission": "RWD", "locked": true,
               "lock": {"owner_id": 5, "first_name": "Ann", "last_name": "Lee", "email": "a@x",
                        "lock_date": 100, "lock_expiry_date": 200, "collaboration": null},
               "entry_id": "e2", "checksum": "c2", "last_modified": "2024-03-01T12:00:00.000Z",
               "uploaded": 8, "uploaded_by": "Ann Lee", "size": 42, "owner_id": 5,
               "first_name": "Ann", "last_name": "Lee", "email": "a@x",
               "versions": [{"entry_id": "e1", "checksum": "c1",
                             "last_modified": "2024-02-01T12:00:00.000Z", "uploaded": 7,
                             "uploaded_by": "Ann Lee", "size": 40}]}],
    "folders": [{"path": "/Docs/Sub", "folder_id": "f2", "permission": "NAV",
                 "last_modified": 3, "uploaded": 2}]
  })"));
  ASSERT_TRUE(folder.has_value()) << folder.error().description();
  ASSERT_TRUE(folder->files.has_value());
  const auto& file = folder->files->at(0);
  EXPECT_EQ(file.numVersions, 2);
  EXPECT_TRUE(file.locked);
  ASSERT_TRUE(file.lock.has_value());
  EXPECT_EQ(file.lock->ownerID, 5);
  EXPECT_EQ(file.lock->lockExpiryDate, 200);
  EXPECT_EQ(file.versions->at(0).size, 40);
  EXPECT_EQ(folder->folders->at(0).folderID, "f2");

  auto minimal = FolderMetadataResponse::decode(
      response(R"({"path": "/", "folder_id": "0", "last_modified": 1, "uploaded": 1})"));
  ASSERT_TRUE(minimal.has_value());
  EXPECT_FALSE(minimal->files.has_value());

  auto badVersion = FileMetadataResponse::decode(response(R"({
    "path": "/a", "num_versions": 1, "group_id": "g", "parent_id": "p", "locked": false,
    "entry_id": "e", "checksum": "c", "last_modified": "x", "uploaded": 1, "size": 1,
    "versions": [{"entry_id": "e1", "checksum": "c1", "last_modified": "t", "uploaded": "soon",
                  "uploaded_by": "A", "size": 1}]})"));
  ASSERT_FALSE(badVersion.has_value());
  EXPECT_EQ(badVersion.error(), CloudFSError::fieldParsingError("versions[0].uploaded"));

  auto version = FSIItemMetadataVersionResponse::decode(response(R"({
    "name": "a.txt", "groupId": "g1", "entryId": "e1", "checksum": "c",
    "lastModifiedTimestamp": 1700000000000,
    "owner": {"id": 5, "username": "ann", "firstName": "Ann", "lastName": "Lee", "email": "a@x"}})"));
  ASSERT_TRUE(version.has_value()) << version.error().description();
  EXPECT_EQ(version->owner.username, "ann");
  auto noOwner = FSIItemMetadataVersionResponse::decode(response(R"({
    "name": "a.txt", "groupId": "g1", "entryId": "e1", "checksum": "c",
    "lastModifiedTimestamp": 1})"));
  ASSERT_FALSE(noOwner.has_value());
  EXPECT_EQ(noOwner.error(), CloudFSError::fieldParsingError("owner"));
}

TEST(CloudFSResponseTests, DecodesServiceAnswersAndErrorBodies) {
  auto created = CreateFolderResponse::decode(response(R"({"folder_id": 12, "path": "/N"})"));
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->folderID, "12");

  auto precheck = IfflPrecheckResponse::decode(
      response(R"({"iffl_candidate": true, "global_revision_id": 981})"));
  ASSERT_TRUE(precheck.has_value());
  EXPECT_TRUE(precheck->ifflCandidate);
  EXPECT_EQ(precheck->globalRevision, 981);
  EXPECT_FALSE(IfflPrecheckResponse::decode(response(R"({"iffl_candidate": "yes"})")).has_value());

  auto discovery = ServiceDiscoveryResponse::decode(
      response(R"({"refreshInterval": 3600, "events": {"url": "events.example"}})"));
  ASSERT_TRUE(discovery.has_value());
  EXPECT_EQ(discovery->refreshInterval, 3600.0);
  EXPECT_EQ(discovery->eventsServer, "events.example");
  EXPECT_EQ(
      ServiceDiscoveryResponse::decode(response(R"({"refreshInterval": 60})")).value().eventsServer,
      std::nullopt);
  EXPECT_EQ(ServiceDiscoveryResponse::decode(response(R"({"refreshInterval": 1.5})")).error(),
            CloudFSError::fieldParsingError("refreshInterval"));

  auto error = CloudFSErrorResponse::parse(response(
      R"({"message": "Temporary files are not supported", "errorMessage": "E", "code": 7,
          "inputErrors": [{"name": "name", "code": "FILESYSTEM_NAME_NOT_TEMP"}, 5],
          "allowedFilenameExtensions": ["txt", 3]})",
      {{"X-Tarnix-ErrorCode", "FolderAlreadyExists"}}));
  EXPECT_EQ(error.message, "Temporary files are not supported");
  EXPECT_EQ(error.code, "7");
  ASSERT_EQ(error.inputErrors.size(), 1u);
  EXPECT_EQ(error.inputErrors[0].code, "FILESYSTEM_NAME_NOT_TEMP");
  EXPECT_EQ(error.allowedFilenameExtensions, std::vector<std::string>{"txt"});
  EXPECT_EQ(error.errorCode, CloudFSErrorCode{"FolderAlreadyExists"});
  auto garbage = CloudFSErrorResponse::parse(response("<html>busy</html>"));
  EXPECT_FALSE(garbage.message.has_value());
  EXPECT_TRUE(garbage.inputErrors.empty());
}

TEST(CloudFSResponseTests, DecodesTheSignedInUserAndRefusesAnIdentifierThatNamesNobody) {
  auto user = CurrentUserResponse::decode(response(
      R"({"id": 2, "username": "bob", "firstName": "Bob", "lastName": "Brown",
          "email": "bob@example.com"})"));
  ASSERT_TRUE(user) << user.error().description();
  EXPECT_EQ(user->id, 2);
  EXPECT_EQ(user->username, "bob");
  EXPECT_EQ(user->firstName + " " + user->lastName, "Bob Brown");
  EXPECT_EQ(user->email, "bob@example.com");
  EXPECT_EQ(CurrentUserResponse::decode(response(R"({"id": 5, "username": "x"})")).value().email,
            "");

  struct Case {
    std::optional<std::string> body;
    CloudFSError error;
  };
  const Case cases[] = {
      {std::nullopt, CloudFSError::missingBody()},
      {R"({"username": "bob"})", CloudFSError::fieldParsingError("id")},
      {R"({"id": 0, "username": "bob"})", CloudFSError::fieldParsingError("id")},
      {R"({"id": -3, "username": "bob"})", CloudFSError::fieldParsingError("id")},
      {R"({"id": "2", "username": "bob"})", CloudFSError::fieldParsingError("id")},
      {R"({"id": 2})", CloudFSError::fieldParsingError("username")},
  };
  for (const auto& c : cases) {
    auto decoded = CurrentUserResponse::decode(response(c.body));
    ASSERT_FALSE(decoded) << c.body.value_or("(no body)");
    EXPECT_EQ(decoded.error(), c.error) << c.body.value_or("(no body)");
  }
}

namespace tarnix::cloudfs {
namespace {

TEST(EventResponses, BatchesAreReadStrictlyAndAnnouncedEventsLeniently) {
  auto batch = GetEventsResponse::decode(response(R"({"events": [
      {"revision": 7, "action": "ADD_FILE", "targetFilePath": "/Shared/a.txt",
       "targetGroupID": 31, "targetEntryID": "e1", "targetFileSize": 5,
       "lastModifiedTime": 1700000000000, "targetMerged": false, "sourceFilePath": null},
      {"revision": 8, "action": "SOMETHING_NEW", "lastModifiedTime": "2024-03-01T12:00:00Z"}],
      "more_events": true})"));
  ASSERT_TRUE(batch) << batch.error().description();
  ASSERT_EQ(batch->events.size(), 2u);
  EXPECT_TRUE(batch->moreEvents);
  const auto& added = batch->events[0];
  EXPECT_EQ(added.action, CFSSyncEventAction::addFile);
  EXPECT_EQ(added.targetGroupID, "31");
  EXPECT_EQ(added.sourceFilePath, std::nullopt);
  EXPECT_EQ(added.lastModifiedTime, base::dateFromMillisecondsSince1970(1700000000000));
  EXPECT_EQ(batch->events[1].action.rawValue, "SOMETHING_NEW");
  EXPECT_TRUE(batch->events[1].lastModifiedTime);

  // A damaged event fails the batch: its revisions could not be trusted.
  for (const char* body :
       {R"({"events": [{"action": "ADD_FILE"}]})",
        R"({"events": [{"revision": "7", "action": "ADD_FILE"}]})",
        R"({"events": [{"revision": 7, "action": "ADD_FILE",
                                           "lastModifiedTime": "yesterday"}]})",
        R"({"events": [3]})", R"({"events": {}})", R"({"more_events": true})", "[]", "not json"}) {
    EXPECT_FALSE(GetEventsResponse::decode(response(body))) << body;
  }
  EXPECT_EQ(CFSSyncEvent::syntheticNop(12).action, CFSSyncEventAction::nop);

  auto announced = EventsResponse::decode(response(R"({"data": [
      {"eventId": 10, "userId": 2, "syncClientId": null, "actionSource": "WEB",
       "action": "ADD_FILE", "targetFilePath": "/Shared/b.txt"}]})"));
  ASSERT_TRUE(announced) << announced.error().description();
  ASSERT_EQ(announced->events.size(), 1u);
  EXPECT_EQ(announced->events[0].eventID, 10);
  EXPECT_EQ(announced->events[0].targetFilePath, "/Shared/b.txt");
  EXPECT_TRUE(EventsResponse::decode(response(R"({"events": []})")));
  EXPECT_FALSE(EventsResponse::decode(response(R"({"data": [{"action": "ADD_FILE"}]})")));
}

}  // namespace
}  // namespace tarnix::cloudfs
