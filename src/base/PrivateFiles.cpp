#include "base/PrivateFiles.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarnix::base {
namespace {

std::error_code lastError() {
  return {errno, std::generic_category()};
}

}  // namespace

std::error_code createPrivateDirectories(const std::filesystem::path& folder) {
  if (folder.empty()) return std::make_error_code(std::errc::invalid_argument);
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) {
    return S_ISDIR(info.st_mode) ? std::error_code{}
                                 : std::make_error_code(std::errc::not_a_directory);
  }
  if (auto parent = folder.parent_path(); !parent.empty() && parent != folder) {
    if (auto failed = createPrivateDirectories(parent)) return failed;
  }
  if (::mkdir(folder.c_str(), kPrivateFolderMode) != 0) {
    // Made by someone else meanwhile: theirs to keep as it is.
    if (errno == EEXIST) return {};
    return lastError();
  }
  // The umask can narrow the mode further; make it exact.
  if (::chmod(folder.c_str(), kPrivateFolderMode) != 0) return lastError();
  return {};
}

int openPrivateFile(const std::filesystem::path& file, int flags) {
  int fd = ::open(file.c_str(), flags | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (fd >= 0) {
    if (::fchmod(fd, kPrivateFileMode) != 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    return fd;
  }
  if (errno != EEXIST || (flags & O_EXCL) != 0) return -1;
  return ::open(file.c_str(), flags | O_CLOEXEC);
}

std::error_code ensurePrivateFile(const std::filesystem::path& file) {
  const int fd = openPrivateFile(file, O_RDWR);
  if (fd < 0) return lastError();
  ::close(fd);
  return {};
}

std::error_code makePrivate(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return lastError();
  const mode_t mode = S_ISDIR(info.st_mode) ? kPrivateFolderMode : kPrivateFileMode;
  if (::chmod(path.c_str(), mode) != 0) return lastError();
  return {};
}

}  // namespace tarnix::base
