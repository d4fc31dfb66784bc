#include "platform/FileManager.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/PrivateFiles.hpp"

namespace tarnix::platform {
namespace {

FileError errnoError(const std::string& what) {
  return {errno == ENOENT ? FileError::Code::notFound : FileError::Code::ioFailure,
          what + ": " + std::strerror(errno)};
}

class LocalFileManager final : public FileManager {
 public:
  std::expected<std::string, FileError> contents(const std::filesystem::path& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errnoError("Opening " + path.string()));
    std::string data;
    char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        auto error = errnoError("Reading " + path.string());
        ::close(fd);
        return std::unexpected(error);
      }
      if (n == 0) break;
      data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
  }

  std::expected<void, FileError> writeAtomically(const std::filesystem::path& path,
                                                 std::string_view bytes) override {
    std::error_code ec;
    ec = base::createPrivateDirectories(path.parent_path());
    if (ec) return std::unexpected(FileError{FileError::Code::ioFailure, ec.message()});
    static std::atomic<unsigned> counter{0};
    auto temporary =
        path.parent_path() / ("." + path.filename().string() + ".tmp-" +
                              std::to_string(::getpid()) + "-" + std::to_string(counter++));
    int fd = base::openPrivateFile(temporary, O_WRONLY | O_TRUNC);
    if (fd < 0) return std::unexpected(errnoError("Creating " + temporary.string()));
    size_t written = 0;
    while (written < bytes.size()) {
      ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        auto error = errnoError("Writing " + temporary.string());
        ::close(fd);
        ::unlink(temporary.c_str());
        return std::unexpected(error);
      }
      written += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
      auto error = errnoError("Syncing " + temporary.string());
      ::close(fd);
      ::unlink(temporary.c_str());
      return std::unexpected(error);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
      auto error = errnoError("Replacing " + path.string());
      ::unlink(temporary.c_str());
      return std::unexpected(error);
    }
    return {};
  }

  std::expected<void, FileError> remove(const std::filesystem::path& path) override {
    if (::unlink(path.c_str()) != 0)
      return std::unexpected(errnoError("Removing " + path.string()));
    return {};
  }

  std::expected<std::vector<std::string>, FileError> fileNames(
      const std::filesystem::path& folder) override {
    std::vector<std::string> names;
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) return names;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
      auto name = it->path().filename().string();
      if (name.starts_with(".") || !it->is_regular_file(ec)) continue;
      names.push_back(std::move(name));
    }
    if (ec) return std::unexpected(FileError{FileError::Code::ioFailure, ec.message()});
    return names;
  }
};

}  // namespace

std::shared_ptr<FileManager> FileManager::local() {
  static auto manager = std::make_shared<LocalFileManager>();
  return manager;
}

}  // namespace tarnix::platform
