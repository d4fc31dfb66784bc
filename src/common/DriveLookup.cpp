#include "common/DriveLookup.hpp"

#include <string>

#include "base/Uuid.hpp"

namespace tarnix::common {

std::expected<Drive, DriveRepositoryError> findDrive(DriveRepository& repository,
                                                     std::string_view labelOrIdentifier) {
  if (auto identifier = base::normalizedUuid(labelOrIdentifier)) {
    auto drive = repository.optionalDrive(*identifier);
    if (!drive) return std::unexpected(drive.error());
    if (*drive) return std::move(**drive);
  }
  auto drives = repository.allDrives();
  if (!drives) return std::unexpected(drives.error());
  for (auto& drive : *drives) {
    if (drive.label == labelOrIdentifier) return std::move(drive);
  }
  return std::unexpected(DriveRepositoryError{
      DriveRepositoryError::Code::notFound,
      "No drive has the label or identifier \"" + std::string(labelOrIdentifier) + "\""});
}

}  // namespace tarnix::common
