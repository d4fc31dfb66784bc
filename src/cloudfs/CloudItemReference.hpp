#pragma once
// A cloud folder or file named by its identifier, as request paths write it.

#include <string>

namespace tarnix::cloudfs {

struct CloudItemReference {
  enum class Kind { folder, file };
  Kind kind = Kind::folder;
  /// The folder id or the file's group id.
  std::string id;

  static CloudItemReference folder(std::string id) { return {Kind::folder, std::move(id)}; }
  static CloudItemReference file(std::string id) { return {Kind::file, std::move(id)}; }

  /// "folder" or "file".
  std::string kindName() const { return kind == Kind::folder ? "folder" : "file"; }
  /// "folder/ID" or "file/ID".
  std::string text() const { return kindName() + "/" + id; }
  bool operator==(const CloudItemReference&) const = default;
};

}  // namespace tarnix::cloudfs
