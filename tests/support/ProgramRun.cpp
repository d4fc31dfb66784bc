#include "support/ProgramRun.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/TempDir.hpp"

extern char** environ;

namespace tarnix::testing {
namespace {

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& changes) {
  std::vector<std::string> entries;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    auto name = entry.substr(0, entry.find('='));
    if (!changes.contains(name)) entries.push_back(std::move(entry));
  }
  for (const auto& [name, value] : changes) {
    if (!value.empty()) entries.push_back(name + "=" + value);
  }
  return entries;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ProgramResult runProgram(const std::vector<std::string>& arguments,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, std::chrono::milliseconds timeout) {
  ProgramResult result;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return result;
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  if (::pipe2(err, O_CLOEXEC) != 0) return result;

  std::vector<std::string> args = arguments;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  auto env = environmentWith(environment);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    result.errors = "cannot start " + args[0] + ": " + std::strerror(rc);
    return result;
  }

  // A child that stops reading its input must not block us: the write end is non-blocking.
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);
  int inFd = in[1], outFd = out[0], errFd = err[0];
  std::size_t written = 0;
  if (input.empty()) closeIfOpen(inFd);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  ::signal(SIGPIPE, SIG_IGN);
  while (outFd >= 0 || errFd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      break;
    }
    pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {inFd, POLLOUT, 0}};
    if (::poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? result.output : result.errors).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        closeIfOpen(i == 0 ? outFd : errFd);
      }
    }
    if (inFd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t put = ::write(inFd, input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      if (put < 0 && errno != EAGAIN && errno != EINTR) closeIfOpen(inFd);
      if (written == input.size()) closeIfOpen(inFd);
    }
  }
  closeIfOpen(inFd);
  closeIfOpen(outFd);
  closeIfOpen(errFd);
  if (result.timedOut) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  return result;
}

std::string tarnixProgram() {
  return (binaryDir() / "apps" / "tarnix" / "tarnix").string();
}

}  // namespace tarnix::testing
