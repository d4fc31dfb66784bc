#pragma once
// The emulator's persistent state: one SQLite database and one content file per stored version,
// both inside the data folder. Plain data access; the rules of the cloud live in Cloud.
// Not thread-safe: the server calls it from its one I/O thread. Methods throw SqlError when
// SQLite fails (the caller turns that into a 500 answer).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulator/Sql.hpp"

namespace tarnix::emulator {

struct User {
  std::int64_t id = 0;
  std::string username, password, token, firstName, lastName, email;
  bool admin = false;
};

/// Access levels, ordered: a level includes every lower one.
enum class Permission { none = 0, nav = 1, viewer = 2, editor = 3, full = 4, owner = 5 };

struct Node {
  std::int64_t id = 0;
  std::optional<std::int64_t> parentId;  // none for the root
  std::string name;
  bool isFolder = true;
  std::int64_t ownerId = 0;
  std::int64_t createdMs = 0, modifiedMs = 0;
  std::optional<std::int64_t> entryId;  // files: current version
  std::int64_t revision = 0;            // folders: bumped on every change of the children
  bool fixed = false;                   // may not be moved or deleted
};

struct Version {
  std::int64_t entryId = 0, nodeId = 0, size = 0;
  std::string checksum;  // lower-case hex SHA-512 of the content
  std::string blob;      // file name under content/
  std::int64_t uploadedMs = 0, modifiedMs = 0, uploadedBy = 0;
};

struct Lock {
  std::int64_t nodeId = 0, userId = 0;
  std::string token;
  std::int64_t createdMs = 0, expiresMs = 0;
  std::optional<std::string> collaboration;
};

struct Event {
  std::int64_t id = 0;
  std::string action;
  std::optional<std::string> sourcePath, targetPath, sourceFolderId, targetFolderId, groupId,
      entryId, checksum;
  std::optional<std::int64_t> size, modifiedMs;
  std::int64_t userId = 0;
  std::optional<std::string> clientId;
  std::string actionSource;
  std::int64_t createdMs = 0;
};

/// A child of a listed folder with what listings show of it.
struct Child {
  Node node;
  std::optional<Version> version;
  std::optional<Lock> lock;
};

struct UploadSession {
  std::string uploadId;
  std::int64_t userId = 0;
  std::string path;
  std::int64_t totalSize = 0, chunkSize = 0, createdMs = 0, updatedMs = 0;
};

struct UploadedChunk {
  std::int64_t number = 0, size = 0;
  std::string checksum;
};

class Store {
 public:
  static constexpr std::int64_t kRootId = 1;

  /// Opens or creates the state in `dataDir` (database "emulator.sqlite", content/, uploads/).
  explicit Store(const std::filesystem::path& dataDir);
  ~Store();

  Database& db() { return *db_; }
  const std::filesystem::path& dataDir() const { return dataDir_; }
  std::filesystem::path blobPath(const std::string& blob) const;
  std::filesystem::path chunkPath(const std::string& uploadId, std::int64_t number) const;
  std::filesystem::path tempDir() const;

  std::optional<std::string> meta(const std::string& key);
  void setMeta(const std::string& key, const std::string& value);

  // Users
  std::int64_t addUser(const User& user);
  std::optional<User> userById(std::int64_t id);
  std::optional<User> userByToken(const std::string& token);
  std::optional<User> userByName(const std::string& username);

  // Tree
  std::optional<Node> node(std::int64_t id);
  std::optional<Node> child(std::int64_t parentId, const std::string& name);
  std::vector<Child> children(std::int64_t folderId, std::int64_t nowMs);
  bool hasChildren(std::int64_t folderId);
  std::optional<Node> resolve(const std::string& path);
  std::string pathOf(std::int64_t id);
  std::int64_t insertNode(const Node& node);
  void moveNode(std::int64_t id, std::int64_t newParentId, const std::string& newName);
  /// Removes the node and everything under it (versions stay on disk).
  void deleteNode(std::int64_t id);
  /// Marks a folder's children as changed (new entity tag) at `nowMs`.
  void touchFolder(std::int64_t folderId, std::int64_t nowMs);
  bool isAncestor(std::int64_t ancestorId, std::int64_t id);

  // Versions
  std::optional<Version> version(std::int64_t entryId);
  std::vector<Version> versionsOf(std::int64_t nodeId);
  /// Stores a version record (entry id chosen here) and makes it the node's current one.
  std::int64_t addVersion(Version version);

  // Permissions: the nearest explicit level on the way to the root; owner when there is none.
  Permission permission(std::int64_t userId, std::int64_t nodeId);
  void setPermission(std::int64_t userId, std::int64_t nodeId, Permission level);

  // Locks (expired locks are not returned)
  std::optional<Lock> lock(std::int64_t nodeId, std::int64_t nowMs);
  void putLock(const Lock& lock);
  void removeLock(std::int64_t nodeId);

  // Events
  std::int64_t appendEvent(const Event& event);
  std::vector<Event> eventsAfter(std::int64_t id, std::int64_t limit);
  std::vector<Event> eventsBetween(std::int64_t minId, std::int64_t maxIdExclusive,
                                   std::int64_t limit);
  std::int64_t lastEventId();

  /// Bytes of the current versions of all files.
  std::int64_t usedBytes();
  // Chunked upload sessions
  void putSession(const UploadSession& session);
  std::optional<UploadSession> session(const std::string& uploadId);
  std::optional<UploadSession> sessionForPath(const std::string& path);
  void deleteSession(const std::string& uploadId);
  void putChunk(const std::string& uploadId, const UploadedChunk& chunk);
  std::vector<UploadedChunk> chunks(const std::string& uploadId);

 private:
  void createSchema();
  std::filesystem::path dataDir_;
  std::unique_ptr<Database> db_;
};

}  // namespace tarnix::emulator
