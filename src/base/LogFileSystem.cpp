#include "base/LogFileSystem.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "base/PrivateFiles.hpp"

namespace tarnix::base {
namespace {

std::error_code lastError() {
  return {errno, std::system_category()};
}

class PosixLogFileHandle final : public LogFileHandle {
 public:
  explicit PosixLogFileHandle(int fd) : fd_(fd) {}
  ~PosixLogFileHandle() override { close(); }

  std::size_t write(std::string_view bytes, std::error_code& error) override {
    std::size_t written = 0;
    while (written < bytes.size()) {
      auto n = ::write(fd_, bytes.data() + written, bytes.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = lastError();
        break;
      }
      written += static_cast<std::size_t>(n);
    }
    return written;
  }
  std::uint64_t endOffset() override {
    auto end = ::lseek(fd_, 0, SEEK_END);
    return end < 0 ? 0 : static_cast<std::uint64_t>(end);
  }
  void synchronize() override {
    if (fd_ >= 0) ::fsync(fd_);
  }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

}  // namespace

std::shared_ptr<LogFileSystem> LogFileSystem::standard() {
  static auto fileSystem = std::make_shared<StandardLogFileSystem>();
  return fileSystem;
}

std::error_code StandardLogFileSystem::createDirectories(const std::filesystem::path& folder) {
  return createPrivateDirectories(folder);
}

bool StandardLogFileSystem::fileExists(const std::filesystem::path& file) {
  std::error_code error;
  return std::filesystem::exists(file, error);
}

std::error_code StandardLogFileSystem::removeFile(const std::filesystem::path& file) {
  std::error_code error;
  std::filesystem::remove(file, error);
  return error;
}

std::error_code StandardLogFileSystem::createEmptyFile(const std::filesystem::path& file) {
  int fd = openPrivateFile(file, O_WRONLY | O_EXCL);
  if (fd < 0) return lastError();
  ::close(fd);
  return {};
}

std::expected<std::unique_ptr<LogFileHandle>, std::error_code>
StandardLogFileSystem::openForAppending(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return std::unexpected(lastError());
  return std::make_unique<PosixLogFileHandle>(fd);
}

std::error_code StandardLogFileSystem::moveItem(const std::filesystem::path& from,
                                                const std::filesystem::path& to) {
  std::error_code error;
  std::filesystem::rename(from, to, error);
  return error;
}

std::expected<std::vector<LogFileSystem::DirectoryEntry>, std::error_code>
StandardLogFileSystem::contentsOfDirectory(const std::filesystem::path& folder) {
  std::error_code error;
  std::vector<DirectoryEntry> entries;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return std::unexpected(error);
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    auto name = it->path().filename().string();
    if (name.starts_with('.')) continue;
    std::error_code timeError;
    auto modified = it->last_write_time(timeError);
    entries.push_back({std::move(name), modified});
  }
  if (error) return std::unexpected(error);
  return entries;
}

std::expected<void, ZipArchiverError> StandardLogFileSystem::zip(
    const std::filesystem::path& folder, const std::string& sourceFileName,
    const std::string& targetFileName) {
  return ZipArchiver::archive(folder, sourceFileName, targetFileName);
}

Date StandardLogFileSystem::now() {
  return std::chrono::system_clock::now();
}

}  // namespace tarnix::base
