#include "common/CloudConfiguration.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <sstream>

namespace tarnix::common {
namespace {

using base::JSONValue;

/// Reads keys of one JSON object; the first failure is kept and fails the document.
class KeyReader {
 public:
  explicit KeyReader(const JSONValue& object, std::string context = {})
      : object_(object), context_(std::move(context)) {}

  const std::optional<std::string>& error() const { return error_; }
  void fail(const std::string& key, const std::string& why) {
    if (!error_) error_ = "Key \"" + context_ + key + "\": " + why;
  }

  /// The member, or null when absent or JSON null.
  const JSONValue* present(const char* key) const {
    auto it = object_.find(key);
    if (it == object_.end() || it->is_null()) return nullptr;
    return &*it;
  }

  static std::optional<bool> asBool(const JSONValue& v) {
    if (v.is_boolean()) return v.get<bool>();
    return std::nullopt;
  }
  static std::optional<bool> asStringBool(const JSONValue& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_string()) {
      const auto& s = v.get_ref<const std::string&>();
      if (s == "true") return true;
      if (s == "false") return false;
    }
    return std::nullopt;
  }
  static std::optional<std::int64_t> asInt(const JSONValue& v) {
    if (v.is_number_integer()) return v.get<std::int64_t>();
    if (v.is_number_float()) {
      double d = v.get<double>();
      if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) {
        return static_cast<std::int64_t>(d);
      }
    }
    return std::nullopt;
  }
  static std::optional<double> asDouble(const JSONValue& v) {
    if (v.is_number()) return v.get<double>();
    return std::nullopt;
  }
  static std::optional<std::string> asString(const JSONValue& v) {
    if (v.is_string()) return v.get<std::string>();
    return std::nullopt;
  }
  static std::optional<std::vector<std::string>> asStrings(const JSONValue& v) {
    if (!v.is_array()) return std::nullopt;
    std::vector<std::string> strings;
    for (const auto& element : v) {
      if (!element.is_string()) return std::nullopt;
      strings.push_back(element.get<std::string>());
    }
    return strings;
  }

  template <class T>
  T required(const char* key, std::optional<T> (*convert)(const JSONValue&), const char* type,
             T fallback) {
    const auto* value = present(key);
    if (!value) {
      fail(key, "missing");
      return fallback;
    }
    auto converted = convert(*value);
    if (!converted) {
      fail(key, std::string("expected ") + type);
      return fallback;
    }
    return std::move(*converted);
  }

  template <class T>
  std::optional<T> optional(const char* key, std::optional<T> (*convert)(const JSONValue&),
                            const char* type) {
    const auto* value = present(key);
    if (!value) return std::nullopt;
    auto converted = convert(*value);
    if (!converted) fail(key, std::string("expected ") + type);
    return converted;
  }

 private:
  const JSONValue& object_;
  std::string context_;
  std::optional<std::string> error_;
};

std::optional<SyncSizePolicy> syncSizePolicyFrom(const JSONValue& v) {
  if (!v.is_string()) return std::nullopt;
  const auto& s = v.get_ref<const std::string&>();
  if (s == "allow") return SyncSizePolicy::allow;
  if (s == "ask") return SyncSizePolicy::ask;
  if (s == "deny") return SyncSizePolicy::deny;
  return std::nullopt;
}

std::optional<CollaborationSettings::Choice> choiceFrom(const JSONValue& v) {
  if (!v.is_string()) return std::nullopt;
  const auto& s = v.get_ref<const std::string&>();
  if (s == "ask") return CollaborationSettings::Choice::ask;
  if (s == "always") return CollaborationSettings::Choice::always;
  if (s == "never") return CollaborationSettings::Choice::never;
  return std::nullopt;
}

/// "yyyy-MM-dd" at midnight UTC.
std::optional<base::Date> parseDay(const std::string& text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  }
  std::chrono::year_month_day day{std::chrono::year(std::stoi(text.substr(0, 4))),
                                  std::chrono::month(std::stoul(text.substr(5, 2))),
                                  std::chrono::day(std::stoul(text.substr(8, 2)))};
  if (!day.ok()) return std::nullopt;
  return std::chrono::sys_days(day);
}

NetworkWarnings decodeNetworkWarnings(const JSONValue& object, KeyReader& outer) {
  NetworkWarnings w;
  if (!object.is_object()) {
    outer.fail("netWarnSettings", "expected an object");
    return w;
  }
  KeyReader r(object, "netWarnSettings.");
  if (auto v = r.optional<std::int64_t>("netWarnCounterMaxValue", KeyReader::asInt, "integer"))
    w.maxWarningCount = *v;
  if (auto v =
          r.optional<std::int64_t>("netWarnCounterActivateThreshold", KeyReader::asInt, "integer"))
    w.activationTreshold = *v;
  if (auto v = r.optional<double>("netWarnCounterDecayMs", KeyReader::asDouble, "number"))
    w.decayCounterInterval = *v / 1000.0;
  if (auto v = r.optional<bool>("netWarnCounterEnabled", KeyReader::asBool, "boolean"))
    w.counterEnabled = *v;
  if (auto v = r.optional<double>("netWarnListingThresholdMs", KeyReader::asDouble, "number"))
    w.listingDurationTreshold = *v / 1000.0;
  if (r.error()) outer.fail("netWarnSettings", *r.error());
  return w;
}

std::map<std::string, double> decodeSyncIntervals(const JSONValue& list, KeyReader& outer) {
  std::map<std::string, double> intervals;
  if (!list.is_array()) {
    outer.fail("syncIntervalForFileExtensions", "expected a list");
    return intervals;
  }
  for (const auto& element : list) {
    if (!element.is_object()) {
      outer.fail("syncIntervalForFileExtensions", "expected a list of objects");
      return intervals;
    }
    KeyReader r(element, "syncIntervalForFileExtensions.");
    auto extension = r.required<std::string>("fileExtension", KeyReader::asString, "string", {});
    auto interval = r.required<double>("syncInterval", KeyReader::asDouble, "number", 0);
    if (r.error()) {
      outer.fail("syncIntervalForFileExtensions", *r.error());
      return intervals;
    }
    intervals[extension] = interval;
  }
  return intervals;
}

}  // namespace

std::string_view syncSizePolicyName(SyncSizePolicy policy) {
  switch (policy) {
    case SyncSizePolicy::allow:
      return "allow";
    case SyncSizePolicy::ask:
      return "ask";
    case SyncSizePolicy::deny:
      return "deny";
  }
  return "allow";
}

const CloudConfiguration& CloudConfiguration::defaultConfiguration() {
  static const CloudConfiguration configuration;
  return configuration;
}

std::expected<CloudConfiguration, CloudConfigurationError> CloudConfiguration::fromJSONText(
    std::string_view text) {
  auto json = base::parseJSON(text);
  if (!json) return std::unexpected(CloudConfigurationError{json.error().message});
  return decode(*json);
}

std::expected<CloudConfiguration, CloudConfigurationError> CloudConfiguration::decode(
    const JSONValue& json) {
  if (!json.is_object()) {
    return std::unexpected(CloudConfigurationError{"Configuration is not a JSON object"});
  }
  CloudConfiguration c;
  KeyReader r(json);
  using K = KeyReader;
  auto strings = [&](const char* key, std::vector<std::string>& field) {
    if (auto v = r.optional<std::vector<std::string>>(key, K::asStrings, "list of strings"))
      field = std::move(*v);
  };
  auto boolean = [&](const char* key, bool& field) {
    if (auto v = r.optional<bool>(key, K::asBool, "boolean")) field = *v;
  };

  c.isZephyrAvailable = r.required<bool>("canKeelvaultBeSourceForTx", K::asBool, "boolean", false);
  if (const auto* v = r.present("canKeelvaultBeSourceForTxCore")) {
    c.isZephyrAvailableForCore = K::asBool(*v).value_or(false);  // undecodable counts as absent
  }
  c.areUpgradeNotificationsEnabled =
      r.required<bool>("upgradeNotificationsEnabled", K::asBool, "boolean", false);
  c.canMarkFoldersForOffline =
      r.required<bool>("canUsersMarkFoldersForOfflineAccess", K::asBool, "boolean", false);
  c.isREDEnabled = r.required<bool>("redEnabled", K::asBool, "boolean", false);
  c.entitledDomains =
      r.optional<std::vector<std::string>>("entitledDomains", K::asStrings, "list of strings");
  strings("excludedExtensions", c.excludedExtensions);
  if (const auto* v = r.present("netWarnSettings"))
    c.networkWarnings = decodeNetworkWarnings(*v, r);
  if (const auto* v = r.present("syncIntervalForFileExtensions")) {
    c.syncIntervalForFileExtension = decodeSyncIntervals(*v, r);
  }
  c.maxFileSize = r.optional<std::int64_t>("maxFileSize", K::asInt, "integer");
  c.syncSizeLimit = r.optional<std::int64_t>("syncSizeLimit", K::asInt, "integer");
  if (const auto* v = r.present("syncSizePolicy")) {
    c.syncSizePolicy =
        syncSizePolicyFrom(*v).value_or(SyncSizePolicy::allow);  // undecodable counts as absent
  }
  if (auto v = r.optional<double>("sentrySampleRateMac", K::asDouble, "number"))
    c.sentrySampleRate = *v;
  if (auto v = r.optional<bool>("tdp.subnet", K::asStringBool, "boolean or \"true\"/\"false\""))
    c.requiresSameSubnet = *v;
  boolean("disableOfflineLocking", c.disableOfflineLocking);
  boolean("disablePrivateDirectoryLocking", c.disablePrivateDirectoryLocking);
  c.localReadEventsDeniedApps = r.required<std::vector<std::string>>(
      "localReadEventsBlacklistMac", K::asStrings, "list of strings", {});
  boolean("localReadEventsEnabledDACore", c.areLocalReadEventsEnabledDACore);
  if (auto v = r.optional<double>("localReadEventsPeriod", K::asDouble, "number"))
    c.localReadEventPeriod = *v;
  c.areConnectedFoldersEnabled =
      r.required<bool>("connectedFoldersEnabled", K::asBool, "boolean", true);
  c.areConnectedFoldersInSharedEnabled = r.required<bool>(
      "connectedFoldersInShared", K::asStringBool, "boolean or \"true\"/\"false\"", false);
  c.areConnectedFoldersOnExternalDriveEnabled = r.required<bool>(
      "connectedFoldersOnExternalDevice", K::asStringBool, "boolean or \"true\"/\"false\"", false);
  strings("thumbnailExtensions", c.thumbnailExtensions);
  strings("contentExtractableExtensions", c.contentExtractableExtensions);
  if (auto text = r.optional<std::string>("platformAutoUpgrade", K::asString, "string")) {
    // The value is a string that itself holds JSON; anything else leaves both flags off.
    if (auto inner = base::parseJSON(*text); inner && inner->is_object()) {
      auto mac = K::asBool(inner->value("da-mac", JSONValue()));
      auto win = K::asBool(inner->value("da-win", JSONValue()));
      if (mac && win) {
        c.autoUpgradeEnabledOnMac = *mac;
        c.autoUpgradeEnabledOnWin = *win;
      }
    }
  }
  boolean("aiSafeguards.amIRejected", c.aiFeaturesDisabledForUserByAISafeguards);
  boolean("aiPoweredFeaturesEnabled", c.areAIPoweredFeaturesEnabled);
  boolean("askAiFeatureOnDesktop", c.isAskAiFeatureOnDesktopEnabled);
  boolean("wingmateAvailableInUIOnDesktop", c.wingmateAvailableInUIOnDesktop);
  boolean("wingmateAvailableInContextMenuOnDesktop", c.wingmateAvailableInContextMenuOnDesktop);
  boolean("macFileProviderOfflineSyncEnabled", c.offlineSyncEnabled);
  boolean("showFolderIcons", c.viForSpecialFolders);
  boolean("ShortcutsEnabled", c.shortcutsEnabled);
  strings("desktopAppAnnouncement", c.announcements);
  boolean("DraftsEnabled", c.draftsEnabled);
  boolean("macBackgroundCfsIngestionEnabled", c.backgroundCfsIngestionEnabled);
  boolean("macShareLinkWindowEnabled", c.macShareLinkWindowEnabled);
  boolean("macApplicationLevelUIEnabled", c.appLevelUIEnabled);
  boolean("detailedCollaborationEvents", c.detailedCollaborationEvents);
  strings("macExcludedFromLocking", c.excludedFromLocking);
  if (auto v = r.optional<double>("macLSOFIntervalMilliseconds", K::asDouble, "number"))
    c.lsofInterval = *v / 1000.0;
  if (auto v = r.optional<std::int64_t>("RecommendedChunkUploadFileSize", K::asInt, "integer"))
    c.recommendedChunkUploadFileSize = *v;
  if (auto v = r.optional<std::int64_t>("RecommendedChunkSize", K::asInt, "integer"))
    c.recommendedChunkSize = *v;
  if (auto v = r.optional<double>("macInDesignDebouncer", K::asDouble, "number"))
    c.inDesignDebouncerInterval = *v / 1000.0;
  strings("macCustomClientBehaviours", c.customClientBehaviours);
  if (auto text = r.optional<std::string>("enableDebugLogsTimestamp", K::asString, "string")) {
    c.debugLogsExpirationDate = parseDay(*text);
  }
  boolean("nbdaEntitled", c.nbdaEntitled);
  boolean("macNBDAEnabled", c.macNBDAEnabled);
  boolean("macMEMEnabled", c.macMEMEnabled);
  if (const auto* v = r.present("csppInfo")) {
    if (!v->is_object()) {
      r.fail("csppInfo", "expected an object");
    } else {
      KeyReader inner(*v, "csppInfo.");
      c.csppInfo.appName = inner.required<std::string>("appName", K::asString, "string", {});
      c.csppInfo.serviceId = inner.required<std::string>("serviceId", K::asString, "string", {});
      if (inner.error()) r.fail("csppInfo", *inner.error());
    }
  }
  if (const auto* v = r.present("collabSettings")) {
    if (!v->is_object()) {
      r.fail("collabSettings", "expected an object");
    } else {
      KeyReader inner(*v, "collabSettings.");
      CollaborationSettings s;
      s.word = inner.required<CollaborationSettings::Choice>("word", choiceFrom, "choice", {});
      s.excel = inner.required<CollaborationSettings::Choice>("excel", choiceFrom, "choice", {});
      s.powerpoint =
          inner.required<CollaborationSettings::Choice>("powerpoint", choiceFrom, "choice", {});
      s.userCanOverwrite = inner.required<bool>("userCanOverwrite", K::asBool, "boolean", false);
      if (inner.error()) r.fail("collabSettings", *inner.error());
      c.collaborationSettings = s;
    }
  }
  c.fileLevelUIURI = r.optional<std::string>("uiConfigurationProviderUri", K::asString, "string");
  strings("delayedDeletionExtensions", c.delayedDeletionExtensions);

  if (r.error()) return std::unexpected(CloudConfigurationError{*r.error()});
  return c;
}

bool CloudConfiguration::hasCustomBehaviour(std::string_view name) const {
  return std::ranges::find(customClientBehaviours, name) != customClientBehaviours.end();
}

bool CloudConfiguration::isEntitled(const std::vector<std::string>& activeDirectoryDomains) const {
  if (!entitledDomains) return true;
  std::vector<std::string> lowered;
  for (auto domain : *entitledDomains) {
    std::ranges::transform(domain, domain.begin(),
                           [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    lowered.push_back(std::move(domain));
  }
  return std::ranges::any_of(activeDirectoryDomains, [&](const std::string& domain) {
    return std::ranges::find(lowered, domain) != lowered.end();
  });
}

namespace {
std::string describe(bool v) {
  return v ? "true" : "false";
}
std::string describe(std::int64_t v) {
  return std::to_string(v);
}
std::string describe(double v) {
  std::ostringstream out;
  out << v;
  return out.str();
}
std::string describe(const std::string& v) {
  return v;
}
std::string describe(SyncSizePolicy v) {
  return std::string(syncSizePolicyName(v));
}
std::string describe(const std::vector<std::string>& v) {
  std::string out = "[";
  for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + v[i];
  return out + "]";
}
std::string describe(const std::map<std::string, double>& v) {
  std::string out = "[";
  for (const auto& [k, d] : v) out += (out.size() > 1 ? ", " : "") + k + ": " + describe(d);
  return out + "]";
}
std::string describe(const NetworkWarnings& w) {
  return "NetworkWarnings(maxWarningCount: " + describe(w.maxWarningCount) +
         ", activationTreshold: " + describe(w.activationTreshold) +
         ", decayCounterInterval: " + describe(w.decayCounterInterval) +
         ", counterEnabled: " + describe(w.counterEnabled) +
         ", listingDurationTreshold: " + describe(w.listingDurationTreshold) + ")";
}
std::string describe(const CsppInfo& c) {
  return "CsppInfo(appName: " + c.appName + ", serviceId: " + c.serviceId + ")";
}
std::string describe(CollaborationSettings::Choice c) {
  switch (c) {
    case CollaborationSettings::Choice::ask:
      return "ask";
    case CollaborationSettings::Choice::always:
      return "always";
    case CollaborationSettings::Choice::never:
      return "never";
  }
  return "ask";
}
std::string describe(const CollaborationSettings& s) {
  return "CollaborationSettings(word: " + describe(s.word) + ", excel: " + describe(s.excel) +
         ", powerpoint: " + describe(s.powerpoint) +
         ", userCanOverwrite: " + describe(s.userCanOverwrite) + ")";
}
std::string describe(const base::Date& d) {
  return base::formatISO8601(d);
}
template <class T>
std::string describe(const std::optional<T>& v) {
  return v ? describe(*v) : "nil";
}
}  // namespace

std::vector<CloudConfiguration::Difference> CloudConfiguration::debugDifferences(
    const CloudConfiguration& other) const {
  std::vector<Difference> differences;
  auto compare = [&](const char* field, const auto& a, const auto& b) {
    if (!(a == b)) differences.push_back({field, describe(a), describe(b)});
  };
#define TARNIX_COMPARE(field) compare(#field, field, other.field)
  TARNIX_COMPARE(isZephyrAvailable);
  TARNIX_COMPARE(isZephyrAvailableForCore);
  TARNIX_COMPARE(areUpgradeNotificationsEnabled);
  TARNIX_COMPARE(canMarkFoldersForOffline);
  TARNIX_COMPARE(isREDEnabled);
  TARNIX_COMPARE(entitledDomains);
  TARNIX_COMPARE(excludedExtensions);
  TARNIX_COMPARE(networkWarnings);
  TARNIX_COMPARE(syncIntervalForFileExtension);
  TARNIX_COMPARE(maxFileSize);
  TARNIX_COMPARE(syncSizeLimit);
  TARNIX_COMPARE(syncSizePolicy);
  TARNIX_COMPARE(sentrySampleRate);
  TARNIX_COMPARE(requiresSameSubnet);
  TARNIX_COMPARE(disableOfflineLocking);
  TARNIX_COMPARE(disablePrivateDirectoryLocking);
  TARNIX_COMPARE(localReadEventsDeniedApps);
  TARNIX_COMPARE(areLocalReadEventsEnabledDACore);
  TARNIX_COMPARE(localReadEventPeriod);
  TARNIX_COMPARE(areConnectedFoldersEnabled);
  TARNIX_COMPARE(areConnectedFoldersInSharedEnabled);
  TARNIX_COMPARE(areConnectedFoldersOnExternalDriveEnabled);
  TARNIX_COMPARE(thumbnailExtensions);
  TARNIX_COMPARE(contentExtractableExtensions);
  TARNIX_COMPARE(autoUpgradeEnabledOnMac);
  TARNIX_COMPARE(autoUpgradeEnabledOnWin);
  TARNIX_COMPARE(aiFeaturesDisabledForUserByAISafeguards);
  TARNIX_COMPARE(areAIPoweredFeaturesEnabled);
  TARNIX_COMPARE(isAskAiFeatureOnDesktopEnabled);
  TARNIX_COMPARE(wingmateAvailableInUIOnDesktop);
  TARNIX_COMPARE(wingmateAvailableInContextMenuOnDesktop);
  TARNIX_COMPARE(offlineSyncEnabled);
  TARNIX_COMPARE(viForSpecialFolders);
  TARNIX_COMPARE(shortcutsEnabled);
  TARNIX_COMPARE(announcements);
  TARNIX_COMPARE(draftsEnabled);
  TARNIX_COMPARE(backgroundCfsIngestionEnabled);
  TARNIX_COMPARE(macShareLinkWindowEnabled);
  TARNIX_COMPARE(appLevelUIEnabled);
  TARNIX_COMPARE(detailedCollaborationEvents);
  TARNIX_COMPARE(excludedFromLocking);
  TARNIX_COMPARE(lsofInterval);
  TARNIX_COMPARE(recommendedChunkUploadFileSize);
  TARNIX_COMPARE(recommendedChunkSize);
  TARNIX_COMPARE(inDesignDebouncerInterval);
  TARNIX_COMPARE(customClientBehaviours);
  TARNIX_COMPARE(debugLogsExpirationDate);
  TARNIX_COMPARE(nbdaEntitled);
  TARNIX_COMPARE(macNBDAEnabled);
  TARNIX_COMPARE(macMEMEnabled);
  TARNIX_COMPARE(csppInfo);
  TARNIX_COMPARE(collaborationSettings);
  TARNIX_COMPARE(fileLevelUIURI);
  TARNIX_COMPARE(delayedDeletionExtensions);
#undef TARNIX_COMPARE
  return differences;
}

std::expected<CloudConfigurationWithData, CloudConfigurationError>
CloudConfigurationWithData::decode(std::string raw) {
  auto parsed = CloudConfiguration::fromJSONText(raw);
  if (!parsed) return std::unexpected(parsed.error());
  return CloudConfigurationWithData{std::move(*parsed), std::move(raw)};
}

}  // namespace tarnix::common
