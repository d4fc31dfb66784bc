#include "common/CloudConfigurationStorage.hpp"

#include "base/Uuid.hpp"

namespace tarnix::common {

CloudConfigurationStorage::CloudConfigurationStorage(
    std::filesystem::path folder, std::shared_ptr<platform::FileManager> fileManager,
    base::Logger logger)
    : folder_(std::move(folder)),
      fileManager_(std::move(fileManager)),
      logger_(std::move(logger)) {}

CloudConfigurationStorageError CloudConfigurationStorage::logged(const char* message,
                                                                 const std::string& account,
                                                                 const std::string& reason) const {
  logger_.error(message, base::LoggerMetadata{{"accountID", account}, {"error", reason}});
  return CloudConfigurationStorageError{std::string(message) + ": " + reason};
}

void CloudConfigurationStorage::setEntryOnQueue(const std::string& key,
                                                std::optional<Entry> entry) {
  ++revisions_[key];
  if (entry) {
    cache_.insert_or_assign(key, std::move(*entry));
  } else {
    cache_.erase(key);
  }
}

std::uint64_t CloudConfigurationStorage::revisionOnQueue(const std::string& key) const {
  auto it = revisions_.find(key);
  return it == revisions_.end() ? 0 : it->second;
}

std::expected<std::filesystem::path, CloudConfigurationStorageError>
CloudConfigurationStorage::fileURL(const std::string& account) const {
  auto normalized = base::normalizedUuid(account);
  if (!normalized) {
    return std::unexpected(CloudConfigurationStorageError{"Account identifier is not a UUID"});
  }
  return folder_ / *normalized;
}

std::expected<CloudConfiguration, CloudConfigurationStorageError>
CloudConfigurationStorage::configuration(const std::string& account, const std::string& timestamp) {
  auto file = fileURL(account);
  if (!file)
    return std::unexpected(
        logged("Reading cloud configuration failed", account, file.error().message));
  auto key = file->filename().string();
  std::uint64_t startRevision = 0;
  auto cached = serialQueue_.sync([&]() -> std::optional<CloudConfiguration> {
    if (auto it = cache_.find(key); it != cache_.end() && it->second.timestamp == timestamp) {
      return it->second.configuration;
    }
    startRevision = revisionOnQueue(key);
    return std::nullopt;
  });
  if (cached) return *cached;
  auto data = fileManager_->contents(*file);
  if (!data)
    return std::unexpected(
        logged("Reading cloud configuration failed", account, data.error().message));
  auto decoded = CloudConfiguration::fromJSONText(*data);
  if (!decoded) {
    return std::unexpected(
        logged("Reading cloud configuration failed", account, decoded.error().message));
  }
  serialQueue_.sync([&] {
    // An update, a removal or another read changed the entry meanwhile: it is newer than
    // what this read found.
    if (revisionOnQueue(key) == startRevision) setEntryOnQueue(key, Entry{*decoded, timestamp});
  });
  return *decoded;
}

std::expected<base::JSONValue, CloudConfigurationStorageError>
CloudConfigurationStorage::configurationRaw(const std::string& account) {
  auto file = fileURL(account);
  if (!file) return std::unexpected(file.error());
  auto data = fileManager_->contents(*file);
  if (!data) return std::unexpected(CloudConfigurationStorageError{data.error().message});
  auto json = base::parseJSON(*data);
  if (!json) return std::unexpected(CloudConfigurationStorageError{json.error().message});
  if (!json->is_object()) {
    return std::unexpected(CloudConfigurationStorageError{"Configuration is not a JSON object"});
  }
  return *json;
}

std::expected<bool, CloudConfigurationStorageError> CloudConfigurationStorage::update(
    const CloudConfigurationWithData& configuration, const std::string& account,
    const std::string& timestamp) {
  auto file = fileURL(account);
  if (!file)
    return std::unexpected(
        logged("Saving cloud configuration failed", account, file.error().message));
  auto key = file->filename().string();
  base::MutexLock writing(writeMutex_);
  bool changed = serialQueue_.sync([&] {
    auto it = cache_.find(key);
    if (it != cache_.end() && it->second.configuration == configuration.parsed) return false;
    setEntryOnQueue(key, Entry{configuration.parsed, timestamp});
    return true;
  });
  if (!changed) return false;
  if (auto written = fileManager_->writeAtomically(*file, configuration.raw); !written) {
    // The file still holds the old document: forget the entry so the next read takes the file.
    serialQueue_.sync([&] { setEntryOnQueue(key, std::nullopt); });
    return std::unexpected(
        logged("Saving cloud configuration failed", account, written.error().message));
  }
  return true;
}

std::expected<void, CloudConfigurationStorageError> CloudConfigurationStorage::removeConfiguration(
    const std::string& account) {
  auto file = fileURL(account);
  if (!file)
    return std::unexpected(
        logged("Removing cloud configuration failed", account, file.error().message));
  auto key = file->filename().string();
  base::MutexLock writing(writeMutex_);
  serialQueue_.sync([&] { setEntryOnQueue(key, std::nullopt); });
  if (auto removed = fileManager_->remove(*file); !removed) {
    return std::unexpected(
        logged("Removing cloud configuration failed", account, removed.error().message));
  }
  return {};
}

std::map<std::string, CloudConfiguration> CloudConfigurationStorage::all() {
  return serialQueue_.sync([&] {
    std::map<std::string, CloudConfiguration> configurations;
    for (const auto& [account, entry] : cache_)
      configurations.emplace(account, entry.configuration);
    return configurations;
  });
}

std::expected<void, CloudConfigurationStorageError> CloudConfigurationStorage::forceCacheReload() {
  // The revisions before any file is read: an entry that changes later is newer than the file
  // this reload reads for it.
  const auto startRevisions = serialQueue_.sync([&] { return revisions_; });
  const auto startRevision = [&](const std::string& key) {
    auto it = startRevisions.find(key);
    return it == startRevisions.end() ? std::uint64_t{0} : it->second;
  };
  auto names = fileManager_->fileNames(folder_);
  if (!names)
    return std::unexpected(logged("Force cache reload failed", "", names.error().message));
  std::map<std::string, CloudConfiguration> loaded;
  for (const auto& name : *names) {
    auto key = base::normalizedUuid(name);
    if (!key || *key != name) continue;
    auto data = fileManager_->contents(folder_ / name);
    if (!data) {
      logged("Force cache reload failed", name, data.error().message);
      continue;
    }
    auto decoded = CloudConfiguration::fromJSONText(*data);
    if (!decoded) {
      logged("Force cache reload failed", name, decoded.error().message);
      continue;
    }
    loaded.emplace(name, std::move(*decoded));
  }
  serialQueue_.sync([&] {
    for (auto& [account, configuration] : loaded) {
      if (revisionOnQueue(account) != startRevision(account)) continue;
      auto it = cache_.find(account);
      std::string timestamp = it == cache_.end() ? std::string() : it->second.timestamp;
      setEntryOnQueue(account, Entry{std::move(configuration), std::move(timestamp)});
    }
  });
  return {};
}

}  // namespace tarnix::common
