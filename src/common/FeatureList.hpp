#pragma once
// Whether each feature is on: its default unless an override says otherwise. The overrides
// come from "featureOverrides" of the shared preferences and are re-read when it changes.
//
// Thread-safe.

#include <map>
#include <memory>
#include <shared_mutex>
#include <string>

#include "base/JSONValue.hpp"
#include "common/DesktopAppGroupPreferences.hpp"
#include "common/Feature.hpp"
#include "platform/UserDefaults.hpp"

namespace tarnix::common {

enum class FeatureOverrideState { useDefault, enableFeature, disableFeature };

class FeatureList {
 public:
  /// The process's list.
  static FeatureList& shared();

  bool isEnabled(const Feature& feature) const;
  /// An override other than `useDefault` is recorded for the feature.
  bool hasOverride(const Feature& feature) const;
  std::map<std::string, FeatureOverrideState> featureOverrides() const;

  /// Replaces the overrides.
  void initialize(std::map<std::string, FeatureOverrideState> overrides);
  /// From a stored dictionary: true enables, false disables, any other value is ignored.
  void initialize(const base::JSONValue& storedOverrides);
  /// From "featureOverrides" of the suite.
  void initialize(const platform::UserDefaults& userDefaults);
  /// Re-initialises from every later change of "featureOverrides" until the token is released.
  std::shared_ptr<void> follow(const DesktopAppGroupPreferences& preferences);

 private:
  mutable std::shared_mutex mutex_;
  std::map<std::string, FeatureOverrideState> overrides_;
};

/// Manages the overrides stored under "featureOverrides". Every change is a read-modify-write
/// of the stored map under the suite's lock, so changes from other processes are kept.
class UserDefaultsFeatureManager {
 public:
  explicit UserDefaultsFeatureManager(std::shared_ptr<platform::UserDefaults> userDefaults);

  /// Feature name → stored value, as stored now.
  base::JSONValue featureOverrides() const;
  bool isOverridden(const Feature& feature) const;
  bool enable(const Feature& feature);
  bool disable(const Feature& feature);
  bool reset(const Feature& feature);
  bool resetAll();

 private:
  bool change(const std::function<void(base::JSONValue&)>& edit);
  std::shared_ptr<platform::UserDefaults> userDefaults_;
};

}  // namespace tarnix::common
