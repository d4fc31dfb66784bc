#include "common/Feature.hpp"

#include <cctype>

#include "base/BuildInfo.hpp"

namespace tarnix::common {
namespace {
bool isDevelopmentBuild() {
  return base::BuildInfo::targetDeploymentEnvironment() == base::DeploymentEnvironment::dev;
}
}  // namespace

Feature::Feature(std::string name, bool enabledByDefault, std::string description,
                 bool requiresNuke)
    : name_(std::move(name)),
      enabledByDefault_(enabledByDefault),
      description_(std::move(description)),
      requiresNuke_(requiresNuke) {}

std::string plistFriendlyName(std::string_view name) {
  std::string result;
  bool capitalise = false;
  for (char c : name) {
    if (c == '-') {
      capitalise = !result.empty();
      continue;
    }
    result.push_back(capitalise ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                : c);
    capitalise = false;
  }
  return result;
}

std::string Feature::plistFriendlyName() const {
  return common::plistFriendlyName(name_);
}

const Feature Feature::manualLocking("manual-locking", true, "Locking files from context menu",
                                     false);
const Feature Feature::automaticLocking("automatic-locking", true, "Automatic file locking", true);
const Feature Feature::recents("recents", true, "", false);
const Feature Feature::skips("skips", true, "Permanent synchronization issues", true);
const Feature Feature::temporaryFiles("temporary-files", true, "Ignore temporary files", false);
const Feature Feature::offlineSync("offline-sync", true, "SyncService integration", false);
const Feature Feature::connectedFolders("connected-folders", true, "Connected folders", false);
const Feature Feature::connectedFoldersOnExternalDrive("connected-folders-on-external-drive", true,
                                                       "", false);
const Feature Feature::search("search", true, "", false);
const Feature Feature::partnerIntegrations("partner-integrations", true, "", false);
const Feature Feature::csppPlus("cspp+", true, "", false);
const Feature Feature::officeIntegration("office-integration", true, "", false);
const Feature Feature::alwaysConnected("always-connected", false,
                                       "Do not disconnect the drive at the system level", false);
const Feature Feature::fileproviderdWatchdog("fileproviderd-watchdog", true, "", false);
const Feature Feature::networkMonitor("network-monitor", true, "Monitor the reachability status",
                                      false);
const Feature Feature::visualIndicatorsForSpecialFolders(
    "non-file-system-folders", true,
    "Folder indicators embossed on folder icons for folder with special attributes", false);
const Feature Feature::chunkedUpload("chunked-upload", true, "Add support for chunked upload",
                                     false);
const Feature Feature::autoInstallCLI("autoinstall-cli", true, "", false);
const Feature Feature::symlinkForDrive("symlink", true, "", false);
const Feature Feature::tarnixShortcuts("files-and-folders-shortcuts", true, "", false);
const Feature Feature::documentRoom(
    "document-room-icon", true,
    "Document room indicator embossed on folder icon to denote document room folder", false);
const Feature Feature::alwaysCoeditPopup("always-coedit-popup", true, "", false);
const Feature Feature::assetsMonitoring("asset-monitoring", true,
                                        "Monitor and refresh active assets in Adobe applications",
                                        false);
const Feature Feature::announcementsUI("announcement-experiment", true, "", false);
const Feature Feature::localReadEvents("local-read-events", true, "Local read events", false);
const Feature Feature::hybrid("hybrid", true, "", false);
const Feature Feature::transfersUI("transfers-ui", true, "", false);
const Feature Feature::materializeSyncedItems("materialize-synced-items", true,
                                              "Materialization of synced items", false);
const Feature Feature::documentCreation("document-creation", true, "", false);
const Feature Feature::aiChatAbout("ai-chat-about", true, "", false);
const Feature Feature::nbda("nbda", true, "", false);
const Feature Feature::embeddedReleaseNotes("embedded-release-notes", true, "", false);
const Feature Feature::backgroundCFSIngestion("background-cfs-ingestion", true,
                                              "Background CFS ingestion (Limited)", false);
const Feature Feature::documentCreationWithTemplates("document-creation-with-templates", true, "",
                                                     false);
const Feature Feature::aliasOnDesktop("alias-on-desktop", true, "", false);
const Feature Feature::searchHotKey("open-search-hot-key", true, "", false);
const Feature Feature::searchShortcutInALUI("search-shortcut-in-alui", true, "", false);
const Feature Feature::shareLinkWindow("share-link-window", true, "", false);
const Feature Feature::desktopLinks2("desktop-links-2", true, "", false);
const Feature Feature::deletionConflictSkip("deletion-conflict-skip", true,
                                            "Handling deletion conflict scenario", false);
const Feature Feature::oneClickConnect("one-click-connect", true, "", false);
const Feature Feature::fileLevelUI("file-level-ui", true,
                                   "FileLevelUI - ctx menu with complete control", false);
const Feature Feature::delayedDeletions(
    "delayed-deletions", true,
    "Coalesce deletion and recreation of files for certain filename extensions", false);
const Feature Feature::applicationLevelUI("application-level-ui", true,
                                          "New, full-size & foreground, application window", false);
const Feature Feature::webUIMassConfiguration("webui-mass-configuration", true, "", false);
const Feature Feature::contextMenuStandardisation("context-menu-standardisation", true, "", false);
const Feature Feature::connectedFoldersOnExternalDrive2("connected-folders-on-external-drive-2",
                                                        true, "", false);
const Feature Feature::mdmDaemon("mdm-daemon", false, "Enhanced mass configuration", false);
const Feature Feature::dockPresence("alui-conditional-dock-presence", true, "", false);
const Feature Feature::fluiMultiItem("flui-multi-item", true, "", false);
const Feature Feature::centerFLUIMenu("center-flui-menu", true, "", false);
const Feature Feature::showGlobalSyncStatus("global-sync-status", true, "", false);
const Feature Feature::contextMenuStandardisationSecond("context-menu-standardisation-second", true,
                                                        "", false);
const Feature Feature::contextMenuOnNBDA("context-menu-on-nbda", true, "", false);
const Feature Feature::independentNBDADrive("independent-nbda", true, "", false);
const Feature Feature::aluiDynamicMenu("alui-dynamic-menu", true, "", false);
const Feature Feature::nbdaCacheSize("nbda-cache-size", true, "", false);
const Feature Feature::showABCDriveCacheUtilisationStatus("alui-global-status-v26.01", true, "",
                                                          false);
const Feature Feature::nbdaCacheOnExternalVolume("nbda-cache-on-external-volume", false,
                                                 "Support for moving ABC cache to external volume",
                                                 false);
const Feature Feature::nbdaUseAPIForCacheInfo("nbda-use-api-for-cache-info", true, "", false);
const Feature Feature::aluiIntegratedLoginWindow("alui-integrated-login-window", true, "", false);
const Feature Feature::connectedFoldersForABC("connected-folders-for-nbda", true, "", false);
const Feature Feature::finderSyncVisualIndicatorsNext("finder-sync-vi-v26.03", true, "", false);
const Feature Feature::tarnixActionsInCFContextMenu("tarnix-actions-in-cf-context-menu", true, "",
                                                    false);
const Feature Feature::webViewDriver("webview-driver", false,
                                     "Enable WebView automation for testing", false);
const Feature Feature::mem("mem", true, "", false);
const Feature Feature::clearCacheOfABCInstance("clear-cache-of-nbcache", true, "", false);
const Feature Feature::aluiV2("alui-v2", true, "", false);
const Feature Feature::webViewInspectorGate(
    "webview-inspector-gate", false,
    "Pauses the first WebView page load until Safari Inspector is attached", false);
const Feature Feature::agenticCLI("agentic-cli", false, "Agentic CLI integration", false);
const Feature Feature::nbdaSimulation("nbda-simulation", false,
                                      "Simulate status and error from Nearbox", false);
const Feature Feature::lockDuringUpload("lock-during-upload", false,
                                        "Keep file locked during upload", false);
const Feature Feature::devTools("devtools", isDevelopmentBuild(), "Development-oriented extras",
                                false);

const std::vector<const Feature*>& Feature::all() {
  static const std::vector<const Feature*> features{&Feature::manualLocking,
                                                    &Feature::automaticLocking,
                                                    &Feature::recents,
                                                    &Feature::skips,
                                                    &Feature::temporaryFiles,
                                                    &Feature::offlineSync,
                                                    &Feature::connectedFolders,
                                                    &Feature::connectedFoldersOnExternalDrive,
                                                    &Feature::search,
                                                    &Feature::partnerIntegrations,
                                                    &Feature::csppPlus,
                                                    &Feature::officeIntegration,
                                                    &Feature::alwaysConnected,
                                                    &Feature::fileproviderdWatchdog,
                                                    &Feature::networkMonitor,
                                                    &Feature::visualIndicatorsForSpecialFolders,
                                                    &Feature::chunkedUpload,
                                                    &Feature::autoInstallCLI,
                                                    &Feature::symlinkForDrive,
                                                    &Feature::tarnixShortcuts,
                                                    &Feature::documentRoom,
                                                    &Feature::alwaysCoeditPopup,
                                                    &Feature::assetsMonitoring,
                                                    &Feature::announcementsUI,
                                                    &Feature::localReadEvents,
                                                    &Feature::hybrid,
                                                    &Feature::transfersUI,
                                                    &Feature::materializeSyncedItems,
                                                    &Feature::documentCreation,
                                                    &Feature::aiChatAbout,
                                                    &Feature::nbda,
                                                    &Feature::embeddedReleaseNotes,
                                                    &Feature::backgroundCFSIngestion,
                                                    &Feature::documentCreationWithTemplates,
                                                    &Feature::aliasOnDesktop,
                                                    &Feature::searchHotKey,
                                                    &Feature::searchShortcutInALUI,
                                                    &Feature::shareLinkWindow,
                                                    &Feature::desktopLinks2,
                                                    &Feature::deletionConflictSkip,
                                                    &Feature::oneClickConnect,
                                                    &Feature::fileLevelUI,
                                                    &Feature::delayedDeletions,
                                                    &Feature::applicationLevelUI,
                                                    &Feature::webUIMassConfiguration,
                                                    &Feature::contextMenuStandardisation,
                                                    &Feature::connectedFoldersOnExternalDrive2,
                                                    &Feature::mdmDaemon,
                                                    &Feature::dockPresence,
                                                    &Feature::fluiMultiItem,
                                                    &Feature::centerFLUIMenu,
                                                    &Feature::showGlobalSyncStatus,
                                                    &Feature::contextMenuStandardisationSecond,
                                                    &Feature::contextMenuOnNBDA,
                                                    &Feature::independentNBDADrive,
                                                    &Feature::aluiDynamicMenu,
                                                    &Feature::nbdaCacheSize,
                                                    &Feature::showABCDriveCacheUtilisationStatus,
                                                    &Feature::nbdaCacheOnExternalVolume,
                                                    &Feature::nbdaUseAPIForCacheInfo,
                                                    &Feature::aluiIntegratedLoginWindow,
                                                    &Feature::connectedFoldersForABC,
                                                    &Feature::finderSyncVisualIndicatorsNext,
                                                    &Feature::tarnixActionsInCFContextMenu,
                                                    &Feature::webViewDriver,
                                                    &Feature::mem,
                                                    &Feature::clearCacheOfABCInstance,
                                                    &Feature::aluiV2,
                                                    &Feature::webViewInspectorGate,
                                                    &Feature::agenticCLI,
                                                    &Feature::nbdaSimulation,
                                                    &Feature::lockDuringUpload,
                                                    &Feature::devTools};
  return features;
}

const Feature* Feature::named(std::string_view name) {
  for (const auto* feature : all()) {
    if (feature->name() == name) return feature;
  }
  return nullptr;
}

}  // namespace tarnix::common
