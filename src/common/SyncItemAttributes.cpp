#include "common/SyncItemAttributes.hpp"

#include <array>
#include <utility>

namespace tarnix::common {

std::string_view description(SyncItemRealm realm) {
  return realm == SyncItemRealm::offline ? "offline" : "online";
}

std::optional<SyncItemRealm> syncItemRealmFromRaw(std::int64_t raw) {
  if (raw == 0 || raw == 1) return static_cast<SyncItemRealm>(raw);
  return std::nullopt;
}

std::optional<SyncItemPermission> syncItemPermissionFromRaw(std::int64_t raw) {
  if (raw >= 0 && raw <= 5) return static_cast<SyncItemPermission>(raw);
  return std::nullopt;
}

namespace {
using P = SyncItemPermission;
constexpr std::array<std::pair<std::string_view, P>, 7> kCfsNames{{
    {"NONE", P::none},
    {"NAV", P::nav},
    {"VIEWER_ONLY", P::viewer},
    {"READ", P::viewer},
    {"READWRITE", P::editor},
    {"RWD", P::full},
    {"MODIFY", P::owner},
}};
constexpr std::array<std::pair<std::string_view, P>, 7> kCfsDescriptions{{
    {"None", P::none},
    {"Nav", P::nav},
    {"Viewer Only", P::viewer},
    {"Viewer", P::viewer},
    {"Editor", P::editor},
    {"Full", P::full},
    {"Owner", P::owner},
}};

template <class Table>
std::optional<P> lookUp(const Table& table, std::string_view text) {
  for (const auto& [name, value] : table) {
    if (name == text) return value;
  }
  return std::nullopt;
}
}  // namespace

std::optional<SyncItemPermission> permissionFromCfsName(std::string_view name) {
  return lookUp(kCfsNames, name);
}

std::optional<SyncItemPermission> permissionFromCfsDescription(std::string_view description) {
  return lookUp(kCfsDescriptions, description);
}

}  // namespace tarnix::common
