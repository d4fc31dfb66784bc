#pragma once
// The per-account configuration document that the cloud sends, decoded.

#include <chrono>
#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Date.hpp"
#include "base/JSONValue.hpp"

namespace tarnix::common {

enum class SyncSizePolicy { allow, ask, deny };
std::string_view syncSizePolicyName(SyncSizePolicy policy);

struct NetworkWarnings {
  std::int64_t maxWarningCount = 10;
  std::int64_t activationTreshold = 5;
  double decayCounterInterval = 60.0;  // seconds
  bool counterEnabled = true;
  double listingDurationTreshold = 5.0;  // seconds
  bool operator==(const NetworkWarnings&) const = default;
};

struct CsppInfo {
  std::string appName = "mswopibeta";
  std::string serviceId;
  bool operator==(const CsppInfo&) const = default;
};

struct CollaborationSettings {
  enum class Choice { ask, always, never };
  Choice word = Choice::ask;
  Choice excel = Choice::ask;
  Choice powerpoint = Choice::ask;
  bool userCanOverwrite = false;
  bool operator==(const CollaborationSettings&) const = default;
};

struct CloudConfigurationError {
  std::string message;
};

/// Immutable once decoded. The defaults below are `CloudConfiguration::defaultConfiguration()`,
/// taken for every optional key that is absent.
struct CloudConfiguration {
  bool isZephyrAvailable = false;
  bool isZephyrAvailableForCore = false;
  bool areUpgradeNotificationsEnabled = false;
  bool canMarkFoldersForOffline = false;
  bool isREDEnabled = false;
  std::optional<std::vector<std::string>> entitledDomains;
  std::vector<std::string> excludedExtensions;
  NetworkWarnings networkWarnings;
  std::map<std::string, double> syncIntervalForFileExtension;  // seconds
  std::optional<std::int64_t> maxFileSize;
  std::optional<std::int64_t> syncSizeLimit;
  SyncSizePolicy syncSizePolicy = SyncSizePolicy::allow;
  double sentrySampleRate = 1.0;
  bool requiresSameSubnet = false;
  bool disableOfflineLocking = false;
  bool disablePrivateDirectoryLocking = false;
  std::vector<std::string> localReadEventsDeniedApps;
  bool areLocalReadEventsEnabledDACore = false;
  double localReadEventPeriod = 600.0;  // seconds
  bool areConnectedFoldersEnabled = true;
  bool areConnectedFoldersInSharedEnabled = false;
  bool areConnectedFoldersOnExternalDriveEnabled = false;
  std::vector<std::string> thumbnailExtensions;
  std::vector<std::string> contentExtractableExtensions;
  bool autoUpgradeEnabledOnMac = false;
  bool autoUpgradeEnabledOnWin = false;
  bool aiFeaturesDisabledForUserByAISafeguards = false;
  bool areAIPoweredFeaturesEnabled = false;
  bool isAskAiFeatureOnDesktopEnabled = false;
  bool wingmateAvailableInUIOnDesktop = false;
  bool wingmateAvailableInContextMenuOnDesktop = false;
  bool offlineSyncEnabled = true;
  bool viForSpecialFolders = false;
  bool shortcutsEnabled = false;
  std::vector<std::string> announcements;
  bool draftsEnabled = false;
  bool backgroundCfsIngestionEnabled = false;
  bool macShareLinkWindowEnabled = false;
  bool appLevelUIEnabled = true;
  bool detailedCollaborationEvents = false;
  std::vector<std::string> excludedFromLocking;
  double lsofInterval = 15.0;  // seconds
  std::int64_t recommendedChunkUploadFileSize = 52428800;
  std::int64_t recommendedChunkSize = 52428800;
  double inDesignDebouncerInterval = 0.0;  // seconds
  std::vector<std::string> customClientBehaviours;
  std::optional<base::Date> debugLogsExpirationDate;
  bool nbdaEntitled = false;
  bool macNBDAEnabled = false;
  bool macMEMEnabled = false;
  CsppInfo csppInfo;
  std::optional<CollaborationSettings> collaborationSettings;
  std::optional<std::string> fileLevelUIURI;
  std::vector<std::string> delayedDeletionExtensions;

  bool operator==(const CloudConfiguration&) const = default;

  static const CloudConfiguration& defaultConfiguration();

  /// Decodes a document; a missing or mistyped required key fails it.
  static std::expected<CloudConfiguration, CloudConfigurationError> decode(
      const base::JSONValue& json);
  static std::expected<CloudConfiguration, CloudConfigurationError> fromJSONText(
      std::string_view text);

  bool hasCustomBehaviour(std::string_view name) const;
  bool isInddCorruptionSkipEnabled() const { return hasCustomBehaviour("inddCorruptionSkip"); }
  bool isInddCorruptionDetectionEnabled() const {
    return hasCustomBehaviour("inddCorruptionDetection") || isInddCorruptionSkipEnabled();
  }
  /// True without "entitledDomains"; otherwise whether one of `activeDirectoryDomains` is among
  /// the entitled domains (lower-cased; the caller's domains are compared as given).
  bool isEntitled(const std::vector<std::string>& activeDirectoryDomains) const;

  struct Difference {
    std::string field;
    std::string oldValue;
    std::string newValue;
  };
  /// One entry per field whose value differs from `other` (this is the old value).
  std::vector<Difference> debugDifferences(const CloudConfiguration& other) const;
};

/// A decoded configuration with the exact bytes it came from.
struct CloudConfigurationWithData {
  CloudConfiguration parsed;
  std::string raw;

  static std::expected<CloudConfigurationWithData, CloudConfigurationError> decode(std::string raw);
};

}  // namespace tarnix::common
