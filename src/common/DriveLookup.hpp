#pragma once
// Finding the drive a user names on a command line: by its identifier or by its label.

#include <expected>
#include <string_view>

#include "common/Drive.hpp"
#include "common/DriveRepository.hpp"

namespace tarnix::common {

/// The drive whose identifier is `labelOrIdentifier` (any letter case), else the one whose
/// label is exactly `labelOrIdentifier`. Fails with `notFound` and a sentence naming the text
/// when there is none, with the repository's error when reading fails.
std::expected<Drive, DriveRepositoryError> findDrive(DriveRepository& repository,
                                                     std::string_view labelOrIdentifier);

}  // namespace tarnix::common
