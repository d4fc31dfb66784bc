#pragma once
// Command groups of the `tarnix` programme, one file each, added by registerCommands.

#include <cstdint>
#include <optional>
#include <string>

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

/// `tarnix mount DRIVE MOUNTPOINT [-f] [--cache-size SIZE]`, `tarnix unmount MOUNTPOINT` and
/// `tarnix status DRIVE`.
void addMountCommands(CLI::App& app);

/// A byte count with an optional unit (K, M, G, T; powers of 1024; "KiB", "GB" and the like
/// accepted); none for anything else.
std::optional<std::int64_t> parseCacheSize(const std::string& text);
/// `tarnix cloud ls DRIVE [PATH]` and `tarnix cloud ping DRIVE`: one listing, and whether the
/// drive's cloud answers.
void addCloudCommands(CLI::App& app);

/// `tarnix ls DRIVE [PATH]` and `tarnix stat DRIVE PATH`: a drive's items through its provider.
void addItemsCommands(CLI::App& app);
/// `tarnix get DRIVE PATH [DEST]` and `tarnix cat DRIVE PATH`: a file's contents through its
/// provider.
void addContentCommands(CLI::App& app);

/// `tarnix mkdir DRIVE PATH...`, `tarnix mv DRIVE SRC DST`, `tarnix rm [-r] DRIVE PATH...` and
/// `tarnix rmdir DRIVE PATH...`: changes through the mount that serves the drive, else through
/// its provider.
void addNamespaceCommands(CLI::App& app);
/// `tarnix watch DRIVE [--count N] [--timeout SECONDS]`: the changes the mount brings in.
void addWatchCommands(CLI::App& app);
/// `tarnix lock|unlock DRIVE PATH...`, `tarnix refresh|crawl DRIVE PATH...`, `tarnix action
/// DRIVE ACTION PATH...` (the drive's actions, through the mount that serves it, else through
/// its provider) and `tarnix locks [DRIVE]`.
void addActionCommands(CLI::App& app);
/// `tarnix link DRIVE PATH` and `tarnix open-web DRIVE PATH [--open]`: an item's shared link and
/// the address of the cloud's web page that shows it.
void addLinkCommands(CLI::App& app);

}  // namespace tarnix::host
