#pragma once
// Whole-file reads and atomic writes, behind an interface so that tests can count reads and
// bring about failures.

#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::platform {

struct FileError {
  enum class Code { notFound, ioFailure };
  Code code = Code::ioFailure;
  std::string message;
};

class FileManager {
 public:
  virtual ~FileManager() = default;
  virtual std::expected<std::string, FileError> contents(const std::filesystem::path& path) = 0;
  /// Writes to a temporary file beside `path`, then renames it over `path`; creates the folder.
  virtual std::expected<void, FileError> writeAtomically(const std::filesystem::path& path,
                                                         std::string_view bytes) = 0;
  virtual std::expected<void, FileError> remove(const std::filesystem::path& path) = 0;
  /// Names of the regular files in `folder` not starting with "." (none when it is missing).
  virtual std::expected<std::vector<std::string>, FileError> fileNames(
      const std::filesystem::path& folder) = 0;

  /// The local file system.
  static std::shared_ptr<FileManager> local();
};

}  // namespace tarnix::platform
