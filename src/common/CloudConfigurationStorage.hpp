#pragma once
// The cloud configuration of each account, stored by the desktop application as the document
// the cloud sent, one file per account in "CloudConfigurations" (named by the account's
// lower-case UUID). Decoded documents are cached per account with the timestamp they were
// read for.
//
// Thread-safe: the cache is touched only on the serial queue
// "com.tarnix.CloudConfigurationStorage"; files are read and written outside it.

#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/DispatchQueue.hpp"
#include "base/JSONValue.hpp"
#include "base/Logger.hpp"
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
  /// decoded and cached with `timestamp`. A missing or undecodable file logs "Reading cloud
  /// configuration failed" and fails.
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
  /// not decode are skipped.
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

  std::filesystem::path folder_;
  std::shared_ptr<platform::FileManager> fileManager_;
  base::Logger logger_;
  base::DispatchQueue serialQueue_{"com.tarnix.CloudConfigurationStorage"};
  std::map<std::string, Entry> cache_;  // on serialQueue_, keyed by lower-case account UUID
};

}  // namespace tarnix::common
