#include "common/SyncIdentifiers.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "base/Hash.hpp"
#include "base/JSONValue.hpp"
#include "base/Uuid.hpp"

namespace tarnix::common {

std::string_view prefix(ItemType type) {
  return type == ItemType::folder ? kFolderPrefix : kFilePrefix;
}

SyncFolderIdentifier SyncFolderIdentifier::zero() {
  return {"00000000-0000-0000-0000-000000000000"};
}

std::optional<SyncFolderIdentifier> SyncFolderIdentifier::fromPrefixed(std::string_view text) {
  if (!text.starts_with(kFolderPrefix)) return std::nullopt;
  return SyncFolderIdentifier{std::string(text.substr(kFolderPrefix.size()))};
}

std::string SyncFolderIdentifier::description() const {
  return std::string(kFolderPrefix) + rawValue;
}

SyncFileIdentifier SyncFileIdentifier::make() {
  return {base::makeUuid()};
}

SyncFileIdentifier SyncFileIdentifier::derived(std::string_view key) {
  const auto digest = base::sha256(key);
  base::UuidBytes bytes{};
  std::copy_n(digest.begin(), bytes.size(), bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x50);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  return {base::uuidString(bytes)};
}

std::optional<SyncFileIdentifier> SyncFileIdentifier::fromPrefixed(std::string_view text) {
  if (!text.starts_with(kFilePrefix)) return std::nullopt;
  return SyncFileIdentifier{std::string(text.substr(kFilePrefix.size()))};
}

std::string SyncFileIdentifier::description() const {
  return std::string(kFilePrefix) + rawValue;
}

std::optional<SyncItemIdentifier> SyncItemIdentifier::fromPrefixed(std::string_view text) {
  if (auto file = SyncFileIdentifier::fromPrefixed(text)) return SyncItemIdentifier(*file);
  if (auto folder = SyncFolderIdentifier::fromPrefixed(text)) return SyncItemIdentifier(*folder);
  return std::nullopt;
}

const std::string& SyncItemIdentifier::rawValue() const {
  return isFolder() ? folder()->rawValue : file()->rawValue;
}

std::string SyncItemIdentifier::description() const {
  return isFolder() ? folder()->description() : file()->description();
}

std::optional<CloudItemIdentifier> CloudItemIdentifier::fromPrefixed(std::string_view text) {
  if (text.starts_with(kFilePrefix)) {
    return CloudItemIdentifier(CloudGroupIdentifier{std::string(text.substr(kFilePrefix.size()))});
  }
  if (text.starts_with(kFolderPrefix)) {
    return CloudItemIdentifier(
        CloudFolderIdentifier{std::string(text.substr(kFolderPrefix.size()))});
  }
  return std::nullopt;
}

const std::string& CloudItemIdentifier::rawValue() const {
  return isFolder() ? folder()->rawValue : file()->rawValue;
}

std::string CloudItemIdentifier::description() const {
  return std::string(isFolder() ? kFolderPrefix : kFilePrefix) + rawValue();
}

std::string CloudItemIdentifier::toJSON() const {
  base::JSONValue json = base::JSONValue::object();
  json[isFolder() ? "folder" : "file"] = rawValue();
  return json.dump();
}

std::optional<CloudItemIdentifier> CloudItemIdentifier::fromJSON(std::string_view text) {
  auto json = base::parseJSON(text);
  if (!json || !json->is_object() || json->size() != 1) return std::nullopt;
  const auto entry = json->begin();
  const std::string key = entry.key();
  const auto& value = entry.value();
  if (!value.is_string()) return std::nullopt;
  if (key == "folder") return CloudItemIdentifier(CloudFolderIdentifier{value.get<std::string>()});
  if (key == "file") return CloudItemIdentifier(CloudGroupIdentifier{value.get<std::string>()});
  return std::nullopt;
}

CloudEntryIdentifier CloudEntryIdentifier::synthetic(std::int64_t contentSize,
                                                     base::Date contentModificationDate) {
  const auto seconds =
      std::chrono::floor<std::chrono::seconds>(contentModificationDate.time_since_epoch()).count();
  const std::uint64_t size = static_cast<std::uint64_t>(std::max<std::int64_t>(contentSize, 0));
  const std::uint64_t time = static_cast<std::uint64_t>(std::max<std::int64_t>(seconds, 0));
  std::string buffer(16, '\0');
  for (int i = 0; i < 8; ++i) {
    buffer[i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    buffer[8 + i] = static_cast<char>((time >> (8 * i)) & 0xFF);
  }
  const auto digest = base::sha256(buffer);
  base::UuidBytes bytes{};
  std::copy_n(digest.begin(), 16, bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x80);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return {base::uuidString(bytes)};
}

}  // namespace tarnix::common
