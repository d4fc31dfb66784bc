#include "emulator/Cloud.hpp"

#include <chrono>

#include "base/Hash.hpp"

namespace tarnix::emulator {

Clock systemClock() {
  return [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
}

Cloud::Cloud(Store& store, Clock clock, std::function<void(std::int64_t)> eventListener)
    : store_(store), clock_(std::move(clock)), listener_(std::move(eventListener)) {}

void Cloud::setEventListener(std::function<void(std::int64_t)> listener) {
  listener_ = std::move(listener);
}

std::optional<User> Cloud::authenticate(const std::optional<std::string>& authorization) {
  if (!authorization) return std::nullopt;
  std::string_view value = *authorization;
  auto startsWith = [&](std::string_view prefix) {
    return value.size() >= prefix.size() &&
           equalsIgnoringCase(value.substr(0, prefix.size()), prefix);
  };
  if (startsWith("OAUTH ")) {
    auto at = value.find("oauth_token=");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view token = value.substr(at + 12);
    token = token.substr(0, token.find(','));
    if (token.empty()) return std::nullopt;
    return store_.userByToken(std::string(token));
  }
  if (startsWith("Bearer ")) return store_.userByToken(std::string(value.substr(7)));
  if (startsWith("Basic ")) {
    auto decoded = base::base64Decode(value.substr(6));
    if (!decoded) return std::nullopt;
    std::string text(decoded->begin(), decoded->end());
    auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    auto user = store_.userByName(text.substr(0, colon));
    if (user && user->password == text.substr(colon + 1)) return user;
  }
  return std::nullopt;
}

std::expected<void, ApiError> Cloud::require(const User& user, std::int64_t nodeId,
                                             Permission level) {
  Permission has = store_.permission(user.id, nodeId);
  if (has >= level) return {};
  if (has == Permission::none) return std::unexpected(ApiError{404, "Item not found"});
  return std::unexpected(ApiError{403, "Permission denied"});
}

std::expected<Node, ApiError> Cloud::nodeById(const User& user, std::int64_t id, bool folder) {
  auto node = store_.node(id);
  if (!node || node->isFolder != folder) {
    return std::unexpected(ApiError{404, folder ? "Folder not found" : "File not found"});
  }
  if (auto ok = require(user, id, Permission::nav); !ok) return std::unexpected(ok.error());
  return *node;
}

std::expected<Node, ApiError> Cloud::nodeByPath(const User& user, const std::string& path) {
  auto node = store_.resolve(path);
  if (!node) return std::unexpected(ApiError{404, "Path not found"});
  if (auto ok = require(user, node->id, Permission::nav); !ok) return std::unexpected(ok.error());
  return *node;
}

namespace {

bool isTemporaryName(const std::string& name) {
  auto endsWith = [&](std::string_view suffix) {
    return name.size() >= suffix.size() &&
           equalsIgnoringCase(std::string_view(name).substr(name.size() - suffix.size()), suffix);
  };
  return name.starts_with("~$") || name.starts_with(".~lock.") || endsWith(".tmp");
}

std::string joinPath(const std::string& parent, const std::string& name) {
  return parent == "/" ? "/" + name : parent + "/" + name;
}

}  // namespace

std::expected<void, ApiError> Cloud::checkName(const std::string& name,
                                               const std::string& parentPath, bool isFolder,
                                               bool isUpload) {
  auto reject = [](std::string message) {
    return std::unexpected(ApiError{400, std::move(message)});
  };
  if (name.empty()) return reject("Name must be provided if folder is being added by folder id.");
  if (name.size() > 245) return reject("File name cannot be greater than 245 bytes");
  bool bad = name.front() == ' ' || name.back() == ' ' || name.back() == '.';
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f ||
        std::string_view("*?/\\:<>\"|").find(static_cast<char>(c)) != std::string_view::npos) {
      bad = true;
    }
  }
  if (bad) {
    return reject(
        "File names cannot contain leading or trailing spaces, trailing periods, control "
        "characters, or any of the following special characters: * ? / \\ : < > \" |");
  }
  for (unsigned char c : name) {
    if (c >= 0xf0) return reject("Path cannot contain multibyte unicode characters");
  }
  std::string path = joinPath(parentPath, name);
  if (path.size() > 5000) {
    return reject(isFolder ? "Folder path cannot be longer than 5000 bytes"
                           : "File path cannot be longer than 5000 characters");
  }
  if (!isFolder) {
    if (parentPath == "/Shared") return reject("Files cannot be saved directly to /Shared");
    if (parentPath == "/") return reject("Can only add files in allowed roots.");
  }
  if (isTemporaryName(name)) {
    if (isUpload) return reject("Temporary files are not supported");
    return std::unexpected(ApiError{400,
                                    "Destination filename is considered as temporary by the "
                                    "server.",
                                    std::nullopt,
                                    {{"name", "FILESYSTEM_NAME_NOT_TEMP"}}});
  }
  return {};
}

std::expected<void, ApiError> Cloud::checkUnlocked(const User& user, std::int64_t nodeId,
                                                   const std::optional<std::string>& token) {
  // A folder is blocked by any file below it that somebody else holds.
  auto s = store_.db().prepare(
      "WITH RECURSIVE sub(id) AS (SELECT ? UNION ALL SELECT n.id FROM nodes n JOIN sub ON "
      "n.parent_id = sub.id) SELECT l.node_id, l.user_id, l.token FROM locks l "
      "WHERE l.node_id IN sub AND l.expires_ms > ?");
  s.bind(1, nodeId).bind(2, now());
  while (s.step()) {
    bool other = s.integer(1) != user.id;
    bool wrongToken = s.integer(0) == nodeId && token && !token->empty() && *token != s.text(2);
    if (other || wrongToken)
      return std::unexpected(ApiError{403, "The file is locked by another user"});
  }
  return {};
}

std::string Cloud::freeName(std::int64_t parentId, const std::string& name,
                            const std::string& tag) {
  auto dot = name.rfind('.');
  std::string stem = (dot == std::string::npos || dot == 0) ? name : name.substr(0, dot);
  std::string ext = stem.size() == name.size() ? "" : name.substr(stem.size());
  for (int i = 1;; ++i) {
    std::string candidate = stem + " (" + tag + (i > 1 ? " " + std::to_string(i) : "") + ")" + ext;
    if (tag.empty()) candidate = stem + " (" + std::to_string(i) + ")" + ext;
    if (!store_.child(parentId, candidate)) return candidate;
  }
}

void Cloud::emit(const Actor& actor, Event event) {
  event.userId = actor.user.id;
  event.clientId = actor.clientId;
  event.actionSource = actor.actionSource;
  event.createdMs = now();
  std::int64_t id = store_.appendEvent(event);
  if (listener_) listener_(id);
}

std::expected<Node, ApiError> Cloud::createFolder(const Actor& actor, std::int64_t parentId,
                                                  const std::string& name) {
  auto parent = nodeById(actor.user, parentId, true);
  if (!parent) return std::unexpected(parent.error());
  if (auto ok = require(actor.user, parentId, Permission::editor); !ok) {
    return std::unexpected(ok.error());
  }
  std::string parentPath = store_.pathOf(parentId);
  if (auto ok = checkName(name, parentPath, true, false); !ok) return std::unexpected(ok.error());
  if (store_.child(parentId, name)) {
    return std::unexpected(ApiError{409, "Folder already exists", "FolderAlreadyExists"});
  }
  Transaction tx(store_.db());
  Node node;
  node.parentId = parentId;
  node.name = name;
  node.isFolder = true;
  node.ownerId = actor.user.id;
  node.createdMs = node.modifiedMs = now();
  node.id = store_.insertNode(node);
  store_.touchFolder(parentId, now());
  Event e;
  e.action = "ADD_FOLDER";
  e.targetPath = joinPath(parentPath, name);
  e.targetFolderId = std::to_string(node.id);
  emit(actor, e);
  tx.commit();
  return node;
}

std::expected<Node, ApiError> Cloud::move(const Actor& actor, std::int64_t id,
                                          std::optional<std::int64_t> newParentId,
                                          std::optional<std::string> newName,
                                          const std::optional<std::string>& lockToken) {
  auto node = store_.node(id);
  if (!node || !node->parentId) return std::unexpected(ApiError{404, "Item not found"});
  if (auto ok = require(actor.user, id, Permission::full); !ok) return std::unexpected(ok.error());
  if (node->fixed) return std::unexpected(ApiError{403, "Permission denied"});
  std::int64_t parentId = newParentId.value_or(*node->parentId);
  std::string name = newName.value_or(node->name);
  auto parent = nodeById(actor.user, parentId, true);
  if (!parent) return std::unexpected(parent.error());
  if (auto ok = require(actor.user, parentId, Permission::editor); !ok) {
    return std::unexpected(ok.error());
  }
  if (node->isFolder && store_.isAncestor(id, parentId)) {
    return std::unexpected(ApiError{400, "Cannot move parent folder into child folder"});
  }
  std::string parentPath = store_.pathOf(parentId);
  if (auto ok = checkName(name, parentPath, node->isFolder, false); !ok) {
    return std::unexpected(ok.error());
  }
  if (auto ok = checkUnlocked(actor.user, id, lockToken); !ok) return std::unexpected(ok.error());
  if (auto existing = store_.child(parentId, name); existing && existing->id != id) {
    return std::unexpected(ApiError{409, "An item with the same name already exists"});
  }
  Transaction tx(store_.db());
  std::string oldPath = store_.pathOf(id);
  store_.moveNode(id, parentId, name);
  store_.touchFolder(*node->parentId, now());
  store_.touchFolder(parentId, now());
  Event e;
  e.action = node->isFolder ? "MOVE_FOLDER" : "MOVE_FILE";
  e.sourcePath = oldPath;
  e.targetPath = joinPath(parentPath, name);
  e.sourceFolderId = std::to_string(*node->parentId);
  e.targetFolderId = std::to_string(parentId);
  if (!node->isFolder) {
    e.groupId = std::to_string(id);
    if (node->entryId) e.entryId = std::to_string(*node->entryId);
  }
  emit(actor, e);
  tx.commit();
  return *store_.node(id);
}

std::int64_t Cloud::copyTree(std::int64_t sourceId, std::int64_t parentId, const std::string& name,
                             std::int64_t ownerId) {
  Node source = *store_.node(sourceId);
  Node copy = source;
  copy.parentId = parentId;
  copy.name = name;
  copy.ownerId = ownerId;
  copy.fixed = false;
  copy.revision = 0;
  copy.id = store_.insertNode(copy);
  if (!source.isFolder && source.entryId) {
    // Versions never change once stored, so the copy shares the content file.
    Version v = *store_.version(*source.entryId);
    v.nodeId = copy.id;
    store_.addVersion(v);
  }
  for (const auto& child : store_.children(sourceId, 0)) {
    copyTree(child.node.id, copy.id, child.node.name, ownerId);
  }
  return copy.id;
}

std::expected<Node, ApiError> Cloud::copy(const Actor& actor, std::int64_t id,
                                          const std::string& destination) {
  auto node = store_.node(id);
  if (!node || !node->parentId) return std::unexpected(ApiError{404, "Item not found"});
  if (auto ok = require(actor.user, id, Permission::viewer); !ok)
    return std::unexpected(ok.error());
  if (destination.empty() || destination.front() != '/') {
    return std::unexpected(ApiError{400, "dest path can not be empty for action move"});
  }
  std::int64_t parentId = 0;
  std::string name;
  if (auto target = store_.resolve(destination); target && target->isFolder) {
    parentId = target->id;
    name = node->name;
  } else {
    auto parent = parentForNew(actor.user, destination, name);
    if (!parent) return std::unexpected(parent.error());
    parentId = *parent;
  }
  if (node->isFolder && store_.isAncestor(id, parentId)) {
    return std::unexpected(ApiError{400, "Cannot move parent folder into child folder"});
  }
  if (auto ok = require(actor.user, parentId, Permission::editor); !ok) {
    return std::unexpected(ok.error());
  }
  std::string parentPath = store_.pathOf(parentId);
  if (auto ok = checkName(name, parentPath, node->isFolder, false); !ok) {
    return std::unexpected(ok.error());
  }
  if (store_.child(parentId, name)) {
    return std::unexpected(ApiError{409, "An item with the same name already exists"});
  }
  Transaction tx(store_.db());
  std::int64_t copyId = copyTree(id, parentId, name, actor.user.id);
  store_.touchFolder(parentId, now());
  Event e;
  e.action = node->isFolder ? "COPY_FOLDER" : "COPY_FILE";
  e.sourcePath = store_.pathOf(id);
  e.targetPath = joinPath(parentPath, name);
  e.targetFolderId = std::to_string(parentId);
  Node result = *store_.node(copyId);
  if (!result.isFolder) {
    e.groupId = std::to_string(copyId);
    if (result.entryId) e.entryId = std::to_string(*result.entryId);
  }
  emit(actor, e);
  tx.commit();
  return result;
}

std::expected<Node, ApiError> Cloud::duplicate(const Actor& actor, const std::string& path) {
  auto node = nodeByPath(actor.user, path);
  if (!node) return std::unexpected(node.error());
  if (!node->parentId) return std::unexpected(ApiError{400, "Cannot duplicate the root"});
  std::string parentPath = store_.pathOf(*node->parentId);
  return copy(actor, node->id, joinPath(parentPath, freeName(*node->parentId, node->name, "")));
}

std::expected<void, ApiError> Cloud::remove(const Actor& actor, std::int64_t id,
                                            std::optional<std::int64_t> entryId,
                                            const std::optional<std::string>& lockToken,
                                            bool onlyIfEmpty) {
  auto node = store_.node(id);
  if (!node || !node->parentId) return std::unexpected(ApiError{404, "Item not found"});
  if (auto ok = require(actor.user, id, Permission::full); !ok) return std::unexpected(ok.error());
  if (node->fixed) return std::unexpected(ApiError{403, "Permission denied"});
  if (onlyIfEmpty && node->isFolder && store_.hasChildren(id)) {
    return std::unexpected(ApiError{409, "The folder is not empty", "FolderNotEmpty"});
  }
  if (entryId && node->entryId != entryId) {
    return std::unexpected(ApiError{409, "The file was changed since the given version"});
  }
  if (auto ok = checkUnlocked(actor.user, id, lockToken); !ok) return std::unexpected(ok.error());
  Transaction tx(store_.db());
  std::string path = store_.pathOf(id);
  store_.deleteNode(id);
  store_.touchFolder(*node->parentId, now());
  Event e;
  e.action = node->isFolder ? "DELETE_FOLDER" : "DELETE_FILE";
  e.sourcePath = path;
  e.targetPath = path;
  e.sourceFolderId = std::to_string(*node->parentId);
  if (!node->isFolder) e.groupId = std::to_string(id);
  emit(actor, e);
  tx.commit();
  return {};
}

}  // namespace tarnix::emulator
