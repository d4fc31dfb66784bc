#pragma once
// The item as the framework reads it: identity, name, type, capabilities, content policy, size,
// dates, versions, decorations and the extension's own user info.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"
#include "base/JSONValue.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"
#include "platform/fileprovider/OptionSet.hpp"

namespace tarnix::platform::fileprovider {

/// What the system may do with an item. Values are the framework's bits.
enum class ItemCapabilities : std::uint32_t {
  none = 0,
  allowsReading = 1 << 0,
  allowsWriting = 1 << 1,
  allowsReparenting = 1 << 2,
  allowsRenaming = 1 << 3,
  allowsTrashing = 1 << 4,
  allowsDeleting = 1 << 5,
  allowsEvicting = 1 << 6,
  allowsExcludingFromSync = 1 << 7,
};
template <>
struct EnableOptionSet<ItemCapabilities> : std::true_type {};

/// When the system downloads an item's contents. Values are the framework's.
enum class ContentPolicy : std::int64_t {
  inherited = 0,
  downloadLazily = 1,
  downloadLazilyAndEvictOnRemoteUpdate = 2,
  downloadEagerlyAndKeepDownloaded = 3,
};

/// The item properties a change carries (`changedFields` of a modification, fields of a new
/// item, fields still pending). Values are the framework's bits.
enum class ItemFields : std::uint32_t {
  none = 0,
  contents = 1 << 0,
  filename = 1 << 1,
  parentItemIdentifier = 1 << 2,
  lastUsedDate = 1 << 3,
  tagData = 1 << 4,
  favoriteRank = 1 << 5,
  creationDate = 1 << 6,
  contentModificationDate = 1 << 7,
  fileSystemFlags = 1 << 8,
  extendedAttributes = 1 << 9,
  typeAndCreator = 1 << 10,
};
template <>
struct EnableOptionSet<ItemFields> : std::true_type {};

/// The text names of the set bits, in bit order ("contents", "filename", ...), for log lines.
std::vector<std::string> fieldNames(ItemFields fields);

/// File-system flags of an item. Values are the framework's bits.
enum class FileSystemFlags : std::uint32_t {
  none = 0,
  userExecutable = 1 << 0,
  userReadable = 1 << 1,
  userWritable = 1 << 2,
  hidden = 1 << 3,
  pathExtensionHidden = 1 << 4,
};
template <>
struct EnableOptionSet<FileSystemFlags> : std::true_type {};

/// The classic four-character type and creator codes.
struct TypeAndCreator {
  std::uint32_t type = 0;
  std::uint32_t creator = 0;
  bool operator==(const TypeAndCreator&) const = default;
};

/// Uniform type identifiers of the generic kinds; the system derives specific types from names.
inline constexpr std::string_view kContentTypeFolder = "public.folder";
inline constexpr std::string_view kContentTypeItem = "public.item";
inline constexpr std::string_view kContentTypeSymbolicLink = "public.symlink";

/// The version the framework stores with an item and hands back as base version: one part for
/// the contents, one for the metadata. Both are opaque to the framework; it compares bytes.
struct ItemVersion {
  Data contentVersion;
  Data metadataVersion;
  bool operator==(const ItemVersion&) const = default;
};

/// A decoration is named by the extension (its bundle identifier and a suffix).
using DecorationIdentifier = std::string;

/// An item handed to the framework. Implementations are immutable once handed over and may be
/// read from any thread.
class Item {
 public:
  virtual ~Item() = default;

  virtual ItemIdentifier itemIdentifier() const = 0;
  virtual ItemIdentifier parentItemIdentifier() const = 0;
  virtual std::string filename() const = 0;
  /// A uniform type identifier (kContentTypeFolder, kContentTypeItem, ...).
  virtual std::string contentType() const = 0;
  virtual ItemCapabilities capabilities() const = 0;
  virtual ItemVersion itemVersion() const = 0;

  virtual ContentPolicy contentPolicy() const { return ContentPolicy::inherited; }
  /// Bytes of a file's contents; none for folders.
  virtual std::optional<std::int64_t> documentSize() const { return std::nullopt; }
  virtual std::optional<base::Date> creationDate() const { return std::nullopt; }
  virtual std::optional<base::Date> contentModificationDate() const { return std::nullopt; }
  virtual std::optional<base::Date> lastUsedDate() const { return std::nullopt; }
  virtual std::optional<Data> tagData() const { return std::nullopt; }
  virtual std::optional<FileSystemFlags> fileSystemFlags() const { return std::nullopt; }
  virtual std::map<std::string, Data> extendedAttributes() const { return {}; }
  virtual std::optional<TypeAndCreator> typeAndCreator() const { return std::nullopt; }
  /// The extension's own values, read by its companion applications (a JSON object).
  virtual base::JSONValue userInfo() const { return base::JSONValue::object(); }
  virtual std::vector<DecorationIdentifier> decorations() const { return {}; }

  bool isFolder() const { return contentType() == kContentTypeFolder; }
};

using ItemPtr = std::shared_ptr<const Item>;

/// Every property of an item as a plain value.
struct ItemProperties {
  ItemIdentifier itemIdentifier;
  ItemIdentifier parentItemIdentifier;
  std::string filename;
  std::string contentType{kContentTypeItem};
  ItemCapabilities capabilities = ItemCapabilities::none;
  ItemVersion itemVersion;
  ContentPolicy contentPolicy = ContentPolicy::inherited;
  std::optional<std::int64_t> documentSize;
  std::optional<base::Date> creationDate;
  std::optional<base::Date> contentModificationDate;
  std::optional<base::Date> lastUsedDate;
  std::optional<Data> tagData;
  std::optional<FileSystemFlags> fileSystemFlags;
  std::map<std::string, Data> extendedAttributes;
  std::optional<TypeAndCreator> typeAndCreator;
  base::JSONValue userInfo = base::JSONValue::object();
  std::vector<DecorationIdentifier> decorations;

  /// Reads every property of `item`.
  static ItemProperties of(const Item& item);
};

/// An item made of plain values: the templates the host hands to creations and modifications,
/// and the copies it keeps of items it was given.
class ItemSnapshot final : public Item {
 public:
  explicit ItemSnapshot(ItemProperties properties) : properties_(std::move(properties)) {}
  static ItemPtr make(ItemProperties properties);
  /// A copy of every property of `item`, detached from it.
  static ItemPtr copy(const Item& item);

  const ItemProperties& properties() const { return properties_; }

  ItemIdentifier itemIdentifier() const override { return properties_.itemIdentifier; }
  ItemIdentifier parentItemIdentifier() const override { return properties_.parentItemIdentifier; }
  std::string filename() const override { return properties_.filename; }
  std::string contentType() const override { return properties_.contentType; }
  ItemCapabilities capabilities() const override { return properties_.capabilities; }
  ItemVersion itemVersion() const override { return properties_.itemVersion; }
  ContentPolicy contentPolicy() const override { return properties_.contentPolicy; }
  std::optional<std::int64_t> documentSize() const override { return properties_.documentSize; }
  std::optional<base::Date> creationDate() const override { return properties_.creationDate; }
  std::optional<base::Date> contentModificationDate() const override {
    return properties_.contentModificationDate;
  }
  std::optional<base::Date> lastUsedDate() const override { return properties_.lastUsedDate; }
  std::optional<Data> tagData() const override { return properties_.tagData; }
  std::optional<FileSystemFlags> fileSystemFlags() const override {
    return properties_.fileSystemFlags;
  }
  std::map<std::string, Data> extendedAttributes() const override {
    return properties_.extendedAttributes;
  }
  std::optional<TypeAndCreator> typeAndCreator() const override {
    return properties_.typeAndCreator;
  }
  base::JSONValue userInfo() const override { return properties_.userInfo; }
  std::vector<DecorationIdentifier> decorations() const override { return properties_.decorations; }

 private:
  ItemProperties properties_;
};

}  // namespace tarnix::platform::fileprovider
