// Authentication, the signed-in user, listings with entity tags, metadata of both families and
// index queries.
#include "base/Hash.hpp"
#include "emulator/EmulatorFixture.hpp"

namespace tarnix::emulator::testing {
namespace {

class MetadataTest : public EmulatorTest {};

TEST_F(MetadataTest, CredentialsAreCheckedOnEveryRequest) {
  struct Case {
    const char* name;
    std::string authorization;
    long status;
  };
  const Case cases[] = {
      {"none", "", 401},
      {"unknown token", "OAUTH oauth_token=nope,oauth_version=2.0", 401},
      {"good token", EmulatorProcess::authorization("bob-token"), 200},
      {"good basic", "Basic " + base::base64Encode("alice:alice-password"), 200},
      {"wrong password", "Basic " + base::base64Encode("alice:bob-password"), 401},
      {"basic without colon", "Basic " + base::base64Encode("alice"), 401},
      {"basic not base64", "Basic !!!", 401},
  };
  HttpsClient anonymous(emulator(), "");
  for (const auto& c : cases) {
    std::vector<std::string> headers;
    if (!c.authorization.empty()) headers.push_back("Authorization: " + c.authorization);
    auto r = anonymous.get("/api/v1/fs/Shared", headers);
    EXPECT_EQ(r.status, c.status) << c.name;
  }
  // The connectivity check needs no credentials.
  EXPECT_EQ(anonymous.send("HEAD", "/downloads/test/tx-client-check.txt").status, 200);
}

TEST_F(MetadataTest, TheSignedInUserIsNamedByTheirCredentials) {
  struct Case {
    HttpsClient* client;
    std::int64_t id;
    const char* username;
    const char* name;
  };
  for (const auto& c : {Case{&alice, 1, "alice", "Alice"}, Case{&bob, 2, "bob", "Bob"}}) {
    auto r = c.client->get("/rest/public/1.0/users/me");
    ASSERT_EQ(r.status, 200) << c.username;
    auto body = r.json();
    EXPECT_EQ(body["id"], c.id);
    EXPECT_EQ(body["username"], c.username);
    EXPECT_EQ(body["firstName"], c.name);
    EXPECT_EQ(body["email"], std::string(c.username) + "@example.com");
  }
  EXPECT_EQ(HttpsClient(emulator(), "").get("/rest/public/1.0/users/me").status, 401);
}

TEST_F(MetadataTest, ListingCarriesEntityTagAndAnswers304UntilTheFolderChanges) {
  std::string folder = makeFolder("listing-etag");
  upload("/Shared/listing-etag/a.txt", "alpha");
  std::string target = "/rest/public/v1/fsc/folders/" + folder + "?includeChecksum=true";
  auto first = alice.get(target);
  ASSERT_EQ(first.status, 200);
  std::string etag = first.header("etag");
  ASSERT_FALSE(etag.empty());
  auto body = first.json();
  EXPECT_EQ(body["path"], "/Shared/listing-etag");
  EXPECT_EQ(body["folderId"], folder);
  ASSERT_EQ(body["files"].size(), 1u);
  EXPECT_EQ(body["files"][0]["name"], "a.txt");
  EXPECT_EQ(body["files"][0]["checksum"], base::sha512Hex("alpha"));
  EXPECT_EQ(body["files"][0]["size"], 5);
  EXPECT_EQ(body["files"][0]["locked"], false);

  auto same = alice.get(target, {"If-None-Match: " + etag});
  EXPECT_EQ(same.status, 304);
  EXPECT_TRUE(same.body.empty());

  upload("/Shared/listing-etag/b.txt", "beta");
  auto changed = alice.get(target, {"If-None-Match: " + etag});
  EXPECT_EQ(changed.status, 200);
  EXPECT_NE(changed.header("etag"), etag);
  EXPECT_EQ(changed.json()["files"].size(), 2u);

  auto byPath = alice.get("/rest/public/v1/fsc/folders?path=%2FShared%2Flisting-etag");
  EXPECT_EQ(byPath.status, 200);
  EXPECT_EQ(byPath.header("etag"), changed.header("etag"));
  // The checksum is sent only when asked for.
  EXPECT_FALSE(byPath.json()["files"][0].contains("checksum"));
}

TEST_F(MetadataTest, ListingsAndMetadataOfMissingOrHiddenItemsAre404) {
  EXPECT_EQ(alice.get("/rest/public/v1/fsc/folders/999999").status, 404);
  EXPECT_EQ(alice.get("/api/v1/fs/ids/file/999999").status, 404);
  EXPECT_EQ(alice.get("/api/v1/fs/Shared/nothing-here").status, 404);
  // Bob has no access to /Private at all.
  EXPECT_EQ(bob.get("/api/v1/fs/Private").status, 404);
  auto root = bob.get("/rest/public/v1/fsc/folders?path=%2F").json();
  for (const auto& f : root["folders"]) EXPECT_NE(f["name"], "Private");
}

TEST_F(MetadataTest, FolderMetadataListsContentWithPagingAndOrder) {
  std::string folder = makeFolder("metadata-list");
  for (const char* name : {"c.txt", "a.txt", "b.txt"})
    upload("/Shared/metadata-list/" + std::string(name), name);
  auto r = alice.get(
      "/api/v1/fs/ids/folder/" + folder +
      "?include_perm=true&include_locks=false&include_collaboration=false&list_content=true"
      "&sort_by=name&sort_direction=descending&offset=1&count=1");
  ASSERT_EQ(r.status, 200);
  auto j = r.json();
  EXPECT_EQ(j["folder_id"], folder);
  EXPECT_EQ(j["path"], "/Shared/metadata-list");
  EXPECT_EQ(j["permission"], "MODIFY");
  ASSERT_EQ(j["files"].size(), 1u);
  EXPECT_EQ(j["files"][0]["path"], "/Shared/metadata-list/b.txt");

  auto file = alice.get("/api/v1/fs/Shared/metadata-list/a.txt?list_content=true").json();
  EXPECT_EQ(file["num_versions"], 1);
  EXPECT_EQ(file["size"], 5);
  EXPECT_EQ(file["checksum"], base::sha512Hex("a.txt"));
  EXPECT_EQ(file["versions"][0]["entry_id"], file["entry_id"]);
  EXPECT_EQ(file["parent_id"], folder);
  auto byId = alice.get("/api/v1/fs/ids/file/" + file["group_id"].get<std::string>()).json();
  EXPECT_EQ(byId["path"], "/Shared/metadata-list/a.txt");
}

TEST_F(MetadataTest, IndexQueriesFindItemsByPathAndId) {
  auto answer = upload("/Shared/Documents/fsi.txt", "index me");
  auto byGet = alice.get(
      "/rest/public/1.0/fsi?path=%2FShared%2FDocuments%2Ffsi.txt&fields=PATH&fields=OWNER");
  ASSERT_EQ(byGet.status, 200);
  auto j = byGet.json();
  EXPECT_EQ(j["path"], "/Shared/Documents/fsi.txt");
  EXPECT_EQ(j["entryId"], answer["entry_id"]);
  EXPECT_EQ(j["checksum"], base::sha512Hex("index me"));
  EXPECT_EQ(j["owner"]["username"], "alice");

  auto byPost = alice.postJSON("/rest/public/1.0/fsi",
                               {{"_method", "GET"}, {"path", "/Shared/Documents/fsi.txt"}},
                               {"Content-Type: application/vnd.tarnix.fsi.item.query+json; v=1"});
  EXPECT_EQ(byPost.json()["entryId"], answer["entry_id"]);
  auto byId = alice.get("/rest/public/2.0/fsi/file/" + answer["group_id"].get<std::string>() +
                        "?fields=ENTRY_ID");
  EXPECT_EQ(byId.json()["path"], "/Shared/Documents/fsi.txt");
  EXPECT_EQ(alice.get("/rest/public/1.0/fsi?path=%2Fnope").status, 404);
}

}  // namespace
}  // namespace tarnix::emulator::testing
