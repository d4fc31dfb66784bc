#include "common/KnownPath.hpp"

#include <system_error>

#include "base/PrivateFiles.hpp"

namespace tarnix::common {
namespace {
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
}  // namespace

std::optional<std::filesystem::path> appGroupContainerRoot(const EnvironmentLookup& environment) {
  auto nonEmpty = [&](const char* name) -> std::optional<std::string> {
    auto value = environment(name);
    if (value && !value->empty()) return value;
    return std::nullopt;
  };
  if (auto home = nonEmpty("TARNIX_HOME")) return std::filesystem::path(*home);
  if (auto data = nonEmpty("XDG_DATA_HOME")) return std::filesystem::path(*data) / "tarnix";
  if (auto home = nonEmpty("HOME")) return std::filesystem::path(*home) / ".local/share/tarnix";
  return std::nullopt;
}

std::optional<std::filesystem::path> appGroupContainerRoot() {
  return appGroupContainerRoot([](const char* name) -> std::optional<std::string> {
    if (const char* value = std::getenv(name)) return std::string(value);
    return std::nullopt;
  });
}

KnownPathResolver::KnownPathResolver(std::optional<std::filesystem::path> containerRoot)
    : root_(std::move(containerRoot)) {}

std::expected<std::filesystem::path, KnownPathError> KnownPathResolver::knownPathURL(
    const KnownPath& path, bool shouldCreate) const {
  if (std::holds_alternative<KnownPath::PkgInstallationTXCLIPath>(path.value)) {
    return std::filesystem::path("/usr/local/bin/txcli");
  }
  auto groupOf = [](const KnownPath& p) -> std::string {
    return std::visit(
        Overloaded{[](const KnownPath::AppGroupContainerData& v) { return v.appGroup; },
                   [](const KnownPath::AppGroupContainerDataRoot& v) { return v.appGroup; },
                   [](const KnownPath::AppGroupContainerLibrary& v) { return v.appGroup; },
                   [](const auto&) { return std::string(kAppGroupIdentifier); }},
        p.value);
  };
  auto group = groupOf(path);
  // Linux has one container: the one of the product's group.
  if (!root_ || group != kAppGroupIdentifier) {
    return std::unexpected(KnownPathError{KnownPathError::Code::appGroupNotFound, group, {}});
  }
  const auto& root = *root_;
  auto internal = root / "Tarnix";
  bool isFile = false;
  std::filesystem::path location = std::visit(
      Overloaded{
          [&](const KnownPath::AppGroupContainerData&) { return root; },
          [&](const KnownPath::AppGroupContainerDataRoot&) { return root; },
          [&](const KnownPath::AppGroupContainerLibrary&) { return root / "Library"; },
          [&](const KnownPath::AppContainer& v) {
            return root / "Containers" / v.bundleIdentifier;
          },
          [&](const KnownPath::DiagnosticCapture& v) {
            return internal / "DiagnosticCaptures" / v.name;
          },
          [&](const KnownPath::Drive& v) { return internal / "Drives" / v.identifier; },
          [&](const KnownPath::Avatar& v) {
            isFile = true;
            return internal / "Accounts" / v.accountIdentifier / "avatar";
          },
          [&](const KnownPath::Account& v) { return internal / "Accounts" / v.identifier; },
          [&](const KnownPath::AppInternalData&) { return internal; },
          [&](const KnownPath::MainDatabase&) {
            isFile = true;
            return internal / "Main.db";
          },
          [&](const KnownPath::Drives&) { return internal / "Drives"; },
          [&](const KnownPath::DrivesGraveyard&) { return internal / "Drives" / ".graveyard"; },
          [&](const KnownPath::Accounts&) { return internal / "Accounts"; },
          [&](const KnownPath::Logs&) { return internal / "Logs"; },
          [&](const KnownPath::DiagnosticCaptures&) { return internal / "DiagnosticCaptures"; },
          [&](const KnownPath::CloudConfigurations&) { return internal / "CloudConfigurations"; },
          [&](const KnownPath::PartnerIntegrations&) { return internal / "PartnerIntegrations"; },
          [&](const KnownPath::Flui&) { return internal / "ALUI" / "FLUI"; },
          [&](const KnownPath::AluiMenu&) { return internal / "ALUI" / "Menu"; },
          [&](const KnownPath::PkgInstallationTXCLIPath&) { return std::filesystem::path(); },
          [&](const KnownPath::Events&) { return internal / "Events"; },
          [&](const KnownPath::Buckets&) { return internal / "Buckets"; },
      },
      path.value);
  if (shouldCreate) {
    std::error_code ec = base::createPrivateDirectories(isFile ? location.parent_path() : location);
    if (ec) {
      return std::unexpected(
          KnownPathError{KnownPathError::Code::creationFailed, group, ec.message()});
    }
  }
  return location;
}

}  // namespace tarnix::common
