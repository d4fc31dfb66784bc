#pragma once
// The file operations and the clock a log file uses, behind an interface so that failures
// (a full disk, a folder that cannot be made) can be brought about on purpose.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/Date.hpp"
#include "base/ZipArchiver.hpp"

namespace tarnix::base {

/// An open file written at its end. Used from one queue at a time.
class LogFileHandle {
 public:
  virtual ~LogFileHandle() = default;
  /// Appends `bytes`; returns how many were written. Sets `error` when not all were.
  virtual std::size_t write(std::string_view bytes, std::error_code& error) = 0;
  /// The offset of the end of the file.
  virtual std::uint64_t endOffset() = 0;
  /// Flushes the file to the disk.
  virtual void synchronize() = 0;
  virtual void close() = 0;
};

class LogFileSystem {
 public:
  struct DirectoryEntry {
    std::string name;
    std::filesystem::file_time_type modificationDate;
  };

  virtual ~LogFileSystem() = default;
  /// The process's file system and clock.
  static std::shared_ptr<LogFileSystem> standard();

  virtual std::error_code createDirectories(const std::filesystem::path& folder) = 0;
  virtual bool fileExists(const std::filesystem::path& file) = 0;
  virtual std::error_code removeFile(const std::filesystem::path& file) = 0;
  /// Creates an empty file (replacing nothing: it fails when the file exists).
  virtual std::error_code createEmptyFile(const std::filesystem::path& file) = 0;
  virtual std::expected<std::unique_ptr<LogFileHandle>, std::error_code> openForAppending(
      const std::filesystem::path& file) = 0;
  virtual std::error_code moveItem(const std::filesystem::path& from,
                                   const std::filesystem::path& to) = 0;
  /// The entries of `folder`, hidden ones (names starting with ".") left out.
  virtual std::expected<std::vector<DirectoryEntry>, std::error_code> contentsOfDirectory(
      const std::filesystem::path& folder) = 0;
  /// Zips `folder/sourceFileName` into `folder/targetFileName`.
  virtual std::expected<void, ZipArchiverError> zip(const std::filesystem::path& folder,
                                                    const std::string& sourceFileName,
                                                    const std::string& targetFileName) = 0;
  virtual Date now() = 0;
};

/// POSIX files and the system clock.
class StandardLogFileSystem : public LogFileSystem {
 public:
  std::error_code createDirectories(const std::filesystem::path& folder) override;
  bool fileExists(const std::filesystem::path& file) override;
  std::error_code removeFile(const std::filesystem::path& file) override;
  std::error_code createEmptyFile(const std::filesystem::path& file) override;
  std::expected<std::unique_ptr<LogFileHandle>, std::error_code> openForAppending(
      const std::filesystem::path& file) override;
  std::error_code moveItem(const std::filesystem::path& from,
                           const std::filesystem::path& to) override;
  std::expected<std::vector<DirectoryEntry>, std::error_code> contentsOfDirectory(
      const std::filesystem::path& folder) override;
  std::expected<void, ZipArchiverError> zip(const std::filesystem::path& folder,
                                            const std::string& sourceFileName,
                                            const std::string& targetFileName) override;
  Date now() override;
};

}  // namespace tarnix::base
