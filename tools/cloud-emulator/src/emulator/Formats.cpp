#include "emulator/Formats.hpp"

#include <algorithm>

#include "base/Date.hpp"
#include "base/Hash.hpp"

namespace tarnix::emulator {

using base::JSONValue;

std::string permissionName(Permission p) {
  static const char* kNames[] = {"NONE", "NAV", "VIEWER_ONLY", "READWRITE", "RWD", "MODIFY"};
  return kNames[static_cast<int>(p)];
}

std::string permissionDescription(Permission p) {
  static const char* kNames[] = {"None", "Nav", "Viewer", "Editor", "Full", "Owner"};
  return kNames[static_cast<int>(p)];
}

namespace {

std::string displayName(Store& store, std::int64_t userId) {
  auto user = store.userById(userId);
  return user ? user->firstName + " " + user->lastName : "";
}

std::string childPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

JSONValue lockJson(Store& store, const Lock& lock) {
  auto owner = store.userById(lock.userId).value_or(User{});
  JSONValue j = {{"owner_id", owner.id},        {"first_name", owner.firstName},
                 {"last_name", owner.lastName}, {"email", owner.email},
                 {"lock_date", lock.createdMs}, {"lock_expiry_date", lock.expiresMs}};
  j["collaboration"] = lock.collaboration ? JSONValue(*lock.collaboration) : JSONValue(nullptr);
  return j;
}

}  // namespace

Listing listingJson(Cloud& cloud, const User& user, const Node& folder, const ListingOptions& o) {
  Store& store = cloud.store();
  std::string path = store.pathOf(folder.id);
  Permission own = store.permission(user.id, folder.id);
  auto children = store.children(folder.id, cloud.now());
  std::string tagSource = std::to_string(folder.id) + ":" + std::to_string(folder.revision);
  JSONValue files = JSONValue::array(), folders = JSONValue::array();
  for (const auto& c : children) {
    const Node& n = c.node;
    if (c.lock) tagSource += "," + std::to_string(n.id);
    if (n.isFolder) {
      Permission p = store.permission(user.id, n.id);
      if (p == Permission::none) continue;
      JSONValue f = {{"name", n.name},
                     {"folderId", std::to_string(n.id)},
                     {"permission", permissionName(p)},
                     {"uploaded", n.createdMs},
                     {"lastModified", n.modifiedMs},
                     {"moveDeletePermitted", !n.fixed && p >= Permission::full}};
      if (o.indicateStandardUsersAccess || o.indicateProjectFolder || o.indicateDocumentRoom) {
        JSONValue indicators = JSONValue::object();
        if (o.indicateStandardUsersAccess) indicators["standardUserAccess"] = true;
        if (o.indicateProjectFolder) indicators["projectFolder"] = false;
        if (o.indicateDocumentRoom) indicators["documentRoomFolder"] = false;
        f["visualIndicators"] = indicators;
      }
      folders.push_back(std::move(f));
      continue;
    }
    const Version v = c.version.value_or(Version{});
    JSONValue f = {{"name", n.name},
                   {"groupId", std::to_string(n.id)},
                   {"entryId", std::to_string(v.entryId)},
                   {"size", v.size},
                   {"uploaded", v.uploadedMs},
                   {"lastModified", v.modifiedMs},
                   {"locked", c.lock.has_value()}};
    if (o.includeChecksum) f["checksum"] = v.checksum;
    if (o.includeUploadedBy) f["uploadedBy"] = displayName(store, v.uploadedBy);
    if (o.includeCollaboration && c.lock && c.lock->collaboration) {
      f["collaboration"] = *c.lock->collaboration;
    }
    files.push_back(std::move(f));
  }
  JSONValue j = {{"path", path}, {"folderId", std::to_string(folder.id)}};
  if (folder.parentId) j["parentFolderId"] = std::to_string(*folder.parentId);
  j["permission"] = permissionName(own);
  j["uploaded"] = folder.createdMs;
  j["lastModified"] = folder.modifiedMs;
  j["moveDeletePermitted"] = !folder.fixed && own >= Permission::full;
  j["files"] = std::move(files);
  j["folders"] = std::move(folders);
  return Listing{base::dumpJSON(j), "\"" + base::sha256Hex(tagSource).substr(0, 24) + "\""};
}

JSONValue fileMetadataJson(Cloud& cloud, const User& user, const Node& file,
                           const MetadataOptions& o) {
  Store& store = cloud.store();
  auto versions = store.versionsOf(file.id);
  Version current = file.entryId ? store.version(*file.entryId).value_or(Version{}) : Version{};
  auto owner = store.userById(file.ownerId).value_or(User{});
  auto lock = store.lock(file.id, cloud.now());
  JSONValue j = {{"path", store.pathOf(file.id)},
                 {"num_versions", versions.size()},
                 {"group_id", std::to_string(file.id)},
                 {"parent_id", std::to_string(file.parentId.value_or(0))}};
  if (o.listContent) {
    JSONValue list = JSONValue::array();
    for (const auto& v : versions) {
      list.push_back({{"entry_id", std::to_string(v.entryId)},
                      {"checksum", v.checksum},
                      {"last_modified",
                       base::formatISO8601(base::dateFromMillisecondsSince1970(v.modifiedMs))},
                      {"uploaded", v.uploadedMs},
                      {"uploaded_by", displayName(store, v.uploadedBy)},
                      {"size", v.size}});
    }
    j["versions"] = list;
  }
  j["permission"] = permissionName(store.permission(user.id, file.id));
  j["locked"] = lock.has_value();
  if (o.includeLocks && lock) j["lock"] = lockJson(store, *lock);
  j["entry_id"] = std::to_string(current.entryId);
  j["checksum"] = current.checksum;
  j["last_modified"] = base::formatISO8601(base::dateFromMillisecondsSince1970(current.modifiedMs));
  j["uploaded"] = current.uploadedMs;
  j["uploaded_by"] = displayName(store, current.uploadedBy);
  j["size"] = current.size;
  j["owner_id"] = owner.id;
  j["first_name"] = owner.firstName;
  j["last_name"] = owner.lastName;
  j["email"] = owner.email;
  if (o.includeCollaboration) {
    j["collaboration"] =
        lock && lock->collaboration ? JSONValue(*lock->collaboration) : JSONValue(nullptr);
  }
  return j;
}

JSONValue folderMetadataJson(Cloud& cloud, const User& user, const Node& folder,
                             const MetadataOptions& o) {
  Store& store = cloud.store();
  std::string path = store.pathOf(folder.id);
  JSONValue j = {{"path", path}, {"folder_id", std::to_string(folder.id)}};
  if (folder.parentId) j["parent_id"] = std::to_string(*folder.parentId);
  j["permission"] = permissionName(store.permission(user.id, folder.id));
  j["last_modified"] = folder.modifiedMs;
  j["uploaded"] = folder.createdMs;
  j["description"] = "";
  j["allow_links"] = true;
  j["restrict_move_delete"] = folder.fixed;
  if (!o.listContent) return j;
  auto children = store.children(folder.id, cloud.now());
  std::erase_if(children, [&](const Child& c) {
    return c.node.isFolder && store.permission(user.id, c.node.id) == Permission::none;
  });
  if (o.sortBy || o.descending) {
    auto key = [&](const Child& c) -> std::pair<std::int64_t, std::string> {
      if (o.sortBy == "last_modified") return {c.node.modifiedMs, ""};
      if (o.sortBy == "uploaded_by") {
        return {0, displayName(store, c.version ? c.version->uploadedBy : c.node.ownerId)};
      }
      return {0, c.node.name};
    };
    std::stable_sort(children.begin(), children.end(), [&](const Child& a, const Child& b) {
      return o.descending ? key(b) < key(a) : key(a) < key(b);
    });
  }
  auto first = static_cast<std::size_t>(std::max<std::int64_t>(0, o.offset.value_or(0)));
  auto count = static_cast<std::size_t>(
      std::max<std::int64_t>(0, o.count.value_or(static_cast<std::int64_t>(children.size()))));
  JSONValue files = JSONValue::array(), folders = JSONValue::array();
  for (std::size_t i = first; i < children.size() && i - first < count; ++i) {
    const Node& n = children[i].node;
    if (n.isFolder) {
      folders.push_back({{"path", childPath(path, n.name)},
                         {"folder_id", std::to_string(n.id)},
                         {"permission", permissionName(store.permission(user.id, n.id))},
                         {"last_modified", n.modifiedMs},
                         {"uploaded", n.createdMs}});
    } else {
      MetadataOptions inner = o;
      inner.listContent = false;
      files.push_back(fileMetadataJson(cloud, user, n, inner));
    }
  }
  j["files"] = std::move(files);
  j["folders"] = std::move(folders);
  return j;
}

JSONValue fsiItemJson(Cloud& cloud, const User& user, const Node& node) {
  Store& store = cloud.store();
  auto owner = store.userById(node.ownerId).value_or(User{});
  JSONValue j = {{"id", std::to_string(node.id)},
                 {"name", node.name},
                 {"path", store.pathOf(node.id)},
                 {"type", node.isFolder ? "folder" : "file"}};
  j["parentId"] = node.parentId ? JSONValue(std::to_string(*node.parentId)) : JSONValue(nullptr);
  j["permission"] = permissionDescription(store.permission(user.id, node.id));
  j["createdTimestamp"] = node.createdMs;
  j["lastModifiedTimestamp"] = node.modifiedMs;
  if (!node.isFolder) {
    Version v = node.entryId ? store.version(*node.entryId).value_or(Version{}) : Version{};
    j["groupId"] = std::to_string(node.id);
    j["entryId"] = std::to_string(v.entryId);
    j["revisionId"] = std::to_string(v.entryId);
    j["checksum"] = v.checksum;
    j["size"] = v.size;
    j["lastModifiedTimestamp"] = v.modifiedMs;
    auto lock = store.lock(node.id, cloud.now());
    j["lock"] = lock ? lockJson(store, *lock) : JSONValue(nullptr);
  }
  j["owner"] = {{"id", owner.id},
                {"username", owner.username},
                {"firstName", owner.firstName},
                {"lastName", owner.lastName},
                {"email", owner.email}};
  return j;
}

JSONValue syncEventJson(const Event& e) {
  auto text = [](const std::optional<std::string>& v) {
    return v ? JSONValue(*v) : JSONValue(nullptr);
  };
  JSONValue j = {{"revision", e.id}, {"action", e.action}};
  j["sourceFilePath"] = text(e.sourcePath);
  j["targetFilePath"] = text(e.targetPath);
  j["sourceFolderId"] = text(e.sourceFolderId);
  j["targetFolderId"] = text(e.targetFolderId);
  j["targetGroupID"] = text(e.groupId);
  j["targetEntryID"] = text(e.entryId);
  j["targetChecksum"] = text(e.checksum);
  j["targetFileSize"] = e.size ? JSONValue(*e.size) : JSONValue(nullptr);
  j["lastModifiedTime"] = e.modifiedMs ? JSONValue(*e.modifiedMs) : JSONValue(nullptr);
  j["targetMerged"] = false;
  j["ifflCandidate"] = true;
  j["syncClientId"] = text(e.clientId);
  return j;
}

JSONValue publicEventJson(const Event& e) {
  JSONValue j = {{"eventId", e.id},
                 {"userId", e.userId},
                 {"syncClientId", e.clientId ? JSONValue(*e.clientId) : JSONValue(nullptr)},
                 {"actionSource", e.actionSource},
                 {"action", e.action}};
  if (e.targetPath) j["targetFilePath"] = *e.targetPath;
  if (e.sourcePath) j["sourceFilePath"] = *e.sourcePath;
  return j;
}

JSONValue uploadJson(Cloud& cloud, const UploadResult& r) {
  JSONValue j = {{"path", cloud.store().pathOf(r.node.id)},
                 {"group_id", std::to_string(r.node.id)},
                 {"entry_id", std::to_string(r.version.entryId)},
                 {"checksum", r.version.checksum}};
  if (r.conflictPath) j["conflict_resolution_path"] = *r.conflictPath;
  return j;
}

}  // namespace tarnix::emulator
