// `tarnix ls DRIVE [PATH]` and `tarnix stat DRIVE PATH`: a drive's items as the provider
// presents them, each folder on the path listed from the cloud when it was never listed or
// its listing is stale (see DomainSession).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

#include "base/Date.hpp"
#include "host/Commands.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"

namespace tarnix::host {
namespace {

void fail(const std::string& message) {
  std::fprintf(stderr, "tarnix: %s\n", message.c_str());
  setCommandExitStatus(1);
}

std::string dateText(const std::optional<base::Date>& date) {
  return date ? base::formatISO8601(*date) : std::string("-");
}

std::string lowercased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string capabilityNames(fp::ItemCapabilities capabilities) {
  static const std::pair<fp::ItemCapabilities, const char*> kNames[] = {
      {fp::ItemCapabilities::allowsReading, "reading"},
      {fp::ItemCapabilities::allowsWriting, "writing"},
      {fp::ItemCapabilities::allowsReparenting, "reparenting"},
      {fp::ItemCapabilities::allowsRenaming, "renaming"},
      {fp::ItemCapabilities::allowsTrashing, "trashing"},
      {fp::ItemCapabilities::allowsDeleting, "deleting"},
      {fp::ItemCapabilities::allowsEvicting, "evicting"},
  };
  std::string text;
  for (const auto& [bit, name] : kNames) {
    if (!fp::contains(capabilities, bit)) continue;
    if (!text.empty()) text += ' ';
    text += name;
  }
  return text.empty() ? "none" : text;
}

// One line per child, folders first by name: kind, size, modification date, name.
void list(const std::string& drive, const std::string& path) {
  auto session = DomainSession::open(drive);
  if (!session) return fail(session.error());
  auto target = (*session)->itemAtPath(path);
  if (!target) return fail(target.error());
  if (!(*target)->isFolder()) {
    const auto& item = **target;
    std::printf("- %12lld %s %s\n", static_cast<long long>(item.documentSize().value_or(0)),
                dateText(item.contentModificationDate()).c_str(), item.filename().c_str());
    return;
  }
  auto children = (*session)->children(**target, path);
  if (!children) return fail(children.error());
  std::ranges::sort(*children, [](const fp::ItemPtr& a, const fp::ItemPtr& b) {
    if (a->isFolder() != b->isFolder()) return a->isFolder();
    return lowercased(a->filename()) < lowercased(b->filename());
  });
  for (const auto& item : *children) {
    const std::string size =
        item->isFolder() ? "-" : std::to_string(item->documentSize().value_or(0));
    std::printf("%c %12s %s %s%s\n", item->isFolder() ? 'd' : '-', size.c_str(),
                dateText(item->contentModificationDate()).c_str(), item->filename().c_str(),
                item->isFolder() ? "/" : "");
  }
}

void stat(const std::string& drive, const std::string& path) {
  auto session = DomainSession::open(drive);
  if (!session) return fail(session.error());
  auto found = (*session)->itemAtPath(path);
  if (!found) return fail(found.error());
  const auto& item = **found;
  const auto version = item.itemVersion();
  std::printf("name: %s\n", item.filename().c_str());
  std::printf("identifier: %s\n", item.itemIdentifier().rawValue().c_str());
  std::printf("parent: %s\n", item.parentItemIdentifier().rawValue().c_str());
  std::printf("type: %s\n", item.isFolder() ? "folder" : "file");
  if (auto size = item.documentSize()) std::printf("size: %lld\n", static_cast<long long>(*size));
  std::printf("created: %s\n", dateText(item.creationDate()).c_str());
  std::printf("modified: %s\n", dateText(item.contentModificationDate()).c_str());
  std::printf("capabilities: %s\n", capabilityNames(item.capabilities()).c_str());
  std::printf("content version: %s\n",
              version.contentVersion.empty() ? "-" : version.contentVersion.c_str());
  std::printf("metadata version: %s\n", version.metadataVersion.c_str());
  std::printf("content policy: %lld\n", static_cast<long long>(item.contentPolicy()));
  const auto info = item.userInfo();
  if (auto owner = info.find("lockOwner"); owner != info.end() && owner->is_string()) {
    const bool own = info.value("currentUserOwnsLock", false);
    const auto name = owner->get<std::string>();
    std::printf("locked by: %s\n", own            ? "you"
                                   : name.empty() ? "another user (not named yet)"
                                                  : name.c_str());
  }
  std::printf("user info: %s\n", info.dump().c_str());
  for (const auto& decoration : item.decorations()) {
    std::printf("decoration: %s\n", decoration.c_str());
  }
}

}  // namespace

void addItemsCommands(CLI::App& app) {
  auto* ls = app.add_subcommand("ls", "List a folder of a drive");
  auto lsDrive = std::make_shared<std::string>();
  auto lsPath = std::make_shared<std::string>("/");
  ls->add_option("drive", *lsDrive, "The drive's identifier or label")->required();
  ls->add_option("path", *lsPath, "The folder, from the drive's root");
  ls->callback([lsDrive, lsPath] { list(*lsDrive, *lsPath); });

  auto* st = app.add_subcommand("stat", "Show an item of a drive");
  auto stDrive = std::make_shared<std::string>();
  auto stPath = std::make_shared<std::string>();
  st->add_option("drive", *stDrive, "The drive's identifier or label")->required();
  st->add_option("path", *stPath, "The item, from the drive's root")->required();
  st->callback([stDrive, stPath] { stat(*stDrive, *stPath); });
}

}  // namespace tarnix::host
