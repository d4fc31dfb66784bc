// Folder creation, move, copy, duplicate, delete, and locks seen by two users.
#include <chrono>
#include <thread>

#include "emulator/EmulatorFixture.hpp"

namespace tarnix::emulator::testing {
namespace {

class NamespaceTest : public EmulatorTest {
 protected:
  std::string id(const std::string& path) {
    auto j = alice.get("/api/v1/fs" + path).json();
    return j.contains("folder_id") ? j["folder_id"].get<std::string>()
                                   : j["group_id"].get<std::string>();
  }
};

TEST_F(NamespaceTest, CreateMoveCopyDuplicateAndDelete) {
  std::string top = makeFolder("ns");
  std::string inner = makeFolder("inner", top);
  auto again =
      alice.postJSON("/api/v1/fs/ids/folder/" + top, {{"action", "add_folder"}, {"name", "inner"}});
  EXPECT_EQ(again.status, 409);
  EXPECT_EQ(again.json()["code"], "FolderAlreadyExists");
  EXPECT_EQ(again.header("x-tarnix-errorcode"), "FolderAlreadyExists");
  auto unnamed = alice.postJSON("/api/v1/fs/ids/folder/" + top, {{"action", "add_folder"}});
  EXPECT_EQ(unnamed.json()["message"],
            "Name must be provided if folder is being added by folder id.");

  auto file = upload("/Shared/ns/a.txt", "A");
  std::string fileId = file["group_id"];
  // Rename and reparent in one request; the group and entry ids stay.
  auto moved = alice.postJSON("/api/v1/fs/ids/file/" + fileId,
                              {{"action", "move"}, {"name", "b.txt"}, {"destination_id", inner}},
                              {"Accept: application/vnd.tarnix.fs.extended+json; v=1"});
  ASSERT_EQ(moved.status, 200) << moved.body;
  EXPECT_EQ(moved.json()["path"], "/Shared/ns/inner/b.txt");
  EXPECT_EQ(moved.json()["entry_id"], file["entry_id"]);

  auto intoChild = alice.postJSON("/api/v1/fs/ids/folder/" + top,
                                  {{"action", "move"}, {"destination_id", inner}});
  EXPECT_EQ(intoChild.status, 400);
  EXPECT_EQ(intoChild.json()["message"], "Cannot move parent folder into child folder");
  auto temporary =
      alice.postJSON("/api/v1/fs/ids/file/" + fileId, {{"action", "move"}, {"name", "b.tmp"}});
  EXPECT_EQ(temporary.json()["inputErrors"][0]["code"], "FILESYSTEM_NAME_NOT_TEMP");

  auto copied =
      alice.postJSON("/rest/public/v1/fs/ids/folder/" + inner,
                     {{"action", "copy"}, {"destination", "/Shared/ns/copy"}},
                     {"Accept: application/json, application/vnd.tarnix.error+json; v=2"});
  ASSERT_EQ(copied.status, 200) << copied.body;
  EXPECT_EQ(alice.get("/api/v1/fs-content/Shared/ns/copy/b.txt").body, "A");
  auto duplicated =
      alice.postJSON("/rest/public/1.0/fsi",
                     {{"sourceFilePath", "/Shared/ns/copy/b.txt"}, {"_method", "DUPLICATE"}},
                     {"Content-Type: application/vnd.tarnix.fsi.item.create+json"});
  ASSERT_EQ(duplicated.status, 200) << duplicated.body;
  EXPECT_EQ(duplicated.json()["path"], "/Shared/ns/copy/b (1).txt");

  auto stale = alice.send("DELETE", "/api/v1/fs/ids/file/" + fileId + "?entry_id=1");
  EXPECT_EQ(stale.status, 409);
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/file/" + fileId).status, 200);
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/file/" + fileId).status, 404);
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/folder/" + top).status, 200);
  EXPECT_EQ(alice.get("/api/v1/fs/Shared/ns/copy/b.txt").status, 404);
  // The fixed top folders cannot go.
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/folder/" + id("/Shared")).status, 403);
}

TEST_F(NamespaceTest, ReadOnlyFolderRefusesChanges) {
  std::string readOnly = id("/Shared/Read%20Only");
  EXPECT_EQ(alice.get("/api/v1/fs-content/Shared/Read%20Only/Handbook.pdf").status, 200);
  auto create = alice.postJSON("/api/v1/fs/ids/folder/" + readOnly,
                               {{"action", "add_folder"}, {"name", "x"}});
  EXPECT_EQ(create.status, 403);
  EXPECT_EQ(
      alice.send("DELETE", "/api/v1/fs/ids/file/" + id("/Shared/Read%20Only/Handbook.pdf")).status,
      403);
  auto listing = alice.get("/rest/public/v1/fsc/folders/" + readOnly).json();
  EXPECT_EQ(listing["permission"], "VIEWER_ONLY");
}

TEST_F(NamespaceTest, TwoUsersSeeEachOthersLocks) {
  auto file = upload("/Shared/Documents/shared-lock.txt", "v1");
  std::string target = "/api/v1/fs/ids/file/" + file["group_id"].get<std::string>();
  auto lock = alice.postJSON(
      target,
      {{"action", "lock"},
       {"lock_token", nullptr},
       {"lock_timeout", 300},
       {"collaboration", nullptr}},
      {"X-Tarnix-Client-App-Name: Word|Preview", "X-Tarnix-Client-App-Version: 16.1|11"});
  ASSERT_EQ(lock.status, 200) << lock.body;
  std::string token = lock.json()["lock_token"];
  EXPECT_EQ(lock.json()["timeout"], 300);

  // Bob sees the lock in listings and metadata, cannot take it, change or delete the file.
  auto listing = bob.get("/rest/public/v1/fsc/folders?path=%2FShared%2FDocuments").json();
  for (const auto& f : listing["files"]) {
    if (f["name"] == "shared-lock.txt") {
      EXPECT_EQ(f["locked"], true);
    }
  }
  auto meta = bob.get(target + "?include_locks=true").json();
  EXPECT_EQ(meta["locked"], true);
  EXPECT_EQ(meta["lock"]["first_name"], "Alice");
  auto refused =
      bob.postJSON(target, {{"action", "lock"}, {"lock_token", nullptr}, {"lock_timeout", 300}});
  EXPECT_EQ(refused.status, 409);
  EXPECT_EQ(refused.json()["lock_owner"]["first_name"], "Alice");
  EXPECT_EQ(refused.json()["can_unlock"], false);
  EXPECT_TRUE(refused.json()["lock_expiry_date"].is_number());
  auto upload =
      bob.send("POST", "/api/v1/fs-content/Shared/Documents/shared-lock.txt", {}, "bob's");
  EXPECT_EQ(upload.status, 403);
  EXPECT_EQ(upload.json()["message"], "The file is locked by another user");
  EXPECT_EQ(bob.send("DELETE", target).json()["message"], "The file is locked by another user");
  EXPECT_EQ(bob.postJSON(target, {{"action", "unlock"}, {"lock_token", token}}).status, 403);

  // Alice writes with her token; a renewal keeps it; a wrong token does not unlock.
  auto mine = alice.send("POST", "/api/v1/fs-content/Shared/Documents/shared-lock.txt",
                         {"X-Tarnix-Lock-Token: " + token}, "v2");
  EXPECT_EQ(mine.status, 200);
  auto renewed =
      alice.postJSON(target, {{"action", "lock"}, {"lock_token", token}, {"lock_timeout", 60}});
  EXPECT_EQ(renewed.json()["lock_token"], token);
  auto wrong = alice.postJSON(target, {{"action", "unlock"}, {"lock_token", "not-mine"}});
  EXPECT_EQ(wrong.status, 404);
  EXPECT_EQ(wrong.json()["message"], "File lock for user / lock token not found");
  auto byPath = alice.postJSON("/api/v1/fs/Shared/Documents/shared-lock.txt",
                               {{"action", "unlock"}, {"lock_token", token}});
  EXPECT_EQ(byPath.status, 200);
  EXPECT_EQ(bob.get(target).json()["locked"], false);
  EXPECT_EQ(alice.postJSON(target, {{"action", "unlock"}, {"lock_token", token}}).status, 404);
}

TEST_F(NamespaceTest, TheAdminMayBreakALockAndLocksRunOut) {
  auto seeded = bob.get("/api/v1/fs/Shared/Documents/Locked.docx?include_locks=true").json();
  EXPECT_EQ(seeded["locked"], true);
  auto file = upload("/Shared/Documents/expiring.txt", "x");
  std::string target = "/api/v1/fs/ids/file/" + file["group_id"].get<std::string>();
  ASSERT_EQ(alice.postJSON(target, {{"action", "lock"}, {"lock_timeout", 1}}).status, 200);
  HttpsClient admin(emulator(), EmulatorProcess::kAdminToken);
  EXPECT_EQ(admin.postJSON(target, {{"action", "lock"}}).json()["can_unlock"], true);
  EXPECT_EQ(admin.postJSON(target, {{"action", "unlock"}}).status, 200);
  ASSERT_EQ(alice.postJSON(target, {{"action", "lock"}, {"lock_timeout", 1}}).status, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(bob.get(target).json()["locked"], false);
  EXPECT_EQ(bob.postJSON(target, {{"action", "lock"}}).status, 200);
}

TEST_F(NamespaceTest, AFolderDeletedOnlyIfEmptyStaysWhileItHasChildren) {
  const std::string top = makeFolder("only-if-empty");
  const std::string inner = makeFolder("inner", top);
  upload("/Shared/only-if-empty/inner/kept.txt", "kept");

  for (const auto& folder : {top, inner}) {
    SCOPED_TRACE(folder);
    auto refused = alice.send("DELETE", "/api/v1/fs/ids/folder/" + folder + "?only_if_empty=true");
    EXPECT_EQ(refused.status, 409) << refused.body;
    EXPECT_EQ(refused.json()["code"], "FolderNotEmpty");
    EXPECT_EQ(refused.json()["message"], "The folder is not empty");
  }
  EXPECT_EQ(alice.get("/api/v1/fs-content/Shared/only-if-empty/inner/kept.txt").body, "kept");

  // Emptied, it goes; a file is not a folder and the flag does not concern it.
  const std::string file = id("/Shared/only-if-empty/inner/kept.txt");
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/file/" + file + "?only_if_empty=true").status,
            200);
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/folder/" + inner + "?only_if_empty=true").status,
            200);
  EXPECT_EQ(alice.get("/api/v1/fs/Shared/only-if-empty/inner").status, 404);
  // Without the flag a folder goes with everything under it, as before.
  makeFolder("again", top);
  EXPECT_EQ(alice.send("DELETE", "/api/v1/fs/ids/folder/" + top).status, 200);
  EXPECT_EQ(alice.get("/api/v1/fs/Shared/only-if-empty").status, 404);
}

TEST_F(NamespaceTest, PermissionsSetAtRunTimeApplyToTheNextRequest) {
  const std::string folder = makeFolder("granted");
  upload("/Shared/granted/doc.txt", "doc");
  const std::string listing = "/rest/public/v1/fsc/folders/" + folder;
  const auto set = [&](base::JSONValue body) {
    return alice.admin("POST", "/__admin/permissions", body.dump());
  };
  struct Case {
    base::JSONValue body;
    std::string listed;  // bob's permission in the folder's listing; empty: bob cannot see it
    long uploadStatus;   // of bob's upload into the folder
  };
  const Case cases[] = {
      {{{"user", "bob"}, {"path", "/Shared/granted"}, {"permission", "viewer"}},
       "VIEWER_ONLY",
       403},
      {{{"user_id", 2}, {"id", folder}, {"permission", "editor"}}, "READWRITE", 200},
      {{{"user", "bob"},
        {"id", std::stoll(folder)},
        {"path", "/Shared/granted"},
        {"permission", "none"}},
       "",
       404},
      {{{"user", "bob"}, {"path", "/Shared/granted"}, {"permission", "owner"}}, "MODIFY", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body.dump());
    auto answer = set(c.body);
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.json()["path"], "/Shared/granted");
    EXPECT_EQ(answer.json()["permission"], c.body["permission"]);
    auto listed = bob.get(listing);
    if (c.listed.empty()) {
      EXPECT_EQ(listed.status, 404) << listed.body;
    } else {
      EXPECT_EQ(listed.json()["permission"], c.listed) << listed.body;
    }
    EXPECT_EQ(bob.send("POST", "/api/v1/fs-content/Shared/granted/bob.txt", {}, "bob").status,
              c.uploadStatus);
  }
  // Alice's own level is hers alone.
  EXPECT_EQ(alice.get(listing).json()["permission"], "MODIFY");

  const std::pair<base::JSONValue, long> refused[] = {
      {{{"user", "nobody"}, {"path", "/Shared/granted"}, {"permission", "viewer"}}, 404},
      {{{"path", "/Shared/granted"}, {"permission", "viewer"}}, 400},
      {{{"user", "bob"}, {"path", "/Shared/missing"}, {"permission", "viewer"}}, 404},
      {{{"user", "bob"}, {"id", folder}, {"path", "/Shared/Documents"}, {"permission", "viewer"}},
       400},
      {{{"user", "bob"}, {"path", "/Shared/granted"}, {"permission", "READWRITE"}}, 400},
      {{{"user", "bob"}, {"path", "/Shared/granted"}}, 400},
  };
  for (const auto& [body, status] : refused) {
    SCOPED_TRACE(body.dump());
    EXPECT_EQ(set(body).status, status);
  }
  EXPECT_EQ(alice.admin("POST", "/__admin/permissions", "not json").status, 400);
  // Without the admin token nobody may change permissions.
  EXPECT_EQ(bob.send("POST", "/__admin/permissions", {},
                     R"({"user":"bob","path":"/Shared/granted","permission":"owner"})")
                .status,
            401);
}

// The admin clock drives lock expiry; a renewal is honoured only with the lock's own token.
TEST_F(NamespaceTest, LocksFollowTheAdminClockAndRenewalsNeedTheirToken) {
  auto file = upload("/Shared/Documents/clocked-lock.txt", "x");
  const std::string target = "/api/v1/fs/ids/file/" + file["group_id"].get<std::string>();
  HttpsClient admin(emulator(), "");
  auto lock = alice.postJSON(target, {{"action", "lock"}, {"lock_timeout", 300}});
  ASSERT_EQ(lock.status, 200) << lock.body;
  const std::string token = lock.json()["lock_token"];
  const auto expiry = [&] {
    return bob.get(target + "?include_locks=true").json()["lock"]["lock_expiry_date"];
  };
  const std::int64_t firstExpiry = expiry();

  // A wrong token is no renewal; the right one moves the expiry and keeps the token.
  auto wrong =
      alice.postJSON(target, {{"action", "lock"}, {"lock_token", "other"}, {"lock_timeout", 300}});
  EXPECT_EQ(wrong.status, 404) << wrong.body;
  EXPECT_EQ(wrong.json()["message"], "File lock for user / lock token not found");
  auto advanced = admin.admin("POST", "/__admin/clock", R"({"advance_seconds": 200})");
  ASSERT_EQ(advanced.status, 200) << advanced.body;
  EXPECT_EQ(advanced.json()["offset_ms"], 200000);
  auto renewed =
      alice.postJSON(target, {{"action", "lock"}, {"lock_token", token}, {"lock_timeout", 300}});
  ASSERT_EQ(renewed.status, 200) << renewed.body;
  EXPECT_EQ(renewed.json()["lock_token"], token);
  const std::int64_t secondExpiry = expiry();
  EXPECT_GE(secondExpiry - firstExpiry, 200000);

  // Past the expiry the lock is gone for everybody; its old token takes a new lock.
  EXPECT_EQ(admin.admin("POST", "/__admin/clock", R"({"advance_ms": 301000})").status, 200);
  EXPECT_EQ(bob.get(target).json()["locked"], false);
  auto retaken =
      alice.postJSON(target, {{"action", "lock"}, {"lock_token", token}, {"lock_timeout", 300}});
  ASSERT_EQ(retaken.status, 200) << retaken.body;
  EXPECT_NE(retaken.json()["lock_token"], token);
  EXPECT_EQ(bob.get(target).json()["locked"], true);

  // The clock never runs back.
  EXPECT_EQ(admin.admin("POST", "/__admin/clock", R"({"advance_ms": -5})").status, 400);
  EXPECT_EQ(admin.admin("GET", "/__admin/clock").json()["offset_ms"], 501000);
}

}  // namespace
}  // namespace tarnix::emulator::testing
