#include "common/CloudConfiguration.hpp"

#include <gtest/gtest.h>

using tarnix::base::JSONValue;
using tarnix::common::CloudConfiguration;
using tarnix::common::SyncSizePolicy;

namespace {
/// The smallest document that decodes: every required key.
JSONValue minimal() {
  return JSONValue::parse(R"({
    "canKeelvaultBeSourceForTx": true,
    "upgradeNotificationsEnabled": false,
    "canUsersMarkFoldersForOfflineAccess": true,
    "redEnabled": false,
    "localReadEventsBlacklistMac": ["Finder"],
    "connectedFoldersEnabled": true,
    "connectedFoldersInShared": false,
    "connectedFoldersOnExternalDevice": "false"
  })");
}
JSONValue with(const char* patch) {
  auto document = minimal();
  document.merge_patch(JSONValue::parse(patch));
  return document;
}
}  // namespace

TEST(CloudConfiguration, MinimalDocumentTakesTheDefaults) {
  auto decoded = CloudConfiguration::decode(minimal());
  ASSERT_TRUE(decoded) << decoded.error().message;
  auto expected = CloudConfiguration::defaultConfiguration();
  expected.isZephyrAvailable = true;
  expected.canMarkFoldersForOffline = true;
  expected.localReadEventsDeniedApps = {"Finder"};
  EXPECT_EQ(*decoded, expected);
  EXPECT_EQ(decoded->lsofInterval, 15.0);
  EXPECT_EQ(decoded->recommendedChunkSize, 52428800);
  EXPECT_EQ(decoded->networkWarnings.decayCounterInterval, 60.0);
  EXPECT_EQ(decoded->csppInfo.appName, "mswopibeta");
  EXPECT_TRUE(decoded->offlineSyncEnabled);
  EXPECT_TRUE(decoded->appLevelUIEnabled);
  EXPECT_TRUE(decoded->debugDifferences(*decoded).empty());
}

TEST(CloudConfiguration, DocumentTable) {
  using Check = std::function<void(const CloudConfiguration&)>;
  struct Case {
    const char* name;
    JSONValue document;
    bool decodes;
    Check check;
  };
  auto remove = [](const char* key) {
    auto document = minimal();
    document.erase(key);
    return document;
  };
  std::vector<Case> cases = {
      {"missing required key", remove("canUsersMarkFoldersForOfflineAccess"), false, {}},
      {"missing required list", remove("localReadEventsBlacklistMac"), false, {}},
      {"mistyped required boolean", with(R"({"redEnabled": "yes"})"), false, {}},
      {"lsof in milliseconds", with(R"({"macLSOFIntervalMilliseconds": 30000})"), true,
       [](const auto& c) { EXPECT_EQ(c.lsofInterval, 30.0); }},
      {"InDesign debouncer in milliseconds", with(R"({"macInDesignDebouncer": 250})"), true,
       [](const auto& c) { EXPECT_EQ(c.inDesignDebouncerInterval, 0.25); }},
      {"string true for flexible boolean", with(R"({"connectedFoldersInShared": "true"})"), true,
       [](const auto& c) { EXPECT_TRUE(c.areConnectedFoldersInSharedEnabled); }},
      {"JSON true for flexible boolean", with(R"({"connectedFoldersInShared": true})"), true,
       [](const auto& c) { EXPECT_TRUE(c.areConnectedFoldersInSharedEnabled); }},
      {"other string for flexible boolean",
       with(R"({"connectedFoldersInShared": "yes"})"),
       false,
       {}},
      {"flexible optional boolean", with(R"({"tdp.subnet": "true"})"), true,
       [](const auto& c) { EXPECT_TRUE(c.requiresSameSubnet); }},
      {"unknown sync size policy", with(R"({"syncSizePolicy": "sometimes"})"), true,
       [](const auto& c) { EXPECT_EQ(c.syncSizePolicy, SyncSizePolicy::allow); }},
      {"sync size policy deny", with(R"({"syncSizePolicy": "deny", "syncSizeLimit": 1000})"), true,
       [](const auto& c) {
         EXPECT_EQ(c.syncSizePolicy, SyncSizePolicy::deny);
         EXPECT_EQ(c.syncSizeLimit, 1000);
       }},
      {"undecodable core flag counts as absent", with(R"({"canKeelvaultBeSourceForTxCore": "x"})"),
       true, [](const auto& c) { EXPECT_FALSE(c.isZephyrAvailableForCore); }},
      {"mistyped optional boolean fails", with(R"({"showFolderIcons": 1})"), false, {}},
      {"platform auto upgrade as JSON text",
       with(R"({"platformAutoUpgrade": "{\"da-mac\": true, \"da-win\": false}"})"), true,
       [](const auto& c) {
         EXPECT_TRUE(c.autoUpgradeEnabledOnMac);
         EXPECT_FALSE(c.autoUpgradeEnabledOnWin);
       }},
      {"platform auto upgrade not JSON", with(R"({"platformAutoUpgrade": "da-mac"})"), true,
       [](const auto& c) {
         EXPECT_FALSE(c.autoUpgradeEnabledOnMac);
         EXPECT_FALSE(c.autoUpgradeEnabledOnWin);
       }},
      {"debug logs date", with(R"({"enableDebugLogsTimestamp": "2025-02-28"})"), true,
       [](const auto& c) {
         ASSERT_TRUE(c.debugLogsExpirationDate);
         EXPECT_EQ(tarnix::base::formatISO8601(*c.debugLogsExpirationDate),
                   "2025-02-28T00:00:00.000Z");
       }},
      {"unparsable debug logs date", with(R"({"enableDebugLogsTimestamp": "2025-02-30"})"), true,
       [](const auto& c) { EXPECT_FALSE(c.debugLogsExpirationDate); }},
      {"network warnings fall back key by key",
       with(
           R"({"netWarnSettings": {"netWarnCounterDecayMs": 1500, "netWarnCounterEnabled": false}})"),
       true,
       [](const auto& c) {
         EXPECT_EQ(c.networkWarnings.decayCounterInterval, 1.5);
         EXPECT_FALSE(c.networkWarnings.counterEnabled);
         EXPECT_EQ(c.networkWarnings.maxWarningCount, 10);
         EXPECT_EQ(c.networkWarnings.listingDurationTreshold, 5.0);
       }},
      {"sync intervals fold into a map",
       with(R"({"syncIntervalForFileExtensions": [{"fileExtension": "indd", "syncInterval": 30},
                                                  {"fileExtension": "psd", "syncInterval": 2.5}]})"),
       true,
       [](const auto& c) {
         EXPECT_EQ(c.syncIntervalForFileExtension,
                   (std::map<std::string, double>{{"indd", 30}, {"psd", 2.5}}));
       }},
      {"keys with a dot and capitals",
       with(R"({"aiSafeguards.amIRejected": true, "ShortcutsEnabled": true, "DraftsEnabled": true,
                "RecommendedChunkSize": 1048576, "sentrySampleRateMac": 0.25, "localReadEventsPeriod": 30})"),
       true,
       [](const auto& c) {
         EXPECT_TRUE(c.aiFeaturesDisabledForUserByAISafeguards);
         EXPECT_TRUE(c.shortcutsEnabled);
         EXPECT_TRUE(c.draftsEnabled);
         EXPECT_EQ(c.recommendedChunkSize, 1048576);
         EXPECT_EQ(c.sentrySampleRate, 0.25);
         EXPECT_EQ(c.localReadEventPeriod, 30.0);
       }},
      {"cspp info needs both keys", with(R"({"csppInfo": {"appName": "x"}})"), false, {}},
      {"collaboration settings",
       with(
           R"({"collabSettings": {"word": "always", "excel": "never", "powerpoint": "ask", "userCanOverwrite": true}})"),
       true,
       [](const auto& c) {
         ASSERT_TRUE(c.collaborationSettings);
         EXPECT_EQ(c.collaborationSettings->word,
                   tarnix::common::CollaborationSettings::Choice::always);
         EXPECT_TRUE(c.collaborationSettings->userCanOverwrite);
       }},
      {"not an object", JSONValue::array(), false, {}},
  };
  for (const auto& c : cases) {
    auto decoded = CloudConfiguration::decode(c.document);
    EXPECT_EQ(decoded.has_value(), c.decodes) << c.name;
    if (decoded && c.check) {
      SCOPED_TRACE(c.name);
      c.check(*decoded);
    }
  }
}

TEST(CloudConfiguration, DerivedPredicates) {
  auto entitled = [](const char* patch, std::vector<std::string> domains) {
    return CloudConfiguration::decode(with(patch))->isEntitled(domains);
  };
  EXPECT_TRUE(entitled("{}", {}));
  EXPECT_TRUE(entitled("{}", {"any.example"}));
  EXPECT_FALSE(entitled(R"({"entitledDomains": []})", {"corp.example"}));
  EXPECT_TRUE(entitled(R"({"entitledDomains": ["Corp.Example"]})", {"corp.example"}));
  EXPECT_FALSE(entitled(R"({"entitledDomains": ["corp.example"]})", {"CORP.example"}));
  EXPECT_FALSE(entitled(R"({"entitledDomains": ["corp.example"]})", {}));

  auto skip =
      CloudConfiguration::decode(with(R"({"macCustomClientBehaviours": ["inddCorruptionSkip"]})"));
  EXPECT_TRUE(skip->isInddCorruptionSkipEnabled());
  EXPECT_TRUE(skip->isInddCorruptionDetectionEnabled());
  auto detect = CloudConfiguration::decode(
      with(R"({"macCustomClientBehaviours": ["inddCorruptionDetection"]})"));
  EXPECT_FALSE(detect->isInddCorruptionSkipEnabled());
  EXPECT_TRUE(detect->isInddCorruptionDetectionEnabled());

  auto differences = skip->debugDifferences(*detect);
  ASSERT_EQ(differences.size(), 1u);
  EXPECT_EQ(differences[0].field, "customClientBehaviours");
  EXPECT_EQ(differences[0].oldValue, "[inddCorruptionSkip]");
  EXPECT_EQ(differences[0].newValue, "[inddCorruptionDetection]");
}
