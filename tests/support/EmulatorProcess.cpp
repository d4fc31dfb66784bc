#include "support/EmulatorProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace tarnix::testing {

namespace {

/// Reads lines from `fd` until the listening line arrives or time runs out.
std::expected<std::string, std::string> readBanner(int fd, std::chrono::seconds limit) {
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (text.find("listening on https://") == std::string::npos ||
         text.find('\n', text.find("listening on https://")) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::unexpected("timed out; output so far: " + text);
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[512];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0) return std::unexpected("the emulator exited; output: " + text);
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

std::string lineValue(const std::string& text, const std::string& prefix) {
  auto at = text.find(prefix);
  if (at == std::string::npos) return "";
  at += prefix.size();
  return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

std::string EmulatorProcess::authorization(const std::string& token) {
  return "OAUTH oauth_token=" + token + ",oauth_version=2.0";
}

std::expected<std::unique_ptr<EmulatorProcess>, std::string> EmulatorProcess::start(
    Options options) {
  std::unique_ptr<EmulatorProcess> process(new EmulatorProcess());
  process->options_ = std::move(options);
  if (auto launched = process->launch(0); !launched) return std::unexpected(launched.error());
  return process;
}

std::expected<void, std::string> EmulatorProcess::restart() {
  if (pid_ > 0) return std::unexpected("the emulator is still running");
  return launch(port_);
}

std::expected<void, std::string> EmulatorProcess::launch(std::uint16_t port) {
  auto program = binaryDir() / "tools" / "cloud-emulator" / "tarnix-cloud-emulator";
  std::vector<std::string> args = {program.string(), "--data", (dataDir() / "data").string(),
                                   "--port", std::to_string(port)};
  if (!options_.seed.empty()) args.insert(args.end(), {"--seed", options_.seed});
  if (!options_.faultsFile.empty()) args.insert(args.end(), {"--faults", options_.faultsFile});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::unexpected("pipe failed");
  std::string logFile = (dataDir() / "emulator.log").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    pid_ = -1;
    return std::unexpected("cannot start " + program.string());
  }
  auto banner = readBanner(out[0], std::chrono::seconds(20));
  ::close(out[0]);
  if (!banner) return std::unexpected(banner.error() + readFile(logFile));
  auto url = lineValue(*banner, "listening on https://");
  port_ = static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1)));
  caFile_ = lineValue(*banner, "CA certificate: ");
  adminToken_ = lineValue(*banner, "admin token: ");
  return {};
}

bool EmulatorProcess::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (::waitpid(pid_, &status, 0) == pid_) exitStatus_ = status;
    pid_ = -1;
  }
  return WIFEXITED(exitStatus_) && WEXITSTATUS(exitStatus_) == 0;
}

EmulatorProcess::~EmulatorProcess() {
  stop();
}

}  // namespace tarnix::testing
