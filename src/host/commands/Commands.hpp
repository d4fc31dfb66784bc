#pragma once
// Command groups of the `tarnix` programme, one file each, added by registerCommands.

namespace CLI {
class App;
}

namespace tarnix::host {

/// `tarnix db migrate PATH` and `tarnix db check PATH`: support tools for drive databases.
void addDbCommands(CLI::App& app);
/// `tarnix account add|list|remove`.
void addAccountCommands(CLI::App& app);
/// `tarnix drive add|list|remove`.
void addDriveCommands(CLI::App& app);

}  // namespace tarnix::host
