#include "emulator/Seeder.hpp"

#include <charconv>
#include <cstdio>
#include <fstream>

#include "base/Hash.hpp"

namespace tarnix::emulator {

namespace {

std::int64_t folder(Cloud& cloud, const Actor& actor, const std::string& path) {
  if (auto existing = cloud.store().resolve(path)) return existing->id;
  auto slash = path.rfind('/');
  std::int64_t parent = slash == 0 ? Store::kRootId : folder(cloud, actor, path.substr(0, slash));
  return cloud.createFolder(actor, parent, path.substr(slash + 1)).value().id;
}

void file(Cloud& cloud, const Actor& actor, const std::string& path, const std::string& content) {
  auto done = cloud.upload(actor, path, UploadBody{&content, nullptr}, {});
  if (!done) throw std::runtime_error(path + ": " + done.error().message);
}

void demo(Cloud& cloud) {
  Store& store = cloud.store();
  User alice = *store.userByName("alice");
  User bob = *store.userByName("bob");
  Actor asAlice{alice, std::nullopt, "SEED"};
  Actor asBob{bob, std::nullopt, "SEED"};
  for (const char* root : {"/Private", "/Shared"}) {
    std::int64_t id = folder(cloud, asAlice, root);
    store.db().prepare("UPDATE nodes SET fixed = 1 WHERE id = ?").bind(1, id).run();
  }
  store.setPermission(bob.id, store.resolve("/Private")->id, Permission::none);
  folder(cloud, asAlice, "/Private/Drafts");
  file(cloud, asAlice, "/Private/Drafts/Ideas.txt", "Ideas for next quarter\n");
  folder(cloud, asAlice, "/Shared/Documents");
  file(cloud, asAlice, "/Shared/Documents/Report.docx", std::string(4096, 'r'));
  file(cloud, asAlice, "/Shared/Documents/Notes.txt", "Meeting notes\n- ship the emulator\n");
  file(cloud, asAlice, "/Shared/Documents/Budget.xlsx", std::string(8192, 'b'));
  file(cloud, asAlice, "/Shared/Documents/Locked.docx", "Being edited by Bob\n");
  auto locked = store.resolve("/Shared/Documents/Locked.docx");
  cloud.lock(asBob, locked->id, std::nullopt, 7 * 24 * 3600, std::nullopt).value();
  folder(cloud, asAlice, "/Shared/Images");
  std::string pixels(1024, '\0');
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>(i * 7);
  file(cloud, asAlice, "/Shared/Images/Beach.jpg", pixels);
  file(cloud, asAlice, "/Shared/Images/Mountains.png", pixels + pixels);
  std::int64_t readOnly = folder(cloud, asAlice, "/Shared/Read Only");
  file(cloud, asAlice, "/Shared/Read Only/Handbook.pdf", "%PDF-1.4 handbook\n");
  store.setPermission(alice.id, readOnly, Permission::viewer);
  store.setPermission(bob.id, readOnly, Permission::viewer);
}

void scale(Cloud& cloud, std::int64_t count) {
  Store& store = cloud.store();
  User alice = *store.userByName("alice");
  Actor asAlice{alice, std::nullopt, "SEED"};
  std::int64_t parent = folder(cloud, asAlice, "/Shared/scale-" + std::to_string(count));
  const std::string content = "scale test file\n";
  const std::string blob = "scale-blob";
  std::ofstream(store.blobPath(blob), std::ios::binary) << content;
  const std::string checksum = base::sha512Hex(content);
  Transaction tx(store.db());
  std::int64_t now = cloud.now();
  for (std::int64_t i = 1; i <= count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%07lld.txt", static_cast<long long>(i));
    Node node;
    node.parentId = parent;
    node.name = name;
    node.isFolder = false;
    node.ownerId = alice.id;
    node.createdMs = node.modifiedMs = now;
    Version v;
    v.nodeId = store.insertNode(node);
    v.size = static_cast<std::int64_t>(content.size());
    v.checksum = checksum;
    v.blob = blob;  // versions never change, so the files may share one content file
    v.uploadedMs = v.modifiedMs = now;
    v.uploadedBy = alice.id;
    store.addVersion(v);
  }
  store.touchFolder(parent, now);
  tx.commit();
}

}  // namespace

void ensureDefaultUsers(Store& store) {
  if (store.userByName("alice")) return;
  store.addUser(
      {0, "alice", "alice-password", "alice-token", "Alice", "Adams", "alice@example.com", false});
  store.addUser({0, "bob", "bob-password", "bob-token", "Bob", "Brown", "bob@example.com", false});
  store.addUser(
      {0, "admin", "admin-password", "admin-token", "Ada", "Admin", "admin@example.com", true});
}

std::expected<void, std::string> seed(Cloud& cloud, const std::string& spec) {
  std::string marker = "seeded:" + spec;
  if (cloud.store().meta(marker)) return {};
  try {
    if (spec == "demo") {
      demo(cloud);
    } else if (spec.starts_with("scale:")) {
      std::int64_t count = 0;
      std::string_view number = std::string_view(spec).substr(6);
      auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), count);
      if (ec != std::errc() || end != number.data() + number.size() || count < 1 ||
          count > 10'000'000) {
        return std::unexpected("scale:N needs N between 1 and 10000000");
      }
      scale(cloud, count);
    } else {
      return std::unexpected("unknown seed \"" + spec + "\" (use demo or scale:N)");
    }
  } catch (const std::exception& e) {
    return std::unexpected("seeding failed: " + std::string(e.what()));
  } catch (const SqlError& e) {
    return std::unexpected("seeding failed: " + e.what);
  }
  cloud.store().setMeta(marker, "1");
  return {};
}

}  // namespace tarnix::emulator
