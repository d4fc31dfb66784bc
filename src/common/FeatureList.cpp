#include "common/FeatureList.hpp"

#include <mutex>

namespace tarnix::common {

FeatureList& FeatureList::shared() {
  static FeatureList list;
  return list;
}

bool FeatureList::isEnabled(const Feature& feature) const {
  std::shared_lock lock(mutex_);
  auto it = overrides_.find(feature.name());
  if (it == overrides_.end()) return feature.enabledByDefault();
  switch (it->second) {
    case FeatureOverrideState::enableFeature:
      return true;
    case FeatureOverrideState::disableFeature:
      return false;
    case FeatureOverrideState::useDefault:
      break;
  }
  return feature.enabledByDefault();
}

bool FeatureList::hasOverride(const Feature& feature) const {
  std::shared_lock lock(mutex_);
  auto it = overrides_.find(feature.name());
  return it != overrides_.end() && it->second != FeatureOverrideState::useDefault;
}

std::map<std::string, FeatureOverrideState> FeatureList::featureOverrides() const {
  std::shared_lock lock(mutex_);
  return overrides_;
}

void FeatureList::initialize(std::map<std::string, FeatureOverrideState> overrides) {
  std::unique_lock lock(mutex_);
  overrides_ = std::move(overrides);
}

void FeatureList::initialize(const base::JSONValue& storedOverrides) {
  std::map<std::string, FeatureOverrideState> overrides;
  if (storedOverrides.is_object()) {
    for (const auto& [name, value] : storedOverrides.items()) {
      if (!value.is_boolean()) continue;
      overrides[name] = value.get<bool>() ? FeatureOverrideState::enableFeature
                                          : FeatureOverrideState::disableFeature;
    }
  }
  initialize(std::move(overrides));
}

void FeatureList::initialize(const platform::UserDefaults& userDefaults) {
  initialize(
      userDefaults.value(PreferenceKey::featureOverrides).value_or(base::JSONValue::object()));
}

std::shared_ptr<void> FeatureList::follow(const DesktopAppGroupPreferences& preferences) {
  return preferences.featureOverridesPublisher(
      [this](const base::JSONValue& overrides) { initialize(overrides); });
}

UserDefaultsFeatureManager::UserDefaultsFeatureManager(
    std::shared_ptr<platform::UserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)) {}

base::JSONValue UserDefaultsFeatureManager::featureOverrides() const {
  auto stored = userDefaults_->value(PreferenceKey::featureOverrides);
  if (stored && stored->is_object()) return *stored;
  return base::JSONValue::object();
}

bool UserDefaultsFeatureManager::isOverridden(const Feature& feature) const {
  return featureOverrides().contains(feature.name());
}

bool UserDefaultsFeatureManager::change(const std::function<void(base::JSONValue&)>& edit) {
  auto result = userDefaults_->update([&](base::JSONValue& document) {
    auto& overrides = document[PreferenceKey::featureOverrides];
    if (!overrides.is_object()) overrides = base::JSONValue::object();
    edit(overrides);
  });
  return result.has_value();
}

bool UserDefaultsFeatureManager::enable(const Feature& feature) {
  return change([&](base::JSONValue& overrides) { overrides[feature.name()] = true; });
}

bool UserDefaultsFeatureManager::disable(const Feature& feature) {
  return change([&](base::JSONValue& overrides) { overrides[feature.name()] = false; });
}

bool UserDefaultsFeatureManager::reset(const Feature& feature) {
  return change([&](base::JSONValue& overrides) { overrides.erase(feature.name()); });
}

bool UserDefaultsFeatureManager::resetAll() {
  return change([](base::JSONValue& overrides) { overrides = base::JSONValue::object(); });
}

}  // namespace tarnix::common
