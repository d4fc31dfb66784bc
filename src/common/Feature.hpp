#pragma once
// The feature flags of the product: each optional behaviour has a named flag with a built-in
// default that a local override ("featureOverrides" in the shared preferences) can flip.

#include <string>
#include <string_view>
#include <vector>

namespace tarnix::common {

/// One flag. Flags are the static members below; they are compared and hashed by name.
class Feature {
 public:
  Feature(std::string name, bool enabledByDefault, std::string description, bool requiresNuke);
  Feature(const Feature&) = delete;
  Feature& operator=(const Feature&) = delete;

  /// Lower-case words joined by "-".
  const std::string& name() const { return name_; }
  bool enabledByDefault() const { return enabledByDefault_; }
  const std::string& description() const { return description_; }
  /// Flipping the flag means the domain's local state must be discarded and rebuilt.
  bool requiresNuke() const { return requiresNuke_; }
  /// The name's words joined without separator, each after the first capitalised
  /// ("manual-locking" → "manualLocking").
  std::string plistFriendlyName() const;

  bool operator==(const Feature& other) const { return name_ == other.name_; }

  /// Every flag, in declaration order.
  static const std::vector<const Feature*>& all();
  /// The flag named `name`, or null.
  static const Feature* named(std::string_view name);

  static const Feature manualLocking;                      // "manual-locking"
  static const Feature automaticLocking;                   // "automatic-locking"
  static const Feature recents;                            // "recents"
  static const Feature skips;                              // "skips"
  static const Feature temporaryFiles;                     // "temporary-files"
  static const Feature offlineSync;                        // "offline-sync"
  static const Feature connectedFolders;                   // "connected-folders"
  static const Feature connectedFoldersOnExternalDrive;    // "connected-folders-on-external-drive"
  static const Feature search;                             // "search"
  static const Feature partnerIntegrations;                // "partner-integrations"
  static const Feature csppPlus;                           // "cspp+"
  static const Feature officeIntegration;                  // "office-integration"
  static const Feature alwaysConnected;                    // "always-connected"
  static const Feature fileproviderdWatchdog;              // "fileproviderd-watchdog"
  static const Feature networkMonitor;                     // "network-monitor"
  static const Feature visualIndicatorsForSpecialFolders;  // "non-file-system-folders"
  static const Feature chunkedUpload;                      // "chunked-upload"
  static const Feature autoInstallCLI;                     // "autoinstall-cli"
  static const Feature symlinkForDrive;                    // "symlink"
  static const Feature tarnixShortcuts;                    // "files-and-folders-shortcuts"
  static const Feature documentRoom;                       // "document-room-icon"
  static const Feature alwaysCoeditPopup;                  // "always-coedit-popup"
  static const Feature assetsMonitoring;                   // "asset-monitoring"
  static const Feature announcementsUI;                    // "announcement-experiment"
  static const Feature localReadEvents;                    // "local-read-events"
  static const Feature hybrid;                             // "hybrid"
  static const Feature transfersUI;                        // "transfers-ui"
  static const Feature materializeSyncedItems;             // "materialize-synced-items"
  static const Feature documentCreation;                   // "document-creation"
  static const Feature aiChatAbout;                        // "ai-chat-about"
  static const Feature nbda;                               // "nbda"
  static const Feature embeddedReleaseNotes;               // "embedded-release-notes"
  static const Feature backgroundCFSIngestion;             // "background-cfs-ingestion"
  static const Feature documentCreationWithTemplates;      // "document-creation-with-templates"
  static const Feature aliasOnDesktop;                     // "alias-on-desktop"
  static const Feature searchHotKey;                       // "open-search-hot-key"
  static const Feature searchShortcutInALUI;               // "search-shortcut-in-alui"
  static const Feature shareLinkWindow;                    // "share-link-window"
  static const Feature desktopLinks2;                      // "desktop-links-2"
  static const Feature deletionConflictSkip;               // "deletion-conflict-skip"
  static const Feature oneClickConnect;                    // "one-click-connect"
  static const Feature fileLevelUI;                        // "file-level-ui"
  static const Feature delayedDeletions;                   // "delayed-deletions"
  static const Feature applicationLevelUI;                 // "application-level-ui"
  static const Feature webUIMassConfiguration;             // "webui-mass-configuration"
  static const Feature contextMenuStandardisation;         // "context-menu-standardisation"
  static const Feature connectedFoldersOnExternalDrive2;  // "connected-folders-on-external-drive-2"
  static const Feature mdmDaemon;                         // "mdm-daemon"
  static const Feature dockPresence;                      // "alui-conditional-dock-presence"
  static const Feature fluiMultiItem;                     // "flui-multi-item"
  static const Feature centerFLUIMenu;                    // "center-flui-menu"
  static const Feature showGlobalSyncStatus;              // "global-sync-status"
  static const Feature contextMenuStandardisationSecond;  // "context-menu-standardisation-second"
  static const Feature contextMenuOnNBDA;                 // "context-menu-on-nbda"
  static const Feature independentNBDADrive;              // "independent-nbda"
  static const Feature aluiDynamicMenu;                   // "alui-dynamic-menu"
  static const Feature nbdaCacheSize;                     // "nbda-cache-size"
  static const Feature showABCDriveCacheUtilisationStatus;  // "alui-global-status-v26.01"
  static const Feature nbdaCacheOnExternalVolume;           // "nbda-cache-on-external-volume"
  static const Feature nbdaUseAPIForCacheInfo;              // "nbda-use-api-for-cache-info"
  static const Feature aluiIntegratedLoginWindow;           // "alui-integrated-login-window"
  static const Feature connectedFoldersForABC;              // "connected-folders-for-nbda"
  static const Feature finderSyncVisualIndicatorsNext;      // "finder-sync-vi-v26.03"
  static const Feature tarnixActionsInCFContextMenu;        // "tarnix-actions-in-cf-context-menu"
  static const Feature webViewDriver;                       // "webview-driver"
  static const Feature mem;                                 // "mem"
  static const Feature clearCacheOfABCInstance;             // "clear-cache-of-nbcache"
  static const Feature aluiV2;                              // "alui-v2"
  static const Feature webViewInspectorGate;                // "webview-inspector-gate"
  static const Feature agenticCLI;                          // "agentic-cli"
  static const Feature nbdaSimulation;                      // "nbda-simulation"
  static const Feature lockDuringUpload;                    // "lock-during-upload"
  static const Feature devTools;                            // "devtools"

 private:
  std::string name_;
  bool enabledByDefault_;
  std::string description_;
  bool requiresNuke_;
};

/// "manual-locking" → "manualLocking".
std::string plistFriendlyName(std::string_view name);

}  // namespace tarnix::common

template <>
struct std::hash<tarnix::common::Feature> {
  size_t operator()(const tarnix::common::Feature& feature) const noexcept {
    return std::hash<std::string>{}(feature.name());
  }
};
