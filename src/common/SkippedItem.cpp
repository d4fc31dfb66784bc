#include "common/SkippedItem.hpp"

#include <array>
#include <utility>

namespace tarnix::common {

namespace {
constexpr std::array<std::pair<SkipReason, std::string_view>, 24> kSkipReasonNames{{
    {SkipReason::unknown, "unknown"},
    {SkipReason::insufficientPermissions, "insufficientPermissions"},
    {SkipReason::tooManyFiles, "tooManyFiles"},
    {SkipReason::fileIsTooLarge, "fileIsTooLarge"},
    {SkipReason::fileInUse, "fileInUse"},
    {SkipReason::excluded, "excluded"},
    {SkipReason::malwareDetected, "malwareDetected"},
    {SkipReason::unsupportedCharacters, "unsupportedCharacters"},
    {SkipReason::noConnection, "noConnection"},
    {SkipReason::nameTooLong, "nameTooLong"},
    {SkipReason::pathTooLong, "pathTooLong"},
    {SkipReason::unableToUpdate, "unableToUpdate"},
    {SkipReason::noContents, "noContents"},
    {SkipReason::googleDoc, "googleDoc"},
    {SkipReason::outOfSpace, "outOfSpace"},
    {SkipReason::lowDiskSpace, "lowDiskSpace"},
    {SkipReason::activeDatabase, "activeDatabase"},
    {SkipReason::lockedFile, "lockedFile"},
    {SkipReason::serverTooBusy, "serverTooBusy"},
    {SkipReason::checksumMismatch, "checksumMismatch"},
    {SkipReason::deletionConflict, "deletionConflict"},
    {SkipReason::externalDeviceDisconnected, "externalDeviceDisconnected"},
    {SkipReason::insufficientDiskSpace, "insufficientDiskSpace"},
    {SkipReason::corruptFile, "corruptFile"},
}};
}  // namespace

std::string_view description(SkipReason reason) {
  return kSkipReasonNames[static_cast<size_t>(reason)].second;
}

std::optional<SkipReason> skipReasonFromString(std::string_view text) {
  for (const auto& [reason, name] : kSkipReasonNames) {
    if (name == text) return reason;
  }
  return std::nullopt;
}

}  // namespace tarnix::common
