#include "platform/UserDefaults.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "base/PrivateFiles.hpp"
#include "platform/detail/JSONObjectSalvage.hpp"

namespace tarnix::platform {
namespace {

std::string errnoText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

/// An open file descriptor, closed with the object.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

/// flock held on the suite's lock file for the life of the object.
class SuiteLock {
 public:
  static std::expected<SuiteLock, UserDefaultsError> acquire(const std::filesystem::path& lockPath,
                                                             bool exclusive) {
    FileDescriptor fd(base::openPrivateFile(lockPath, O_RDWR));
    if (!fd) return std::unexpected(UserDefaultsError{errnoText("Opening " + lockPath.string())});
    int r;
    do {
      r = ::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH);
    } while (r != 0 && errno == EINTR);
    if (r != 0)
      return std::unexpected(UserDefaultsError{errnoText("Locking " + lockPath.string())});
    return SuiteLock(std::move(fd));
  }

 private:
  explicit SuiteLock(FileDescriptor fd) : fd_(std::move(fd)) {}
  FileDescriptor fd_;  // closing it releases the lock
};

std::optional<std::string> readWhole(const std::filesystem::path& path, struct stat* info) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  if (info && ::fstat(fd.get(), info) != 0) return std::nullopt;
  std::string contents;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  return contents;
}

struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;
  timespec modified{};
  bool operator==(const FileVersion& o) const {
    return device == o.device && inode == o.inode && size == o.size &&
           modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec;
  }
};

FileVersion versionOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
}

}  // namespace

struct UserDefaults::Impl : std::enable_shared_from_this<UserDefaults::Impl> {
  struct Subscription {
    std::string key;
    Observer observer;
  };

  std::filesystem::path file;
  std::filesystem::path lockFile;
  base::Logger logger;

  // Guards everything below. Observers are called without it.
  mutable std::mutex mutex;
  mutable std::optional<FileVersion> cachedVersion;
  mutable base::JSONValue cached = base::JSONValue::object();
  mutable std::optional<FileVersion> damagedVersionLogged;
  std::map<std::string, std::optional<base::JSONValue>> lastSeen;  // per observed key
  std::vector<std::weak_ptr<Subscription>> subscriptions;
  std::thread watcher;
  FileDescriptor stopEvent;

  Impl(std::filesystem::path f, base::Logger l)
      : file(std::move(f)), lockFile(file.string() + ".lock"), logger(std::move(l)) {}

  ~Impl() { stopWatching(); }

  /// The parsed file; `damaged` tells whether the file exists but is not a JSON object.
  /// Call with the suite lock held (shared or exclusive) and `mutex` held.
  base::JSONValue loadLocked(bool* damaged) const {
    if (damaged) *damaged = false;
    struct stat info {};
    auto text = readWhole(file, &info);
    if (!text) {
      cachedVersion.reset();
      cached = base::JSONValue::object();
      return cached;
    }
    auto version = versionOf(info);
    if (cachedVersion && *cachedVersion == version) {
      if (damaged) *damaged = damagedVersionLogged && *damagedVersionLogged == version;
      return cached;
    }
    auto parsed = base::parseJSON(*text);
    cachedVersion = version;
    if (parsed && parsed->is_object()) {
      cached = std::move(*parsed);
      return cached;
    }
    cached = base::JSONValue::object();
    if (damaged) *damaged = true;
    if (!damagedVersionLogged || !(*damagedVersionLogged == version)) {
      damagedVersionLogged = version;
      logger.error("Preferences file is not a JSON object, reading defaults",
                   base::LoggerMetadata{{"path", file.string()}});
    }
    return cached;
  }

  std::expected<base::JSONValue, UserDefaultsError> read() const {
    auto lock = SuiteLock::acquire(lockFile, false);
    if (!lock) return std::unexpected(lock.error());
    std::lock_guard guard(mutex);
    return loadLocked(nullptr);
  }

  std::expected<base::JSONValue, UserDefaultsError> write(
      const std::function<void(base::JSONValue&)>& change) {
    auto lock = SuiteLock::acquire(lockFile, true);
    if (!lock) return std::unexpected(lock.error());
    std::unique_lock guard(mutex);
    bool damaged = false;
    auto document = loadLocked(&damaged);
    if (damaged) {
      // Whole members of the damaged object survive this write; the file itself is kept for
      // whoever wants to recover the rest by hand, never overwritten.
      if (auto text = readWhole(file, nullptr)) document = detail::salvageJSONObjectMembers(*text);
      auto aside = file.string() + ".damaged-" +
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count());
      if (::rename(file.c_str(), aside.c_str()) != 0) {
        return std::unexpected(UserDefaultsError{errnoText("Keeping damaged preferences aside")});
      }
      logger.warning("Damaged preferences file kept aside",
                     base::LoggerMetadata{{"path", aside},
                                          {"recoveredKeys", std::to_string(document.size())}});
    }
    change(document);
    std::string text = base::dumpJSON(document, 2);
    auto temporary = file.string() + ".tmp-" + std::to_string(::getpid());
    {
      FileDescriptor fd(base::openPrivateFile(temporary, O_WRONLY | O_TRUNC));
      if (!fd) return std::unexpected(UserDefaultsError{errnoText("Creating " + temporary)});
      size_t written = 0;
      while (written < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          auto error = errnoText("Writing " + temporary);
          ::unlink(temporary.c_str());
          return std::unexpected(UserDefaultsError{error});
        }
        written += static_cast<size_t>(n);
      }
      if (::fsync(fd.get()) != 0) {
        auto error = errnoText("Syncing " + temporary);
        ::unlink(temporary.c_str());
        return std::unexpected(UserDefaultsError{error});
      }
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
      auto error = errnoText("Replacing " + file.string());
      ::unlink(temporary.c_str());
      return std::unexpected(UserDefaultsError{error});
    }
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) {
      cachedVersion = versionOf(info);
      cached = document;
    } else {
      cachedVersion.reset();
    }
    return document;
  }

  /// Tells the observers of every key whose value differs from the last one they saw.
  void dispatch(const base::JSONValue& document) {
    std::vector<std::pair<std::shared_ptr<Subscription>, std::optional<base::JSONValue>>> calls;
    {
      std::lock_guard guard(mutex);
      std::map<std::string, std::optional<base::JSONValue>> changed;
      for (auto& [key, last] : lastSeen) {
        std::optional<base::JSONValue> now;
        if (auto it = document.find(key); it != document.end()) now = *it;
        if (now != last) {
          last = now;
          changed.emplace(key, std::move(now));
        }
      }
      std::erase_if(subscriptions, [](const auto& weak) { return weak.expired(); });
      for (auto& weak : subscriptions) {
        auto subscription = weak.lock();
        if (!subscription) continue;
        if (auto it = changed.find(subscription->key); it != changed.end()) {
          calls.emplace_back(subscription, it->second);
        }
      }
    }
    for (auto& [subscription, value] : calls) subscription->observer(value);
  }

  void startWatchingLocked() {
    if (watcher.joinable()) return;
    int inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotifyFd < 0) {
      logger.error("Watching preferences failed",
                   base::LoggerMetadata{{"error", errnoText("inotify")}});
      return;
    }
    FileDescriptor inotify(inotifyFd);
    auto folder = file.parent_path().empty() ? std::filesystem::path(".") : file.parent_path();
    if (::inotify_add_watch(inotify.get(), folder.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) < 0) {
      logger.error("Watching preferences failed",
                   base::LoggerMetadata{{"error", errnoText("inotify_add_watch")}});
      return;
    }
    stopEvent = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    std::weak_ptr<Impl> weak = weak_from_this();
    int stopFd = stopEvent.get();
    std::string name = file.filename().string();
    watcher = std::thread([weak, stopFd, name, inotify = std::move(inotify)]() mutable {
      alignas(inotify_event) char buffer[4096];
      for (;;) {
        pollfd fds[2] = {{inotify.get(), POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          return;
        }
        if (fds[1].revents) return;
        bool relevant = false;
        for (;;) {
          ssize_t n = ::read(inotify.get(), buffer, sizeof buffer);
          if (n <= 0) break;
          for (char* p = buffer; p < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->len > 0 && name == event->name) relevant = true;
            if (event->mask & IN_Q_OVERFLOW) relevant = true;
            p += sizeof(inotify_event) + event->len;
          }
        }
        if (!relevant) continue;
        auto self = weak.lock();
        if (!self) return;
        if (auto document = self->read()) self->dispatch(*document);
      }
    });
  }

  void stopWatching() {
    if (!watcher.joinable()) return;
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stopEvent.get(), &one, sizeof one);
    if (watcher.get_id() == std::this_thread::get_id()) {
      watcher.detach();  // the last owner let go from an observer; the thread ends on its own
    } else {
      watcher.join();
    }
  }
};

UserDefaults::UserDefaults(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

UserDefaults::~UserDefaults() {
  impl_->stopWatching();
}

std::shared_ptr<UserDefaults> UserDefaults::open(std::filesystem::path file, base::Logger logger) {
  return std::shared_ptr<UserDefaults>(
      new UserDefaults(std::make_shared<Impl>(std::move(file), std::move(logger))));
}

const std::filesystem::path& UserDefaults::path() const {
  return impl_->file;
}

std::optional<base::JSONValue> UserDefaults::value(const std::string& key) const {
  auto document = impl_->read();
  if (!document) {
    impl_->logger.error("Reading preferences failed",
                        base::LoggerMetadata{{"error", document.error().message}});
    return std::nullopt;
  }
  if (auto it = document->find(key); it != document->end()) return *it;
  return std::nullopt;
}

base::JSONValue UserDefaults::dictionary() const {
  auto document = impl_->read();
  return document ? *document : base::JSONValue::object();
}

std::expected<void, UserDefaultsError> UserDefaults::update(
    const std::function<void(base::JSONValue&)>& change) {
  auto document = impl_->write(change);
  if (!document) return std::unexpected(document.error());
  impl_->dispatch(*document);
  return {};
}

std::expected<void, UserDefaultsError> UserDefaults::set(const std::string& key,
                                                         base::JSONValue value) {
  return update([&](base::JSONValue& document) { document[key] = std::move(value); });
}

std::expected<void, UserDefaultsError> UserDefaults::remove(const std::string& key) {
  return update([&](base::JSONValue& document) { document.erase(key); });
}

std::shared_ptr<void> UserDefaults::observe(std::string key, Observer observer) {
  auto current = value(key);
  auto subscription = std::make_shared<Impl::Subscription>(key, std::move(observer));
  std::lock_guard guard(impl_->mutex);
  impl_->lastSeen.try_emplace(key, std::move(current));
  impl_->subscriptions.push_back(subscription);
  impl_->startWatchingLocked();
  return subscription;
}

}  // namespace tarnix::platform
