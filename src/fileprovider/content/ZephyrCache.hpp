#pragma once
// What the drive's on-premises fast-access endpoint answered per file, remembered in a
// least-recently-used cache.
//
// A file the endpoint served is `keelvault`: later downloads go there first. A file whose
// version the endpoint lacked is `versionNotFound(entry)`: that version comes from the cloud
// from then on, while a newer version tries the endpoint again.
//
// Thread-safe: one mutex guards the cache.

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

struct ZephyrFileMode {
  enum class Kind { versionNotFound, keelvault };
  Kind kind = Kind::keelvault;
  /// The version the endpoint did not have (versionNotFound only).
  std::optional<common::CloudEntryIdentifier> entryID;

  static ZephyrFileMode versionNotFound(common::CloudEntryIdentifier entryID) {
    return {Kind::versionNotFound, std::move(entryID)};
  }
  static ZephyrFileMode keelvault() { return {Kind::keelvault, std::nullopt}; }
  bool operator==(const ZephyrFileMode&) const = default;
};

/// Whether a download of `version` should try the fast-access endpoint, given what it answered
/// for the file before.
bool shouldTryFastAccess(const std::optional<ZephyrFileMode>& mode,
                         const std::optional<common::CloudEntryIdentifier>& version);

class ZephyrCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 1000;
  explicit ZephyrCache(std::size_t capacity = kDefaultCapacity)
      : capacity_(capacity == 0 ? 1 : capacity) {}

  /// The remembered mode (and marks the file as recently used).
  std::optional<ZephyrFileMode> mode(const common::SyncItemIdentifier& item);
  /// Remembers `mode`, dropping the least recently used file when full.
  void setMode(const common::SyncItemIdentifier& item, ZephyrFileMode mode);
  std::size_t size() const;

 private:
  using Entry = std::pair<common::SyncItemIdentifier, ZephyrFileMode>;
  mutable std::mutex mutex_;
  std::size_t capacity_;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<common::SyncItemIdentifier, std::list<Entry>::iterator> index_;
};

}  // namespace tarnix::fileprovider
