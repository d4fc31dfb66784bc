#pragma once
// The keys of the shared preferences suite that the product's processes read, with their
// codecs and change publishers.
//
// Thread-safe. Publishers call their observer with the decoded value each time the stored
// value changes (in any process), on the suite's delivery thread, until the token is released.

#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "base/Logger.hpp"
#include "common/URLSessionProxyConfiguration.hpp"
#include "platform/UserDefaults.hpp"

namespace tarnix::common {

namespace PreferenceKey {
inline constexpr const char* deviceID = "deviceID";
inline constexpr const char* proxySettings = "proxySettings";
inline constexpr const char* bandwidthThrottling = "bandwidthThrottling";
inline constexpr const char* logLevel = "logLevel";
inline constexpr const char* openLinkPreference = "openLinkPreference";
inline constexpr const char* processesExcludedFromLocking = "processesExcludedFromLocking";
inline constexpr const char* isSyncProgressWindowEnabled = "isSyncProgressWindowEnabled";
inline constexpr const char* manualLockDuration = "manualLockDuration";
inline constexpr const char* searchHotKey = "searchHotKey";
inline constexpr const char* featureOverrides = "featureOverrides";
}  // namespace PreferenceKey

/// Transfer speed limits in bytes per second; +infinity means no limit.
struct BandwidthThrottlingSettings {
  double maxUploadSpeed = std::numeric_limits<double>::infinity();
  double maxDownloadSpeed = std::numeric_limits<double>::infinity();
  bool operator==(const BandwidthThrottlingSettings&) const = default;
};

enum class OpenLinkPreference { alwaysAsk, openFile, showInFolder };

/// Numbers as stored: infinities are the strings "+Inf" and "-Inf" (JSON has no infinity).
base::JSONValue encodeNonFiniteNumbers(const base::JSONValue& value);
base::JSONValue decodeNonFiniteNumbers(const base::JSONValue& value);

/// The JSON text stored under "bandwidthThrottling"; none when it does not decode.
std::string encodeBandwidthThrottling(const BandwidthThrottlingSettings& settings);
std::optional<BandwidthThrottlingSettings> decodeBandwidthThrottling(const base::JSONValue& stored);
/// The proxy stored under "proxySettings" (JSON text or object); none when it does not decode.
std::optional<URLSessionProxyConfiguration> decodeNetworkProxy(const base::JSONValue& stored);

/// A number setting that callers read with their own default: a stored 0 (or nothing) means
/// the default.
class ExternalSetting {
 public:
  ExternalSetting(std::shared_ptr<platform::UserDefaults> defaults, std::string name);
  const std::string& name() const { return name_; }
  double value(double defaultValue) const;

 private:
  std::shared_ptr<platform::UserDefaults> defaults_;
  std::string name_;
};

class DesktopAppGroupPreferences {
 public:
  template <class T>
  using Observer = std::function<void(const T&)>;
  using Token = std::shared_ptr<void>;

  DesktopAppGroupPreferences(std::shared_ptr<platform::UserDefaults> defaults, base::Logger logger);

  const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

  std::optional<std::string> deviceID() const;

  /// No proxy when nothing (or something undecodable, logged) is stored.
  URLSessionProxyConfiguration networkProxy() const;
  void setNetworkProxy(const URLSessionProxyConfiguration& proxy);
  Token networkProxyPublisher(Observer<URLSessionProxyConfiguration> observer) const;

  /// No throttling when nothing (or something undecodable, logged) is stored.
  BandwidthThrottlingSettings bandwidthThrottling() const;
  void setBandwidthThrottling(const BandwidthThrottlingSettings& settings);
  Token bandwidthThrottlingPublisher(Observer<BandwidthThrottlingSettings> observer) const;

  /// The level stored as 1...6, or none.
  std::optional<base::LoggerLevel> logLevel() const;
  void setLogLevel(std::optional<base::LoggerLevel> level);
  Token logLevelPublisher(Observer<std::optional<base::LoggerLevel>> observer) const;

  /// "alwaysAsk" when nothing valid is stored.
  OpenLinkPreference openLinkPreference() const;
  void setOpenLinkPreference(OpenLinkPreference preference);
  Token openLinkPreferencePublisher(Observer<OpenLinkPreference> observer) const;

  std::vector<std::string> processesExcludedFromLocking() const;
  void setProcessesExcludedFromLocking(const std::vector<std::string>& processes);
  Token processesExcludedFromLockingPublisher(Observer<std::vector<std::string>> observer) const;

  bool isSyncProgressWindowEnabled() const;
  void setSyncProgressWindowEnabled(bool enabled);
  Token isSyncProgressWindowEnabledPublisher(Observer<bool> observer) const;

  /// The global hot key of search, as the desktop application stores it (opaque JSON).
  std::optional<base::JSONValue> searchHotKey() const;
  Token searchHotKeyPublisher(Observer<std::optional<base::JSONValue>> observer) const;

  ExternalSetting manualLockDuration() const;

  /// Feature name → stored value ("featureOverrides"); an empty object when none.
  base::JSONValue featureOverrides() const;
  Token featureOverridesPublisher(Observer<base::JSONValue> observer) const;

 private:
  static URLSessionProxyConfiguration decodeProxyLogged(const base::Logger& logger,
                                                        const std::optional<base::JSONValue>& v);
  static BandwidthThrottlingSettings decodeThrottlingLogged(
      const base::Logger& logger, const std::optional<base::JSONValue>& v);
  void store(const char* key, base::JSONValue value);

  std::shared_ptr<platform::UserDefaults> defaults_;
  base::Logger logger_;
};

std::string_view openLinkPreferenceName(OpenLinkPreference preference);
std::optional<OpenLinkPreference> openLinkPreferenceFromName(std::string_view name);

}  // namespace tarnix::common
