#pragma once
// A user-defaults suite shared by every process of the product: one JSON object in a file.
//
// The file is read whole and written whole. Every write is a read-modify-write under an
// exclusive flock of "<file>.lock" followed by an atomic rename, so a writer never drops a key
// that another process wrote meanwhile. Readers take the shared lock. Changes made by any
// process (this one included) reach observers through inotify on the folder.
//
// Thread-safe. Observers run on the suite's watcher thread (or on the writer's thread for
// writes made by this object); they must not block.

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/JSONValue.hpp"
#include "base/Logger.hpp"

namespace tarnix::platform {

struct UserDefaultsError {
  std::string message;
};

class UserDefaults {
 public:
  using Observer = std::function<void(const std::optional<base::JSONValue>& value)>;

  /// The suite stored in `file` (created on first write; its folder must exist).
  static std::shared_ptr<UserDefaults> open(std::filesystem::path file, base::Logger logger);
  ~UserDefaults();
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;

  const std::filesystem::path& path() const;

  /// The stored value of `key`, or none. A file that is not a JSON object reads as empty
  /// (logged once per damaged version of the file).
  std::optional<base::JSONValue> value(const std::string& key) const;
  /// Every key and value.
  base::JSONValue dictionary() const;

  std::expected<void, UserDefaultsError> set(const std::string& key, base::JSONValue value);
  std::expected<void, UserDefaultsError> remove(const std::string& key);
  /// Applies `change` to the whole object under the exclusive lock and writes the result.
  std::expected<void, UserDefaultsError> update(
      const std::function<void(base::JSONValue&)>& change);

  /// Calls `observer` with the new value of `key` each time it changes, until the returned token
  /// is released. The first call comes on the first change after this one.
  std::shared_ptr<void> observe(std::string key, Observer observer);

  struct Impl;

 private:
  explicit UserDefaults(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

}  // namespace tarnix::platform
