#include "host/Commands.hpp"

#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"

#include <CLI/CLI.hpp>
#include <atomic>

namespace tarnix::host {
namespace {
std::atomic<int> gExitStatus{0};
}

void registerCommands(CLI::App& app) {
  auto* version = app.add_subcommand("version", "Print the version");
  version->callback([] { std::puts("tarnix 0.1.0"); });
  addDbCommands(app);
  addAccountCommands(app);
  addDriveCommands(app);
  addMountCommands(app);
  addCloudCommands(app);
  addItemsCommands(app);
  addContentCommands(app);
  addNamespaceCommands(app);
  addWatchCommands(app);
  addActionCommands(app);
  addLinkCommands(app);
  registerFileProviderExtension();
}

int commandExitStatus() {
  return gExitStatus.load();
}
void setCommandExitStatus(int status) {
  gExitStatus.store(status);
}

}  // namespace tarnix::host
