#include "common/DesktopAppGroup.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "platform/PlatformTestSupport.hpp"
#include "support/ChildRole.hpp"
#include "support/TempDir.hpp"

using tarnix::base::JSONValue;
using tarnix::common::BandwidthThrottlingSettings;
using tarnix::common::DesktopAppGroup;
using tarnix::common::DesktopAppGroupDefinitions;
using tarnix::common::KnownPath;
using tarnix::common::KnownPathResolver;
namespace t = tarnix::testing;

TEST(KnownPath, ContainerRootComesFromTheEnvironment) {
  struct Case {
    std::map<std::string, std::string> environment;
    std::optional<std::string> root;
  } cases[] = {
      {{{"TARNIX_HOME", "/t"}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/t"},
      {{{"TARNIX_HOME", ""}, {"XDG_DATA_HOME", "/x"}, {"HOME", "/h"}}, "/x/tarnix"},
      {{{"HOME", "/h"}}, "/h/.local/share/tarnix"},
      {{}, std::nullopt},
  };
  for (const auto& c : cases) {
    auto root =
        tarnix::common::appGroupContainerRoot([&](const char* name) -> std::optional<std::string> {
          auto it = c.environment.find(name);
          if (it == c.environment.end()) return std::nullopt;
          return it->second;
        });
    EXPECT_EQ(root ? std::optional<std::string>(root->string()) : std::nullopt, c.root);
  }
}

TEST(KnownPath, EveryCaseHasOneStableLocation) {
  t::TempDir dir("tarnix-known");
  KnownPathResolver resolver(dir.path());
  struct Case {
    KnownPath path;
    const char* relative;
  } cases[] = {
      {KnownPath::appGroupContainerData(), ""},
      {KnownPath::appGroupContainerLibrary(), "Library"},
      {KnownPath::appContainer("com.tarnix.DesktopApp"), "Containers/com.tarnix.DesktopApp"},
      {KnownPath::appInternalData(), "Tarnix"},
      {KnownPath::mainDatabase(), "Tarnix/Main.db"},
      {KnownPath::drives(), "Tarnix/Drives"},
      {KnownPath::drive("d1"), "Tarnix/Drives/d1"},
      {KnownPath::drivesGraveyard(), "Tarnix/Drives/.graveyard"},
      {KnownPath::accounts(), "Tarnix/Accounts"},
      {KnownPath::account("a1"), "Tarnix/Accounts/a1"},
      {KnownPath::avatar("a1"), "Tarnix/Accounts/a1/avatar"},
      {KnownPath::cloudConfigurations(), "Tarnix/CloudConfigurations"},
      {KnownPath::events(), "Tarnix/Events"},
      {KnownPath::buckets(), "Tarnix/Buckets"},
      {KnownPath::logs(), "Tarnix/Logs"},
      {KnownPath::diagnosticCapture("c"), "Tarnix/DiagnosticCaptures/c"},
      {KnownPath::partnerIntegrations(), "Tarnix/PartnerIntegrations"},
      {KnownPath::flui(), "Tarnix/ALUI/FLUI"},
      {KnownPath::aluiMenu(), "Tarnix/ALUI/Menu"},
  };
  for (const auto& c : cases) {
    auto location = resolver.knownPathURL(c.path, true);
    ASSERT_TRUE(location) << c.relative;
    EXPECT_EQ(*location, *c.relative ? dir.path() / c.relative : dir.path()) << c.relative;
  }
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Tarnix/Accounts/a1"));  // avatar's folder
  EXPECT_FALSE(std::filesystem::exists(dir / "Tarnix/Main.db"));           // files aren't made
  EXPECT_EQ(resolver.knownPathURL(KnownPath::pkgInstallationTXCLIPath())->string(),
            "/usr/local/bin/txcli");
  auto other = resolver.knownPathURL(KnownPath::appGroupContainerData("other.group"));
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().name, "other.group");
  EXPECT_FALSE(KnownPathResolver(std::nullopt).knownPathURL(KnownPath::mainDatabase()));
}

namespace {
// Other processes of the product, started afresh; argument: the container root.
const bool kPrintDeviceIdRole =
    t::registerChildRole("print-device-id", [](const std::string& root) {
      auto definitions = DesktopAppGroupDefinitions::make(root, tarnix::base::Logger::null());
      auto group = DesktopAppGroup::make(std::move(*definitions), tarnix::base::Logger::null());
      if (!group) return 1;
      std::printf("%s\n", (*group)->deviceIdentifier().c_str());
      return 0;
    });
const bool kExcludeKeynoteRole =
    t::registerChildRole("exclude-keynote", [](const std::string& root) {
      auto definitions = DesktopAppGroupDefinitions::make(root, tarnix::base::Logger::null());
      auto other = DesktopAppGroup::make(std::move(*definitions), tarnix::base::Logger::null());
      if (!other) return 1;
      (*other)->preferences()->setProcessesExcludedFromLocking({"Keynote"});
      return 0;
    });

class DesktopAppGroupTest : public ::testing::Test {
 protected:
  t::TempDir dir{"tarnix-group"};
  std::shared_ptr<t::RecordingLogSink> sink = std::make_shared<t::RecordingLogSink>();
  std::shared_ptr<DesktopAppGroup> make() {
    auto definitions = DesktopAppGroupDefinitions::make(dir.path(), t::recordingLogger(sink));
    EXPECT_TRUE(definitions);
    auto group = DesktopAppGroup::make(std::move(*definitions), t::recordingLogger(sink));
    EXPECT_TRUE(group) << (group ? "" : group.error().message);
    return group ? *group : nullptr;
  }
};
}  // namespace

TEST_F(DesktopAppGroupTest, ProcessesStartingTogetherAgreeOnOneDeviceIdentifier) {
  std::vector<t::ProgramResult> results(3);
  {
    std::vector<std::jthread> runs;
    for (auto& result : results) {
      runs.emplace_back([&] { result = t::runChildRole("print-device-id", dir.path().string()); });
    }
  }
  std::string output;
  for (const auto& result : results) {
    ASSERT_EQ(result.exitStatus, 0) << (result.timedOut ? "timed out " : "") << result.errors;
    output += result.output;
  }
  auto later = make();
  ASSERT_TRUE(later);
  std::string id = later->deviceIdentifier();
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(output, id + "\n" + id + "\n" + id + "\n");
  EXPECT_EQ(later->preferences()->deviceID(), id);
  EXPECT_TRUE(std::filesystem::is_directory(later->internalDataURL()));
  EXPECT_TRUE(std::filesystem::is_directory(later->temporaryDirectoryURL()));
}

TEST_F(DesktopAppGroupTest, ADeviceIdentifierInADamagedSuiteIsRecoveredNotReplaced) {
  const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
  t::writeFile(dir / "Library" / "Preferences" /
                   (std::string(tarnix::common::kAppGroupIdentifier) + ".json"),
               R"({"deviceID": ")" + id + R"(", "logLevel": 2, "proxySettings": {"addr)");
  auto group = make();
  ASSERT_TRUE(group);
  EXPECT_EQ(group->deviceIdentifier(), id);
  EXPECT_EQ(group->defaults()->value("logLevel"), JSONValue(2));
  EXPECT_EQ(make()->deviceIdentifier(), id);
}

TEST_F(DesktopAppGroupTest, AContainerThatCannotBeSetUpIsAnError) {
  t::writeFile(dir / "Tarnix", "a file where the internal data folder should be");
  auto definitions = DesktopAppGroupDefinitions::make(dir.path(), t::recordingLogger(sink));
  ASSERT_TRUE(definitions);
  auto group = DesktopAppGroup::make(std::move(*definitions), t::recordingLogger(sink));
  ASSERT_FALSE(group);
  EXPECT_TRUE(group.error().message.starts_with("Unable to create Internal Data directory: "));
  ASSERT_FALSE(sink->entries().empty());
  EXPECT_EQ(sink->entries().back().message, group.error().message);
  EXPECT_FALSE(DesktopAppGroupDefinitions::make(std::nullopt, t::recordingLogger(sink)));
}

TEST_F(DesktopAppGroupTest, ProxyAndThrottlingCodecs) {
  auto group = make();
  auto& preferences = *group->preferences();
  EXPECT_FALSE(preferences.networkProxy().proxyEnabled);
  EXPECT_TRUE(std::isinf(preferences.bandwidthThrottling().maxUploadSpeed));

  BandwidthThrottlingSettings limits{std::numeric_limits<double>::infinity(), 1024};
  preferences.setBandwidthThrottling(limits);
  auto stored = group->defaults()->value("bandwidthThrottling");
  ASSERT_TRUE(stored && stored->is_string());
  EXPECT_EQ(JSONValue::parse(stored->get<std::string>()),
            JSONValue::parse(R"({"maxUploadSpeed": "+Inf", "maxDownloadSpeed": 1024.0})"));
  EXPECT_EQ(preferences.bandwidthThrottling(), limits);
  ASSERT_TRUE(group->defaults()->set("bandwidthThrottling",
                                     R"({"maxUploadSpeed": "-Inf", "maxDownloadSpeed": 5})"));
  EXPECT_EQ(preferences.bandwidthThrottling().maxUploadSpeed,
            -std::numeric_limits<double>::infinity());

  tarnix::common::URLSessionProxyConfiguration proxy;
  proxy.proxyEnabled = true;
  proxy.address = "proxy.local";
  proxy.port = 3128;
  preferences.setNetworkProxy(proxy);
  EXPECT_EQ(preferences.networkProxy(), proxy);

  ASSERT_TRUE(group->defaults()->set("proxySettings", "not json"));
  ASSERT_TRUE(group->defaults()->set("bandwidthThrottling", JSONValue::array()));
  EXPECT_EQ(preferences.networkProxy(), tarnix::common::URLSessionProxyConfiguration{});
  EXPECT_EQ(preferences.bandwidthThrottling(), BandwidthThrottlingSettings{});
  EXPECT_EQ(sink->count("Could not decode network proxy configuration"), 1u);
  EXPECT_EQ(sink->count("Could not decode bandwidth throttling settings"), 1u);

  preferences.setBandwidthThrottling({std::nan(""), 1});
  EXPECT_EQ(sink->count("Could not encode bandwidth throttling settings"), 1u);
  EXPECT_TRUE(group->defaults()->value("bandwidthThrottling")->is_array());  // unchanged
}

TEST_F(DesktopAppGroupTest, SimpleKeysAndExternalSettings) {
  auto group = make();
  auto& preferences = *group->preferences();
  EXPECT_EQ(preferences.manualLockDuration().value(90), 90);
  ASSERT_TRUE(group->defaults()->set("manualLockDuration", 0));
  EXPECT_EQ(preferences.manualLockDuration().value(90), 90);
  ASSERT_TRUE(group->defaults()->set("manualLockDuration", 300));
  EXPECT_EQ(preferences.manualLockDuration().value(90), 300);

  EXPECT_EQ(preferences.openLinkPreference(), tarnix::common::OpenLinkPreference::alwaysAsk);
  preferences.setOpenLinkPreference(tarnix::common::OpenLinkPreference::showInFolder);
  EXPECT_EQ(group->defaults()->value("openLinkPreference"), JSONValue("showInFolder"));
  preferences.setProcessesExcludedFromLocking({"Preview", "TextEdit"});
  EXPECT_EQ(preferences.processesExcludedFromLocking(),
            (std::vector<std::string>{"Preview", "TextEdit"}));
  ASSERT_TRUE(group->defaults()->set("logLevel", 9));
  EXPECT_FALSE(preferences.logLevel());
  preferences.setLogLevel(tarnix::base::LoggerLevel::trace);
  EXPECT_EQ(preferences.logLevel(), tarnix::base::LoggerLevel::trace);
}

TEST_F(DesktopAppGroupTest, APreferenceChangedInAnotherProcessReachesThePublisher) {
  auto group = make();
  std::mutex mutex;
  std::vector<std::vector<std::string>> seen;
  auto token = group->preferences()->processesExcludedFromLockingPublisher(
      [&](const std::vector<std::string>& processes) {
        std::lock_guard guard(mutex);
        seen.push_back(processes);
      });
  auto other = t::runChildRole("exclude-keynote", dir.path().string());
  ASSERT_EQ(other.exitStatus, 0) << (other.timedOut ? "timed out " : "") << other.errors;
  ASSERT_TRUE(t::eventually([&] {
    std::lock_guard guard(mutex);
    return !seen.empty();
  }));
  std::lock_guard guard(mutex);
  EXPECT_EQ(seen.back(), std::vector<std::string>{"Keynote"});
}

TEST_F(DesktopAppGroupTest, BootstrapLoggingWritesTheProcessLogInTheInternalDataFolder) {
  auto group = make();
  ASSERT_TRUE(group->defaults()->set("logLevel", 2));
  std::optional<tarnix::base::LoggingConfiguration> seen;
  group->bootstrapLogging("FileProvider.log", true,
                          [&](tarnix::base::LoggingConfiguration& c) { seen = c; });
  ASSERT_TRUE(seen);
  EXPECT_EQ(seen->defaultLevel, tarnix::base::LoggerLevel::error);
  EXPECT_EQ(seen->rootFolderURL, group->internalDataURL() / "Logs");
  auto selection = seen->select("com.tarnix.Anything");
  EXPECT_EQ(selection.sinkNames, std::vector<std::string>{"process-wide-file"});

  group->bootstrapLogging("FileProvider.log", false,
                          [&](tarnix::base::LoggingConfiguration& c) { seen = c; });
  EXPECT_EQ(seen->select("").sinkNames, (std::vector<std::string>{"process-wide-file", "sentry"}));
  tarnix::base::Logger("Test").error("written to the process log");
  tarnix::base::LoggingSystem::bootstrap(tarnix::base::Logger::null().factory());
  auto log = group->internalDataURL() / "Logs" / "FileProvider.log";
  EXPECT_TRUE(t::eventually(
      [&] { return t::readFile(log).find("written to the process log") != std::string::npos; }));
}
