#include "common/Feature.hpp"

#include <gtest/gtest.h>

#include <set>

#include "common/FeatureList.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using tarnix::base::JSONValue;
using tarnix::common::Feature;
using tarnix::common::FeatureList;
using tarnix::common::FeatureOverrideState;
using tarnix::common::UserDefaultsFeatureManager;
namespace t = tarnix::testing;

TEST(Feature, DeclaredFlags) {
  const auto& all = Feature::all();
  ASSERT_EQ(all.size(), 73u);
  EXPECT_EQ(all.front()->name(), "manual-locking");
  EXPECT_EQ(all.back()->name(), "devtools");
  std::set<std::string> names;
  for (const auto* feature : all) names.insert(feature->name());
  EXPECT_EQ(names.size(), all.size());

  std::set<std::string> offByDefault;
  std::set<std::string> needNuke;
  for (const auto* feature : all) {
    if (!feature->enabledByDefault() && feature != &Feature::devTools)
      offByDefault.insert(feature->name());
    if (feature->requiresNuke()) needNuke.insert(feature->name());
  }
  EXPECT_EQ(offByDefault,
            (std::set<std::string>{
                "always-connected", "mdm-daemon", "nbda-cache-on-external-volume", "webview-driver",
                "webview-inspector-gate", "agentic-cli", "nbda-simulation", "lock-during-upload"}));
  EXPECT_EQ(needNuke, (std::set<std::string>{"automatic-locking", "skips"}));
  EXPECT_EQ(Feature::skips.description(), "Permanent synchronization issues");
  EXPECT_EQ(Feature::named("connected-folders-for-nbda"), &Feature::connectedFoldersForABC);
  EXPECT_EQ(Feature::named("nothing"), nullptr);
}

TEST(Feature, PlistFriendlyNames) {
  struct Case {
    const char* name;
    const char* plist;
  } cases[] = {{"manual-locking", "manualLocking"},
               {"skips", "skips"},
               {"connected-folders-on-external-drive-2", "connectedFoldersOnExternalDrive2"},
               {"alui-global-status-v26.01", "aluiGlobalStatusV26.01"},
               {"cspp+", "cspp+"}};
  for (const auto& c : cases)
    EXPECT_EQ(tarnix::common::plistFriendlyName(c.name), c.plist) << c.name;
  EXPECT_EQ(Feature::manualLocking.plistFriendlyName(), "manualLocking");
}

TEST(FeatureList, OverridesFromStoredValues) {
  FeatureList list;
  EXPECT_FALSE(list.isEnabled(Feature::lockDuringUpload));
  EXPECT_TRUE(list.isEnabled(Feature::chunkedUpload));
  list.initialize(JSONValue::parse(
      R"({"chunked-upload": false, "lock-during-upload": true, "skips": "no", "recents": 1})"));
  EXPECT_FALSE(list.isEnabled(Feature::chunkedUpload));
  EXPECT_TRUE(list.isEnabled(Feature::lockDuringUpload));
  EXPECT_TRUE(list.isEnabled(Feature::skips));  // a non-boolean value is ignored
  EXPECT_FALSE(list.hasOverride(Feature::skips));
  EXPECT_TRUE(list.isEnabled(Feature::recents));
  list.initialize(std::map<std::string, FeatureOverrideState>{
      {"chunked-upload", FeatureOverrideState::useDefault}});
  EXPECT_TRUE(list.isEnabled(Feature::chunkedUpload));
  EXPECT_FALSE(list.hasOverride(Feature::chunkedUpload));
}

TEST(UserDefaultsFeatureManager, EnableResetAndFollowingChanges) {
  t::TempDir dir("tarnix-features");
  auto defaults =
      tarnix::platform::UserDefaults::open(dir / "suite.json", tarnix::base::Logger::null());
  tarnix::common::DesktopAppGroupPreferences preferences(defaults, tarnix::base::Logger::null());
  FeatureList list;
  list.initialize(*defaults);
  auto following = list.follow(preferences);

  UserDefaultsFeatureManager manager(defaults);
  ASSERT_TRUE(manager.enable(Feature::lockDuringUpload));
  ASSERT_TRUE(manager.disable(Feature::skips));
  EXPECT_TRUE(manager.isOverridden(Feature::lockDuringUpload));
  EXPECT_EQ(defaults->value("featureOverrides"),
            JSONValue::parse(R"({"lock-during-upload": true, "skips": false})"));
  ASSERT_TRUE(t::eventually([&] { return list.isEnabled(Feature::lockDuringUpload); }));

  ASSERT_TRUE(manager.reset(Feature::lockDuringUpload));
  EXPECT_FALSE(manager.isOverridden(Feature::lockDuringUpload));
  EXPECT_EQ(defaults->value("featureOverrides"), JSONValue::parse(R"({"skips": false})"));
  ASSERT_TRUE(t::eventually([&] { return !list.isEnabled(Feature::lockDuringUpload); }));
  EXPECT_FALSE(list.isEnabled(Feature::skips));

  ASSERT_TRUE(manager.resetAll());
  EXPECT_EQ(manager.featureOverrides(), JSONValue::object());
  ASSERT_TRUE(t::eventually([&] { return list.isEnabled(Feature::skips); }));
}
