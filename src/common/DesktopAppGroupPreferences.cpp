#include "common/DesktopAppGroupPreferences.hpp"

#include <cmath>

namespace tarnix::common {
namespace {

/// JSON text stored as a string, or a document stored as it is.
std::optional<base::JSONValue> storedDocument(const base::JSONValue& stored) {
  if (stored.is_string()) {
    auto parsed = base::parseJSON(stored.get<std::string>());
    if (!parsed) return std::nullopt;
    return std::move(*parsed);
  }
  return stored;
}

std::optional<double> speed(const base::JSONValue& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_number()) return std::nullopt;
  return it->get<double>();
}

}  // namespace

base::JSONValue encodeNonFiniteNumbers(const base::JSONValue& value) {
  if (value.is_number_float()) {
    double number = value.get<double>();
    if (std::isinf(number)) return number > 0 ? "+Inf" : "-Inf";
    return value;
  }
  if (value.is_structured()) {
    base::JSONValue copy = value;
    for (auto& element : copy) element = encodeNonFiniteNumbers(element);
    return copy;
  }
  return value;
}

base::JSONValue decodeNonFiniteNumbers(const base::JSONValue& value) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text == "+Inf") return std::numeric_limits<double>::infinity();
    if (text == "-Inf") return -std::numeric_limits<double>::infinity();
    return value;
  }
  if (value.is_structured()) {
    base::JSONValue copy = value;
    for (auto& element : copy) element = decodeNonFiniteNumbers(element);
    return copy;
  }
  return value;
}

std::string encodeBandwidthThrottling(const BandwidthThrottlingSettings& settings) {
  base::JSONValue json = base::JSONValue::object();
  json["maxUploadSpeed"] = settings.maxUploadSpeed;
  json["maxDownloadSpeed"] = settings.maxDownloadSpeed;
  return base::dumpJSON(encodeNonFiniteNumbers(json));
}

std::optional<BandwidthThrottlingSettings> decodeBandwidthThrottling(
    const base::JSONValue& stored) {
  auto document = storedDocument(stored);
  if (!document || !document->is_object()) return std::nullopt;
  auto decoded = decodeNonFiniteNumbers(*document);
  auto upload = speed(decoded, "maxUploadSpeed");
  auto download = speed(decoded, "maxDownloadSpeed");
  if (!upload || !download || std::isnan(*upload) || std::isnan(*download)) return std::nullopt;
  return BandwidthThrottlingSettings{*upload, *download};
}

std::optional<URLSessionProxyConfiguration> decodeNetworkProxy(const base::JSONValue& stored) {
  auto document = storedDocument(stored);
  if (!document) return std::nullopt;
  auto decoded =
      URLSessionProxyConfiguration::fromJSONText(base::dumpJSON(decodeNonFiniteNumbers(*document)));
  if (!decoded) return std::nullopt;
  return *decoded;
}

std::string_view openLinkPreferenceName(OpenLinkPreference preference) {
  switch (preference) {
    case OpenLinkPreference::alwaysAsk:
      return "alwaysAsk";
    case OpenLinkPreference::openFile:
      return "openFile";
    case OpenLinkPreference::showInFolder:
      return "showInFolder";
  }
  return "alwaysAsk";
}

std::optional<OpenLinkPreference> openLinkPreferenceFromName(std::string_view name) {
  if (name == "alwaysAsk") return OpenLinkPreference::alwaysAsk;
  if (name == "openFile") return OpenLinkPreference::openFile;
  if (name == "showInFolder") return OpenLinkPreference::showInFolder;
  return std::nullopt;
}

ExternalSetting::ExternalSetting(std::shared_ptr<platform::UserDefaults> defaults, std::string name)
    : defaults_(std::move(defaults)), name_(std::move(name)) {}

double ExternalSetting::value(double defaultValue) const {
  auto stored = defaults_->value(name_);
  if (!stored || !stored->is_number()) return defaultValue;
  double number = stored->get<double>();
  return number == 0 || std::isnan(number) ? defaultValue : number;
}

DesktopAppGroupPreferences::DesktopAppGroupPreferences(
    std::shared_ptr<platform::UserDefaults> defaults, base::Logger logger)
    : defaults_(std::move(defaults)), logger_(std::move(logger)) {}

void DesktopAppGroupPreferences::store(const char* key, base::JSONValue value) {
  if (auto result = defaults_->set(key, std::move(value)); !result) {
    logger_.error("Writing preferences failed",
                  base::LoggerMetadata{{"key", key}, {"error", result.error().message}});
  }
}

std::optional<std::string> DesktopAppGroupPreferences::deviceID() const {
  auto stored = defaults_->value(PreferenceKey::deviceID);
  if (!stored || !stored->is_string()) return std::nullopt;
  return stored->get<std::string>();
}

URLSessionProxyConfiguration DesktopAppGroupPreferences::decodeProxyLogged(
    const base::Logger& logger_, const std::optional<base::JSONValue>& stored) {
  if (!stored) return {};
  if (auto proxy = decodeNetworkProxy(*stored)) return *proxy;
  logger_.error("Could not decode network proxy configuration");
  return {};
}

BandwidthThrottlingSettings DesktopAppGroupPreferences::decodeThrottlingLogged(
    const base::Logger& logger_, const std::optional<base::JSONValue>& stored) {
  if (!stored) return {};
  if (auto settings = decodeBandwidthThrottling(*stored)) return *settings;
  logger_.error("Could not decode bandwidth throttling settings");
  return {};
}

URLSessionProxyConfiguration DesktopAppGroupPreferences::networkProxy() const {
  return decodeProxyLogged(logger_, defaults_->value(PreferenceKey::proxySettings));
}

void DesktopAppGroupPreferences::setNetworkProxy(const URLSessionProxyConfiguration& proxy) {
  store(PreferenceKey::proxySettings, proxy.jsonText());
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::networkProxyPublisher(
    Observer<URLSessionProxyConfiguration> observer) const {
  return defaults_->observe(PreferenceKey::proxySettings,
                            [logger = logger_, observer = std::move(observer)](const auto& stored) {
                              observer(decodeProxyLogged(logger, stored));
                            });
}

BandwidthThrottlingSettings DesktopAppGroupPreferences::bandwidthThrottling() const {
  return decodeThrottlingLogged(logger_, defaults_->value(PreferenceKey::bandwidthThrottling));
}

void DesktopAppGroupPreferences::setBandwidthThrottling(
    const BandwidthThrottlingSettings& settings) {
  if (std::isnan(settings.maxUploadSpeed) || std::isnan(settings.maxDownloadSpeed)) {
    logger_.error("Could not encode bandwidth throttling settings");
    return;
  }
  store(PreferenceKey::bandwidthThrottling, encodeBandwidthThrottling(settings));
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::bandwidthThrottlingPublisher(
    Observer<BandwidthThrottlingSettings> observer) const {
  return defaults_->observe(PreferenceKey::bandwidthThrottling,
                            [logger = logger_, observer = std::move(observer)](const auto& stored) {
                              observer(decodeThrottlingLogged(logger, stored));
                            });
}

namespace {
std::optional<base::LoggerLevel> levelFrom(const std::optional<base::JSONValue>& stored) {
  if (!stored || !stored->is_number_integer()) return std::nullopt;
  return base::loggerLevelFromRawValue(stored->get<long long>());
}
OpenLinkPreference openLinkFrom(const std::optional<base::JSONValue>& stored) {
  if (stored && stored->is_string()) {
    if (auto preference = openLinkPreferenceFromName(stored->get<std::string>()))
      return *preference;
  }
  return OpenLinkPreference::alwaysAsk;
}
std::vector<std::string> stringsFrom(const std::optional<base::JSONValue>& stored) {
  std::vector<std::string> strings;
  if (!stored || !stored->is_array()) return strings;
  for (const auto& element : *stored) {
    if (element.is_string()) strings.push_back(element.get<std::string>());
  }
  return strings;
}
bool boolFrom(const std::optional<base::JSONValue>& stored) {
  return stored && stored->is_boolean() && stored->get<bool>();
}
base::JSONValue objectFrom(const std::optional<base::JSONValue>& stored) {
  if (stored && stored->is_object()) return *stored;
  return base::JSONValue::object();
}
}  // namespace

std::optional<base::LoggerLevel> DesktopAppGroupPreferences::logLevel() const {
  return levelFrom(defaults_->value(PreferenceKey::logLevel));
}

void DesktopAppGroupPreferences::setLogLevel(std::optional<base::LoggerLevel> level) {
  if (!level) {
    (void)defaults_->remove(PreferenceKey::logLevel);
    return;
  }
  store(PreferenceKey::logLevel, base::rawValue(*level));
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::logLevelPublisher(
    Observer<std::optional<base::LoggerLevel>> observer) const {
  return defaults_->observe(
      PreferenceKey::logLevel,
      [observer = std::move(observer)](const auto& stored) { observer(levelFrom(stored)); });
}

OpenLinkPreference DesktopAppGroupPreferences::openLinkPreference() const {
  return openLinkFrom(defaults_->value(PreferenceKey::openLinkPreference));
}

void DesktopAppGroupPreferences::setOpenLinkPreference(OpenLinkPreference preference) {
  store(PreferenceKey::openLinkPreference, std::string(openLinkPreferenceName(preference)));
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::openLinkPreferencePublisher(
    Observer<OpenLinkPreference> observer) const {
  return defaults_->observe(
      PreferenceKey::openLinkPreference,
      [observer = std::move(observer)](const auto& stored) { observer(openLinkFrom(stored)); });
}

std::vector<std::string> DesktopAppGroupPreferences::processesExcludedFromLocking() const {
  return stringsFrom(defaults_->value(PreferenceKey::processesExcludedFromLocking));
}

void DesktopAppGroupPreferences::setProcessesExcludedFromLocking(
    const std::vector<std::string>& processes) {
  store(PreferenceKey::processesExcludedFromLocking, processes);
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::processesExcludedFromLockingPublisher(
    Observer<std::vector<std::string>> observer) const {
  return defaults_->observe(
      PreferenceKey::processesExcludedFromLocking,
      [observer = std::move(observer)](const auto& stored) { observer(stringsFrom(stored)); });
}

bool DesktopAppGroupPreferences::isSyncProgressWindowEnabled() const {
  return boolFrom(defaults_->value(PreferenceKey::isSyncProgressWindowEnabled));
}

void DesktopAppGroupPreferences::setSyncProgressWindowEnabled(bool enabled) {
  store(PreferenceKey::isSyncProgressWindowEnabled, enabled);
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::isSyncProgressWindowEnabledPublisher(
    Observer<bool> observer) const {
  return defaults_->observe(
      PreferenceKey::isSyncProgressWindowEnabled,
      [observer = std::move(observer)](const auto& stored) { observer(boolFrom(stored)); });
}

std::optional<base::JSONValue> DesktopAppGroupPreferences::searchHotKey() const {
  return defaults_->value(PreferenceKey::searchHotKey);
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::searchHotKeyPublisher(
    Observer<std::optional<base::JSONValue>> observer) const {
  return defaults_->observe(PreferenceKey::searchHotKey, std::move(observer));
}

ExternalSetting DesktopAppGroupPreferences::manualLockDuration() const {
  return ExternalSetting(defaults_, PreferenceKey::manualLockDuration);
}

base::JSONValue DesktopAppGroupPreferences::featureOverrides() const {
  return objectFrom(defaults_->value(PreferenceKey::featureOverrides));
}

DesktopAppGroupPreferences::Token DesktopAppGroupPreferences::featureOverridesPublisher(
    Observer<base::JSONValue> observer) const {
  return defaults_->observe(
      PreferenceKey::featureOverrides,
      [observer = std::move(observer)](const auto& stored) { observer(objectFrom(stored)); });
}

}  // namespace tarnix::common
