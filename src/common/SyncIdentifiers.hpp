#pragma once
// Identities of items: the local identifiers of folders and files, the cloud's identifiers and
// the content version identifier. All are plain values, hashable, ordered by their text.
//
// The stored and presented form of a local identifier is its prefixed text ("folder/" or "file/"
// followed by the raw value). Parsing is case-sensitive: "Folder/x" or a bare UUID is no
// identifier.
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Date.hpp"

namespace tarnix::common {

inline constexpr std::string_view kFolderPrefix = "folder/";
inline constexpr std::string_view kFilePrefix = "file/";

enum class ItemType { file, folder };
/// "file/" or "folder/".
std::string_view prefix(ItemType type);

/// Local identity of a folder.
struct SyncFolderIdentifier {
  std::string rawValue;

  /// The all-zero UUID, "00000000-0000-0000-0000-000000000000".
  static SyncFolderIdentifier zero();
  /// Accepts "folder/" + raw value; anything else gives none.
  static std::optional<SyncFolderIdentifier> fromPrefixed(std::string_view text);
  /// "folder/" + rawValue (also the database value).
  std::string description() const;
  auto operator<=>(const SyncFolderIdentifier&) const = default;
};

/// Local identity of a file.
struct SyncFileIdentifier {
  std::string rawValue;

  /// A freshly generated lower-case UUID.
  static SyncFileIdentifier make();
  /// A lower-case UUID that depends only on `key`: the same key always gives the same
  /// identifier (a name-based UUID, version 5 layout, from SHA-256).
  static SyncFileIdentifier derived(std::string_view key);
  /// Accepts "file/" + raw value; anything else gives none.
  static std::optional<SyncFileIdentifier> fromPrefixed(std::string_view text);
  /// "file/" + rawValue (also the database value).
  std::string description() const;
  auto operator<=>(const SyncFileIdentifier&) const = default;
};

/// Local identity of a folder or a file; stable across renames and moves. Ordered by case
/// (folder before file) and then by raw value.
class SyncItemIdentifier {
 public:
  SyncItemIdentifier(SyncFolderIdentifier folder) : value_(std::move(folder)) {}
  SyncItemIdentifier(SyncFileIdentifier file) : value_(std::move(file)) {}

  static std::optional<SyncItemIdentifier> fromPrefixed(std::string_view text);

  bool isFolder() const { return value_.index() == 0; }
  const SyncFolderIdentifier* folder() const { return std::get_if<0>(&value_); }
  const SyncFileIdentifier* file() const { return std::get_if<1>(&value_); }
  ItemType type() const { return isFolder() ? ItemType::folder : ItemType::file; }
  /// The wrapped string without prefix.
  const std::string& rawValue() const;
  /// The prefixed form ("folder/..." or "file/..."); also the database value.
  std::string description() const;

  auto operator<=>(const SyncItemIdentifier&) const = default;
  bool operator==(const SyncItemIdentifier&) const = default;

 private:
  std::variant<SyncFolderIdentifier, SyncFileIdentifier> value_;
};

/// The cloud's folder id.
struct CloudFolderIdentifier {
  std::string rawValue;
  auto operator<=>(const CloudFolderIdentifier&) const = default;
};

/// The cloud's file (group) id, identical across versions of one file.
struct CloudGroupIdentifier {
  std::string rawValue;
  auto operator<=>(const CloudGroupIdentifier&) const = default;
};

/// Cloud identity of a folder or a file. Stored as "folder/" or "file/" + the cloud's id; in
/// JSON as {"folder": id} or {"file": id}.
class CloudItemIdentifier {
 public:
  CloudItemIdentifier(CloudFolderIdentifier folder) : value_(std::move(folder)) {}
  CloudItemIdentifier(CloudGroupIdentifier file) : value_(std::move(file)) {}

  static std::optional<CloudItemIdentifier> fromPrefixed(std::string_view text);
  /// {"folder":"<id>"} or {"file":"<id>"}.
  std::string toJSON() const;
  static std::optional<CloudItemIdentifier> fromJSON(std::string_view json);

  bool isFolder() const { return value_.index() == 0; }
  const CloudFolderIdentifier* folder() const { return std::get_if<0>(&value_); }
  const CloudGroupIdentifier* file() const { return std::get_if<1>(&value_); }
  const std::string& rawValue() const;
  std::string description() const;

  auto operator<=>(const CloudItemIdentifier&) const = default;
  bool operator==(const CloudItemIdentifier&) const = default;

 private:
  std::variant<CloudFolderIdentifier, CloudGroupIdentifier> value_;
};

/// The cloud's id of one stored version of a file's content; used as the content version.
struct CloudEntryIdentifier {
  std::string rawValue;

  /// The content version of content that has no cloud version: SHA-256 of the size (u64) and
  /// the modification time in whole seconds since 1970 (negative counts as 0), both little
  /// endian, cut to 16 bytes with UUID version and variant bits set, as a lower-case UUID.
  /// `contentSize` must not be negative.
  static CloudEntryIdentifier synthetic(std::int64_t contentSize,
                                        base::Date contentModificationDate);

  auto operator<=>(const CloudEntryIdentifier&) const = default;
};

}  // namespace tarnix::common

template <>
struct std::hash<tarnix::common::SyncFolderIdentifier> {
  size_t operator()(const tarnix::common::SyncFolderIdentifier& v) const noexcept {
    return std::hash<std::string>{}(v.rawValue);
  }
};
template <>
struct std::hash<tarnix::common::SyncFileIdentifier> {
  size_t operator()(const tarnix::common::SyncFileIdentifier& v) const noexcept {
    return std::hash<std::string>{}(v.rawValue) * 31 + 1;
  }
};
template <>
struct std::hash<tarnix::common::SyncItemIdentifier> {
  size_t operator()(const tarnix::common::SyncItemIdentifier& v) const noexcept {
    return std::hash<std::string>{}(v.rawValue()) * 31 + (v.isFolder() ? 0 : 1);
  }
};
template <>
struct std::hash<tarnix::common::CloudItemIdentifier> {
  size_t operator()(const tarnix::common::CloudItemIdentifier& v) const noexcept {
    return std::hash<std::string>{}(v.rawValue()) * 31 + (v.isFolder() ? 0 : 1);
  }
};
template <>
struct std::hash<tarnix::common::CloudEntryIdentifier> {
  size_t operator()(const tarnix::common::CloudEntryIdentifier& v) const noexcept {
    return std::hash<std::string>{}(v.rawValue);
  }
};
