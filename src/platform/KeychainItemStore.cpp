#include "platform/KeychainItemStore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "base/PrivateFiles.hpp"

namespace tarnix::platform {
namespace {

KeychainError ioError(const std::string& what) {
  return {KeychainError::Code::ioFailure, what + ": " + std::strerror(errno)};
}

}  // namespace

KeychainItemStore::KeychainItemStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::expected<std::filesystem::path, KeychainError> KeychainItemStore::itemPath(
    std::string_view account) const {
  if (account.empty() || account.front() == '.' || account.find('/') != std::string_view::npos ||
      account.find('\0') != std::string_view::npos) {
    return std::unexpected(
        KeychainError{KeychainError::Code::invalidAccount, "Invalid keychain account name"});
  }
  return folder_ / std::string(account);
}

std::expected<void, KeychainError> KeychainItemStore::write(std::string_view account,
                                                            std::string_view data) const {
  auto path = itemPath(account);
  if (!path) return std::unexpected(path.error());
  std::error_code ec;
  ec = base::createPrivateDirectories(folder_);
  if (ec) return std::unexpected(KeychainError{KeychainError::Code::ioFailure, ec.message()});
  // The folder may have been made by someone with a wider umask: tighten it every time.
  if (::chmod(folder_.c_str(), 0700) != 0)
    return std::unexpected(ioError("chmod " + folder_.string()));

  auto temporary = path->string() + ".tmp-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return std::unexpected(ioError("Creating keychain item"));
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      auto error = ioError("Writing keychain item");
      ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(error);
    }
    written += static_cast<size_t>(n);
  }
  // The umask can only narrow 0600; make it exact anyway.
  if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
    auto error = ioError("Writing keychain item");
    ::close(fd);
    ::unlink(temporary.c_str());
    return std::unexpected(error);
  }
  ::close(fd);
  if (::rename(temporary.c_str(), path->c_str()) != 0) {
    auto error = ioError("Replacing keychain item");
    ::unlink(temporary.c_str());
    return std::unexpected(error);
  }
  return {};
}

std::expected<std::string, KeychainError> KeychainItemStore::read(std::string_view account) const {
  auto path = itemPath(account);
  if (!path) return std::unexpected(path.error());
  int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno == ENOENT) {
      return std::unexpected(KeychainError{KeychainError::Code::itemNotFound, "No keychain item"});
    }
    return std::unexpected(ioError("Opening keychain item"));
  }
  std::string contents;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      auto error = ioError("Reading keychain item");
      ::close(fd);
      return std::unexpected(error);
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return contents;
}

std::expected<void, KeychainError> KeychainItemStore::remove(std::string_view account) const {
  auto path = itemPath(account);
  if (!path) return std::unexpected(path.error());
  if (::unlink(path->c_str()) != 0) {
    if (errno == ENOENT) {
      return std::unexpected(KeychainError{KeychainError::Code::itemNotFound, "No keychain item"});
    }
    return std::unexpected(ioError("Removing keychain item"));
  }
  return {};
}

}  // namespace tarnix::platform
