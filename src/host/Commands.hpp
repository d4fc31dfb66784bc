#pragma once
// Subcommands of the `tarnix` programme. Each command group lives in its own file under
// host/commands/ and adds itself in registerCommands.

namespace CLI {
class App;
}

namespace tarnix::host {

/// Adds every subcommand to `app`.
void registerCommands(CLI::App& app);

/// The exit status set by the command that ran (0 when none set one).
int commandExitStatus();
void setCommandExitStatus(int status);

}  // namespace tarnix::host
