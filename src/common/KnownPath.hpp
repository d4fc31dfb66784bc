#pragma once
// Where every shared file of the product lives. On Linux the application-group container is
// $TARNIX_HOME, else $XDG_DATA_HOME/tarnix, else ~/.local/share/tarnix; the product's internal
// data directory is "Tarnix" inside it.
//
// Layout (relative to the container root):
//   Tarnix/Main.db, Tarnix/Drives/<drive>, Tarnix/Drives/.graveyard, Tarnix/Accounts/<account>,
//   Tarnix/Accounts/<account>/avatar, Tarnix/CloudConfigurations, Tarnix/Events, Tarnix/Buckets,
//   Tarnix/Logs, Tarnix/DiagnosticCaptures/<name>, Tarnix/PartnerIntegrations, Tarnix/ALUI/FLUI,
//   Tarnix/ALUI/Menu, Library, Logs (external logs), tmp, Containers/<bundle>.

#include <cstdlib>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace tarnix::common {

inline constexpr const char* kAppGroupIdentifier = "QWXRT842LM.group.com.tarnix.DesktopApp";

/// The container root from the environment: TARNIX_HOME, XDG_DATA_HOME/tarnix, HOME/.local/share/
/// tarnix. None when neither TARNIX_HOME, XDG_DATA_HOME nor HOME is set.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::filesystem::path> appGroupContainerRoot(const EnvironmentLookup& environment);
/// The same from the process environment.
std::optional<std::filesystem::path> appGroupContainerRoot();

struct KnownPath {
  struct AppGroupContainerData {
    std::string appGroup;
  };
  struct AppGroupContainerDataRoot {
    std::string appGroup;
  };
  struct AppGroupContainerLibrary {
    std::string appGroup;
  };
  struct AppContainer {
    std::string bundleIdentifier;
  };
  struct DiagnosticCapture {
    std::string name;
  };
  struct Drive {
    std::string identifier;
  };
  struct Avatar {
    std::string accountIdentifier;
  };
  struct Account {
    std::string identifier;
  };
  struct AppInternalData {};
  struct MainDatabase {};
  struct Drives {};
  struct DrivesGraveyard {};
  struct Accounts {};
  struct Logs {};
  struct DiagnosticCaptures {};
  struct CloudConfigurations {};
  struct PartnerIntegrations {};
  struct Flui {};
  struct AluiMenu {};
  struct PkgInstallationTXCLIPath {};
  struct Events {};
  struct Buckets {};

  std::variant<AppGroupContainerData, AppGroupContainerDataRoot, AppGroupContainerLibrary,
               AppContainer, DiagnosticCapture, Drive, Avatar, Account, AppInternalData,
               MainDatabase, Drives, DrivesGraveyard, Accounts, Logs, DiagnosticCaptures,
               CloudConfigurations, PartnerIntegrations, Flui, AluiMenu, PkgInstallationTXCLIPath,
               Events, Buckets>
      value;

  static KnownPath appGroupContainerData(std::string group = kAppGroupIdentifier) {
    return {AppGroupContainerData{std::move(group)}};
  }
  static KnownPath appGroupContainerDataRoot(std::string group = kAppGroupIdentifier) {
    return {AppGroupContainerDataRoot{std::move(group)}};
  }
  static KnownPath appGroupContainerLibrary(std::string group = kAppGroupIdentifier) {
    return {AppGroupContainerLibrary{std::move(group)}};
  }
  static KnownPath appContainer(std::string bundle) { return {AppContainer{std::move(bundle)}}; }
  static KnownPath diagnosticCapture(std::string name) {
    return {DiagnosticCapture{std::move(name)}};
  }
  static KnownPath drive(std::string identifier) { return {Drive{std::move(identifier)}}; }
  static KnownPath avatar(std::string account) { return {Avatar{std::move(account)}}; }
  static KnownPath account(std::string identifier) { return {Account{std::move(identifier)}}; }
  static KnownPath appInternalData() { return {AppInternalData{}}; }
  static KnownPath mainDatabase() { return {MainDatabase{}}; }
  static KnownPath drives() { return {Drives{}}; }
  static KnownPath drivesGraveyard() { return {DrivesGraveyard{}}; }
  static KnownPath accounts() { return {Accounts{}}; }
  static KnownPath logs() { return {Logs{}}; }
  static KnownPath diagnosticCaptures() { return {DiagnosticCaptures{}}; }
  static KnownPath cloudConfigurations() { return {CloudConfigurations{}}; }
  static KnownPath partnerIntegrations() { return {PartnerIntegrations{}}; }
  static KnownPath flui() { return {Flui{}}; }
  static KnownPath aluiMenu() { return {AluiMenu{}}; }
  static KnownPath pkgInstallationTXCLIPath() { return {PkgInstallationTXCLIPath{}}; }
  static KnownPath events() { return {Events{}}; }
  static KnownPath buckets() { return {Buckets{}}; }
};

struct KnownPathError {
  enum class Code { appGroupNotFound, creationFailed };
  Code code = Code::appGroupNotFound;
  std::string name;     // the group, for appGroupNotFound
  std::string message;  // for creationFailed
};

/// Resolves paths against one container root (none: no container for the group).
class KnownPathResolver {
 public:
  explicit KnownPathResolver(std::optional<std::filesystem::path> containerRoot);

  /// The location of `path`; with `shouldCreate`, the directory (for a file: its folder) is
  /// created with intermediate directories when missing.
  std::expected<std::filesystem::path, KnownPathError> knownPathURL(
      const KnownPath& path, bool shouldCreate = false) const;

 private:
  std::optional<std::filesystem::path> root_;
};

}  // namespace tarnix::common
