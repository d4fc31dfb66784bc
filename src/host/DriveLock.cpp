#include "host/DriveLock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <thread>

#include "base/PrivateFiles.hpp"

namespace tarnix::host {

namespace {

namespace fs = std::filesystem;

// A new holder writes its lines right after taking the lock; until then the file may still
// name the previous holder, who is gone. That is waited out, at most this long.
constexpr auto kSettleWait = std::chrono::seconds(2);
constexpr auto kRetryInterval = std::chrono::milliseconds(20);

std::string contentsOf(int fd) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  while (true) {
    const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  return text;
}

bool writeAll(int fd, const std::string& text) {
  if (::ftruncate(fd, 0) != 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n =
        ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A process on its way out (its memory gone, its files about to be closed, or a zombie) has
// no command line any more: its lock is as good as released.
bool isAlive(pid_t pid) {
  if (pid <= 0) return false;
  if (!fs::exists("/proc/self/cmdline")) return ::kill(pid, 0) == 0 || errno == EPERM;
  const int fd =
      ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char first = 0;
  ssize_t n;
  do {
    n = ::read(fd, &first, 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  return n == 1;
}

}  // namespace

std::optional<DriveLock::Holder> DriveLock::parse(const std::string& contents) {
  constexpr std::string_view kPid = "pid ";
  constexpr std::string_view kMount = "\nmount ";
  if (!contents.starts_with(kPid) || !contents.ends_with('\n')) return std::nullopt;
  const auto mount = contents.find(kMount);
  if (mount == std::string::npos) return std::nullopt;
  Holder holder;
  const char* first = contents.data() + kPid.size();
  const char* last = contents.data() + mount;
  auto [end, ec] = std::from_chars(first, last, holder.pid);
  if (ec != std::errc() || end != last || holder.pid <= 0) return std::nullopt;
  const auto start = mount + kMount.size();
  holder.mountPoint = contents.substr(start, contents.size() - 1 - start);
  return holder;
}

std::optional<DriveLock::Holder> DriveLock::holder(const fs::path& stateDirectory) {
  const int fd = ::open(lockPath(stateDirectory).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  auto found = parse(contentsOf(fd));
  ::close(fd);
  if (found && !isAlive(found->pid)) found.reset();
  return found;
}

std::expected<std::unique_ptr<DriveLock>, DriveLock::Refusal> DriveLock::acquire(
    const fs::path& stateDirectory, const fs::path& mountPoint,
    std::chrono::milliseconds commandWait) {
  if (auto ec = base::createPrivateDirectories(stateDirectory))
    return std::unexpected(Refusal{std::nullopt, stateDirectory.string() + ": " + ec.message()});
  const fs::path file = lockPath(stateDirectory);
  const int fd = base::openPrivateFile(file, O_RDWR);
  if (fd < 0) return std::unexpected(Refusal{std::nullopt, file.string() + ": " + strerror(errno)});
  const auto fail = [&](Refusal refusal) {
    ::close(fd);
    return std::unexpected(std::move(refusal));
  };

  const auto start = std::chrono::steady_clock::now();
  const auto commandDeadline = start + commandWait;
  const auto settleDeadline = start + std::max<std::chrono::milliseconds>(commandWait, kSettleWait);
  while (true) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      const std::string lines =
          "pid " + std::to_string(::getpid()) + "\nmount " + mountPoint.string() + "\n";
      if (!writeAll(fd, lines)) return fail({std::nullopt, file.string() + ": " + strerror(errno)});
      return std::unique_ptr<DriveLock>(new DriveLock(fd));
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return fail({std::nullopt, file.string() + ": " + strerror(errno)});
    const auto holder = parse(contentsOf(fd));
    const auto now = std::chrono::steady_clock::now();
    if (holder && isAlive(holder->pid)) {
      if (holder->isMount() || now >= commandDeadline) return fail({holder, {}});
    } else if (now >= settleDeadline) {
      return fail(
          {std::nullopt, file.string() + ": held by a process that does not say who it is"});
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
}

DriveLock::~DriveLock() {
  // Emptied first, so that nobody reads a holder that is gone.
  (void)::ftruncate(fd_, 0);
  ::close(fd_);
}

}  // namespace tarnix::host
