#pragma once
// State of an offline folder (stored as its integer in OfflineFolders.state).
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnix::common {

enum class OfflineFolderState : std::int64_t {
  invalid = 0,
  pending,
  stashed,
  creating,
  subscribed,
  stamping,
  removing,
  removed
};

inline std::optional<OfflineFolderState> offlineFolderStateFromRaw(std::int64_t raw) {
  if (raw < 0 || raw > static_cast<std::int64_t>(OfflineFolderState::removed)) return std::nullopt;
  return static_cast<OfflineFolderState>(raw);
}

}  // namespace tarnix::common
