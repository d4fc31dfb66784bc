#pragma once
// The cloud configuration of each account, stored by the desktop application as the document
// the cloud sent, one file per account in "CloudConfigurations" (named by the account's
// lower-case UUID). Decoded documents are cached per account with the timestamp they were
// read for.
//
// A read takes the file outside the cache's queue, so an update or removal may land while it
// reads: each account's entry carries a revision that every change raises, and a read caches
// what it decoded only when no change came between its start and its end. An older read never
// replaces a newer entry.
//
// Thread-safe: the cache is touched only on the serial queue
// "com.tarnix.CloudConfigurationStorage"; files are read and written outside it. Updates and
// removals are serialised among themselves (`writeMutex_`), so that the file and the cache
// end with the same document. Lock order: `writeMutex_` before the queue.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/JSONValue.hpp"
#include "base/Logger.hpp"
#include "base/Mutex.hpp"
#include "common/CloudConfiguration.hpp"
#include "platform/FileManager.hpp"

namespace tarnix::common {

struct CloudConfigurationStorageError {
  std::string message;
};

class CloudConfigurationStorage {
 public:
  CloudConfigurationStorage(std::filesystem::path folder,
                            std::shared_ptr<platform::FileManager> fileManager,
                            base::Logger logger);

  /// The cached configuration when cached with exactly `timestamp`; otherwise the file's,
  /// decoded and cached with `timestamp` (unless the entry changed while the file was read: then
  /// the decoded document is returned and the newer entry kept). A missing or undecodable file
  /// logs "Reading cloud configuration failed" and fails.
  std::expected<CloudConfiguration, CloudConfigurationStorageError> configuration(
      const std::string& account, const std::string& timestamp);
  /// The account's file as a plain JSON object, for diagnostics.
  std::expected<base::JSONValue, CloudConfigurationStorageError> configurationRaw(
      const std::string& account);
  /// Replaces the cache entry when there is none or the parsed configuration differs, then
  /// writes `raw` to the file. Returns whether it wrote. A failed write logs "Saving cloud
  /// configuration failed".
  std::expected<bool, CloudConfigurationStorageError> update(
      const CloudConfigurationWithData& configuration, const std::string& account,
      const std::string& timestamp);
  /// Deletes the file and the cache entry ("Removing cloud configuration failed").
  std::expected<void, CloudConfigurationStorageError> removeConfiguration(
      const std::string& account);
  /// Every cached configuration, by account.
  std::map<std::string, CloudConfiguration> all();
  /// Re-reads every account's file into the cache ("Force cache reload failed"); files that do
  /// not decode are skipped, and so are accounts whose entry changed during the reload.
  std::expected<void, CloudConfigurationStorageError> forceCacheReload();

  /// The file of `account`; fails when `account` is not a UUID.
  std::expected<std::filesystem::path, CloudConfigurationStorageError> fileURL(
      const std::string& account) const;

 private:
  struct Entry {
    CloudConfiguration configuration;
    std::string timestamp;
  };
  CloudConfigurationStorageError logged(const char* message, const std::string& account,
                                        const std::string& reason) const;
  /// On the queue: the entry of `key` changes; readers that started before lose their turn.
  void setEntryOnQueue(const std::string& key, std::optional<Entry> entry);
  /// On the queue: the revision of `key` now (0 when it never changed).
  std::uint64_t revisionOnQueue(const std::string& key) const;

  std::filesystem::path folder_;
  std::shared_ptr<platform::FileManager> fileManager_;
  base::Logger logger_;
  base::Mutex writeMutex_;  // held by update and removeConfiguration for their whole run
  base::DispatchQueue serialQueue_{"com.tarnix.CloudConfigurationStorage"};
  // On serialQueue_, keyed by lower-case account UUID.
  std::map<std::string, Entry> cache_;
  std::map<std::string, std::uint64_t> revisions_;
};

}  // namespace tarnix::common
