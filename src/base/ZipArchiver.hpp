#pragma once
// Zip archives of single files (libzip), as the zip tool makes them.

#include <expected>
#include <filesystem>
#include <string>

namespace tarnix::base {

struct ZipArchiverError {
  int status = 0;      // the libzip error code
  std::string output;  // libzip's message
};

namespace ZipArchiver {
/// Writes the archive `folder/targetFileName` holding the one file `folder/sourceFileName`
/// (deflated, stored under its file name with its modification time and permissions). An
/// existing archive of that name is replaced.
std::expected<void, ZipArchiverError> archive(const std::filesystem::path& folder,
                                              const std::string& sourceFileName,
                                              const std::string& targetFileName);
}  // namespace ZipArchiver

}  // namespace tarnix::base
