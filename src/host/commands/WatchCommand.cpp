// `tarnix watch DRIVE`: prints the cloud paths of a drive as the process that serves it (a
// mount) brings their changes in, one line each ("changed: /Shared/Documents"), until Ctrl-C,
// --count lines or --timeout seconds. It hears them over the event bus between the product's
// processes, so it needs the user's session bus; it serves nothing itself.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "common/DesktopAppGroup.hpp"
#include "fileprovider/FileProviderGlobals.hpp"
#include "fileprovider/events/EventBroker.hpp"
#include "host/Commands.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/ServedDrive.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::host {
namespace {

void failed(const std::string& message) {
  std::fprintf(stderr, "tarnix watch: %s\n", message.c_str());
  setCommandExitStatus(1);
}

void watchCommand(const std::string& drive, std::int64_t count, double timeout) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return failed(resolved.error());
  if (count < 0) return failed("--count must not be negative");
  if (timeout < 0) return failed("--timeout must not be negative");

  // Every thread started from here on leaves these signals to the loop below.
  sigset_t ending;
  sigemptyset(&ending);
  sigaddset(&ending, SIGINT);
  sigaddset(&ending, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);

  fileprovider::FileProviderGlobalsConfiguration configuration;
  configuration.containerRoot = common::appGroupContainerRoot();
  configuration.exit = [](int) {};
  configuration.deferredWork = false;
  configuration.followCloudChanges = false;
  auto bus = platform::DBusNotificationCenter::connectSessionBus(base::Logger("com.tarnix.Host"));
  if (!bus) {
    return failed("no session bus to hear the mount on (" + bus.error().message +
                  "); start one with dbus-run-session, or run this in a desktop session");
  }
  configuration.distributedNotificationCenter = std::move(*bus);
  auto globals = fileprovider::FileProviderGlobals::make(std::move(configuration));
  if (!globals) return failed(globals.error().message);

  std::atomic<std::int64_t> printed{0};
  auto subscription = (*globals)->eventBroker()->subscribe(
      fileprovider::PathUpdatedInfo::kEventName,
      [&printed, identifier = resolved->identifier](const base::JSONValue& payload) {
        auto info = fileprovider::PathUpdatedInfo::fromJSON(payload);
        if (!info || info->driveIdentifier != identifier) return;
        std::printf("changed: %s\n", info->cloudPath.c_str());
        std::fflush(stdout);
        ++printed;
      });
  if (::isatty(STDERR_FILENO)) {
    std::fprintf(stderr, "Watching %s for changes from the cloud (Ctrl-C ends)\n",
                 resolved->label.c_str());
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout > 0 ? timeout : 0);
  while (count == 0 || printed.load() < count) {
    if (timeout > 0 && std::chrono::steady_clock::now() >= deadline) break;
    const timespec step{0, 100'000'000};
    if (sigtimedwait(&ending, nullptr, &step) > 0) break;
  }
  subscription.reset();
  (*globals)->eventBroker()->stop();
}

}  // namespace

void addWatchCommands(CLI::App& app) {
  auto* watch = app.add_subcommand(
      "watch", "Print the paths of a drive as changes from the cloud reach the mount");
  static std::string drive;
  static std::int64_t count = 0;
  static double timeout = 0;
  watch->add_option("DRIVE", drive, "The drive (label or identifier)")->required();
  watch->add_option("--count", count, "End after this many changes (0: never)");
  watch->add_option("--timeout", timeout, "End after this many seconds (0: never)");
  watch->callback([] { watchCommand(drive, count, timeout); });
}

}  // namespace tarnix::host
