#include "host/FuseMount.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace tarnix::host {
namespace {

std::string errnoText(int error) {
  return std::strerror(error);
}

// Runs `argv` with extra environment `env` and waits up to 20 s; returns its exit status.
std::expected<int, std::string> runHelper(const std::vector<std::string>& argv,
                                          const std::vector<std::string>& extraEnv,
                                          posix_spawn_file_actions_t* actions) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> envStore(extraEnv);
  std::vector<char*> env;
  for (char** e = environ; e && *e; ++e) env.push_back(*e);
  for (auto& e : envStore) env.push_back(e.data());
  env.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], actions, nullptr, args.data(), env.data());
  if (spawned != 0) return std::unexpected(argv[0] + ": " + errnoText(spawned));
  for (int i = 0; i < 2000; ++i) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    if (done < 0 && errno != EINTR) return std::unexpected(argv[0] + ": " + errnoText(errno));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return std::unexpected(argv[0] + " did not finish");
}

int receiveFd(int socket) {
  char byte = 0;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof(control);
  ssize_t got;
  do {
    got = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return -1;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
      int fd = -1;
      std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
      return fd;
    }
  }
  return -1;
}

std::expected<int, std::string> mountWithHelper(const std::filesystem::path& mountPoint,
                                                const std::string& fsname) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    return std::unexpected("socketpair: " + errnoText(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The helper's end must survive exec: dup it to a fixed number without close-on-exec.
  constexpr int kChildFd = 3;
  posix_spawn_file_actions_adddup2(&actions, pair[1], kChildFd);
  auto status =
      runHelper({"fusermount3", "-o",
                 "nosuid,nodev,default_permissions,fsname=" + fsname + ",subtype=" + fsname, "--",
                 mountPoint.string()},
                {"_FUSE_COMMFD=" + std::to_string(kChildFd)}, &actions);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pair[1]);
  int fd = -1;
  if (status && *status == 0) fd = receiveFd(pair[0]);
  ::close(pair[0]);
  if (!status) return std::unexpected(status.error());
  if (*status != 0 || fd < 0)
    return std::unexpected("fusermount3 could not mount " + mountPoint.string());
  return fd;
}

}  // namespace

std::expected<int, std::string> mountFuse(const std::filesystem::path& mountPoint,
                                          const std::string& fsname) {
  struct stat st {};
  if (::stat(mountPoint.c_str(), &st) != 0)
    return std::unexpected(mountPoint.string() + ": " + errnoText(errno));
  if (!S_ISDIR(st.st_mode)) return std::unexpected(mountPoint.string() + ": not a folder");
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::unexpected("/dev/fuse cannot be opened: " + errnoText(errno));
  const std::string data = "fd=" + std::to_string(fd) +
                           ",rootmode=40000,user_id=" + std::to_string(::getuid()) +
                           ",group_id=" + std::to_string(::getgid()) + ",default_permissions";
  if (::mount(fsname.c_str(), mountPoint.c_str(), ("fuse." + fsname).c_str(), MS_NOSUID | MS_NODEV,
              data.c_str()) == 0)
    return fd;
  const int error = errno;
  ::close(fd);
  if (error != EPERM && error != EACCES)
    return std::unexpected("mounting FUSE failed: " + errnoText(error));
  return mountWithHelper(mountPoint, fsname);
}

std::expected<void, std::string> unmountFuse(const std::filesystem::path& mountPoint) {
  if (::umount2(mountPoint.c_str(), 0) == 0) return {};
  if (errno == EBUSY && ::umount2(mountPoint.c_str(), MNT_DETACH) == 0) return {};
  if (errno == EINVAL && !isFuseMounted(mountPoint))
    return std::unexpected(mountPoint.string() + " is not mounted");
  auto status = runHelper({"fusermount3", "-u", "-z", "--", mountPoint.string()}, {}, nullptr);
  if (!status) return std::unexpected(status.error());
  if (*status != 0) return std::unexpected("fusermount3 could not unmount " + mountPoint.string());
  return {};
}

std::optional<std::string> fuseDeviceNumber(const std::filesystem::path& mountPoint) {
  // Only the parent is resolved: looking at the mount point itself would ask the file system
  // mounted there, which may not answer yet (or ever).
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(mountPoint, ec).lexically_normal();
  auto name = absolute.filename();
  auto parent = absolute.parent_path();
  if (name.empty()) {  // a trailing separator
    name = parent.filename();
    parent = parent.parent_path();
  }
  auto canonicalParent = std::filesystem::weakly_canonical(parent, ec);
  const std::string wanted = ec ? absolute.string() : (canonicalParent / name).string();
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  std::optional<std::string> found;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    fields >> id >> parent >> device >> root >> point;
    if (point != wanted) continue;
    const auto dash = line.find(" - ");
    // The last one listed is the one on top.
    if (dash != std::string::npos && line.compare(dash + 3, 4, "fuse") == 0) found = device;
  }
  return found;
}

bool isFuseMounted(const std::filesystem::path& mountPoint) {
  return fuseDeviceNumber(mountPoint).has_value();
}

}  // namespace tarnix::host
