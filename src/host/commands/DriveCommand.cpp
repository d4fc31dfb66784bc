// `tarnix drive add|list|remove`: the drives the desktop application would create.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>

#include "host/Commands.hpp"
#include "host/commands/AccountStore.hpp"
#include "host/commands/Commands.hpp"

namespace tarnix::host {
namespace {

struct DriveAddOptions {
  std::string account;
  std::string label;
  std::string cloudStartPath = "/";
  std::string driveType = common::DriveType::fileProvider;
};

void fail(const std::string& message) {
  std::cerr << "tarnix: " << message << "\n";
  setCommandExitStatus(1);
}

void runAdd(const DriveAddOptions& o) {
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  auto identifier = store->addDrive(o.account, o.label, o.cloudStartPath, o.driveType);
  if (!identifier) return fail(identifier.error().message);
  std::cout << *identifier << "\n";
}

void runList() {
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  auto drives = store->drives();
  if (!drives) return fail(drives.error().message);
  std::cout << "DRIVE\tLABEL\tACCOUNT\tDOMAIN\tUSER\tPATH\tTYPE\tCONNECTED\n";
  for (const auto& d : *drives) {
    std::cout << d.identifier << "\t" << d.label << "\t" << d.accountIdentifier << "\t" << d.domain
              << "\t" << d.userName << "\t" << d.cloudStartPath << "\t" << d.driveType << "\t"
              << (d.isConnected ? "yes" : "no") << "\n";
  }
}

void runRemove(const std::string& labelOrIdentifier) {
  auto store = AccountStore::open();
  if (!store) return fail(store.error().message);
  auto removed = store->removeDrive(labelOrIdentifier);
  if (!removed) return fail(removed.error().message);
  std::cout << "Removed drive " << removed->identifier << " (" << removed->label << ")\n";
}

}  // namespace

void addDriveCommands(CLI::App& app) {
  auto* drive = app.add_subcommand("drive", "Add, list and remove drives");
  drive->require_subcommand(1);

  auto options = std::make_shared<DriveAddOptions>();
  auto* add = drive->add_subcommand("add", "Add a drive and print its identifier");
  add->add_option("--account", options->account, "The account identifier")->required();
  add->add_option("--label", options->label, "The drive's label (unique)")->required();
  add->add_option("--path", options->cloudStartPath,
                  "The cloud folder shown as the drive's root, e.g. /Shared/Demo (default /)");
  add->add_option("--type", options->driveType, "FileProvider (default) or Nearbox");
  add->callback([options] { runAdd(*options); });

  drive->add_subcommand("list", "List the drives (never their credentials)")->callback(runList);

  auto labelOrIdentifier = std::make_shared<std::string>();
  auto* remove = drive->add_subcommand("remove", "Remove a drive");
  remove->add_option("drive", *labelOrIdentifier, "The drive's label or identifier")->required();
  remove->callback([labelOrIdentifier] { runRemove(*labelOrIdentifier); });
}

}  // namespace tarnix::host
