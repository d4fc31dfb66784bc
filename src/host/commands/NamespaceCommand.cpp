// `tarnix mkdir`, `mv`, `rm`, `rmdir` and `put`: changes to a drive's folders, names and files.
// A mount that
// serves the drive carries them out, on its mount point, so that its journal and caches see
// them; otherwise the command serves the drive itself (holding its lock) and hands each change
// to the provider. Either way a failure names the path as the user gave it with the cause, the
// other paths are still tried, and the command ends with status 1.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ranges>
#include <string>
#include <thread>
#include <vector>

#include "base/Uuid.hpp"
#include "host/Commands.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"
#include "host/commands/ServedDrive.hpp"

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;

// How long a command waits for a mount that holds the drive to be mounted.
constexpr auto kMountWait = std::chrono::seconds(30);

void fail(const std::string& message) {
  std::fprintf(stderr, "tarnix: %s\n", message.c_str());
  setCommandExitStatus(1);
}

/// A path on the drive as its names, from the root.
using Names = std::vector<std::string>;

std::string joined(const Names& names) {
  std::string path;
  for (const auto& name : names) path += "/" + name;
  return path.empty() ? "/" : path;
}

std::string lowercased(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Whether `inner` is `outer` or lies below it, names compared without case (as the cloud does).
bool within(const Names& inner, const Names& outer) {
  if (inner.size() < outer.size()) return false;
  return std::ranges::equal(
      outer, inner | std::views::take(outer.size()),
      [](const auto& a, const auto& b) { return lowercased(a) == lowercased(b); });
}

/// What to remove at a path: a file (`rm`), a folder that must be empty (`rmdir`), or
/// anything with everything under it (`rm -r`).
enum class Removal { file, emptyFolder, recursive };

/// One way of carrying out changes. Each returns none, or the sentence of the failure
/// ("PATH: cause"). The root is never removed nor moved (callers see to that).
class Changer {
 public:
  virtual ~Changer() = default;
  virtual std::optional<std::string> makeFolder(const std::string& given, const Names& names) = 0;
  virtual std::optional<std::string> remove(const std::string& given, const Names& names,
                                            Removal removal) = 0;
  virtual std::optional<std::string> move(const std::string& givenSource, const Names& source,
                                          const std::string& givenDestination,
                                          const Names& destination) = 0;
  /// Uploads the local file as the file at `names` (a new version when one is there); returns
  /// once the cloud has it.
  virtual std::optional<std::string> put(const fs::path& local, const std::string& given,
                                         const Names& names) = 0;
};

std::string because(const std::string& given, int errnoValue) {
  return given + ": " + std::strerror(errnoValue);
}

// A file's bytes to `out` in pieces, with a progress bar on a terminal.
std::optional<std::string> copyWithProgress(const fs::path& local, int out,
                                            const std::string& shown) {
  const int in = ::open(local.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return because(local.string(), errno);
  struct stat st {};
  (void)::fstat(in, &st);
  const bool bar = ::isatty(STDERR_FILENO) != 0;
  std::vector<char> buffer(1 << 20);
  std::int64_t done = 0;
  std::optional<std::string> failed;
  while (true) {
    const auto got = ::read(in, buffer.data(), buffer.size());
    if (got < 0) {
      failed = because(local.string(), errno);
      break;
    }
    if (got == 0) break;
    for (ssize_t written = 0; written < got;) {
      const auto put =
          ::write(out, buffer.data() + written, static_cast<std::size_t>(got - written));
      if (put < 0) {
        failed = because(shown, errno);
        break;
      }
      written += put;
    }
    if (failed) break;
    done += got;
    if (bar && st.st_size > 0)
      std::fprintf(stderr, "\r%s: %3lld%%", shown.c_str(),
                   static_cast<long long>(done * 100 / st.st_size));
  }
  if (bar) std::fprintf(stderr, "\n");
  ::close(in);
  return failed;
}

// Through the mount point of the process that serves the drive.
class MountChanger final : public Changer {
 public:
  explicit MountChanger(fs::path mountPoint) : mountPoint_(std::move(mountPoint)) {}

  std::optional<std::string> makeFolder(const std::string& given, const Names& names) override {
    if (::mkdir(at(names).c_str(), 0777) != 0) return because(given, errno);
    return std::nullopt;
  }

  std::optional<std::string> remove(const std::string& given, const Names& names,
                                    Removal removal) override {
    const fs::path path = at(names);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return because(given, errno);
    if (!S_ISDIR(st.st_mode)) {
      if (removal == Removal::emptyFolder) return because(given, ENOTDIR);
      if (::unlink(path.c_str()) != 0) return because(given, errno);
      return std::nullopt;
    }
    if (removal == Removal::file) return because(given, EISDIR);
    if (removal == Removal::recursive) {
      if (auto failed = removeContents(given, path)) return failed;
    }
    if (::rmdir(path.c_str()) != 0) return because(given, errno);
    return std::nullopt;
  }

  std::optional<std::string> move(const std::string& givenSource, const Names& source,
                                  const std::string& givenDestination,
                                  const Names& destination) override {
    fs::path target = at(destination);
    std::string shown = givenDestination;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !source.empty()) {
      target /= source.back();
      shown += "/" + source.back();
    }
    if (::renameat2(AT_FDCWD, at(source).c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) !=
        0) {
      const int error = errno;
      return because(error == EEXIST || error == ENOTEMPTY ? shown : givenSource, error);
    }
    return std::nullopt;
  }

  std::optional<std::string> put(const fs::path& local, const std::string& given,
                                 const Names& names) override {
    fs::path target = at(names);
    std::string shown = given;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      target /= local.filename();
      shown += "/" + local.filename().string();
    }
    const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0) return because(shown, errno);
    auto failed = copyWithProgress(local, out, shown);
    // Closing hands the file to the mount's uploads.
    if (::close(out) != 0 && !failed) failed = because(shown, errno);
    if (failed) return failed;
    // Done once the mount says the cloud has it, or why the cloud refused it; on a terminal,
    // how far the upload is meanwhile.
    const bool bar = ::isatty(STDERR_FILENO) != 0;
    const auto endBar = [&] {
      if (bar) std::fputc('\n', stderr);
    };
    char value[4096];
    while (true) {
      if (const auto size =
              ::getxattr(target.c_str(), "user.tarnix.uploadProgress", value, sizeof(value) - 1);
          bar && size > 0) {
        value[size] = '\0';
        long long sent = 0, total = 0;
        if (std::sscanf(value, "%lld/%lld", &sent, &total) == 2 && total > 0)
          std::fprintf(stderr, "\r%s: uploading %3lld%%", shown.c_str(), sent * 100 / total);
      }
      if (const auto size =
              ::getxattr(target.c_str(), "user.tarnix.uploadError", value, sizeof(value));
          size >= 0) {
        endBar();
        return shown +
               ": the cloud refused it: " + std::string(value, static_cast<std::size_t>(size));
      }
      if (::getxattr(target.c_str(), "user.tarnix.uploadPending", value, sizeof(value)) < 0) {
        const int error = errno;
        endBar();
        return error == ENODATA ? std::nullopt : std::optional(because(shown, error));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

 private:
  fs::path at(const Names& names) const {
    fs::path path = mountPoint_;
    for (const auto& name : names) path /= name;
    return path;
  }

  // Depth first; the first failure ends the walk.
  std::optional<std::string> removeContents(const std::string& given, const fs::path& folder) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
      entries.push_back(it->path());
    if (ec) return given + ": " + ec.message();
    for (const auto& entry : entries) {
      const std::string shown = given + "/" + entry.filename().string();
      struct stat st {};
      if (::lstat(entry.c_str(), &st) != 0) return because(shown, errno);
      if (S_ISDIR(st.st_mode)) {
        if (auto failed = removeContents(shown, entry)) return failed;
        if (::rmdir(entry.c_str()) != 0) return because(shown, errno);
      } else if (::unlink(entry.c_str()) != 0) {
        return because(shown, errno);
      }
    }
    return std::nullopt;
  }

  fs::path mountPoint_;
};

// Through the provider of the drive this command serves.
class ProviderChanger final : public Changer {
 public:
  explicit ProviderChanger(DomainSession& session) : session_(session) {}

  std::optional<std::string> makeFolder(const std::string& given, const Names& names) override {
    if (names.empty()) return because(given, EEXIST);
    const Names parentNames(names.begin(), names.end() - 1);
    auto parent = folderAt(given, parentNames);
    if (!parent) return parent.error();
    auto existing = session_.child(**parent, joined(parentNames), names.back());
    if (!existing) return existing.error();
    if (*existing) return because(given, EEXIST);

    fp::ItemProperties properties;
    properties.itemIdentifier = fp::ItemIdentifier(base::makeUuid());
    properties.parentItemIdentifier = (*parent)->itemIdentifier();
    properties.filename = names.back();
    properties.contentType = std::string(fp::kContentTypeFolder);
    auto created = session_.calls().createItem(
        fp::ItemSnapshot::make(std::move(properties)),
        fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier, std::nullopt);
    if (!created) return refused(given, created.error());
    return std::nullopt;
  }

  std::optional<std::string> remove(const std::string& given, const Names& names,
                                    Removal removal) override {
    auto item = itemAt(given, names);
    if (!item) return item.error();
    const bool folder = (*item)->isFolder();
    if (folder && removal == Removal::file) return because(given, EISDIR);
    if (!folder && removal == Removal::emptyFolder) return because(given, ENOTDIR);
    if (folder && removal == Removal::emptyFolder) {
      auto children = session_.children(**item, joined(names));
      if (!children) return children.error();
      if (!children->empty()) return because(given, ENOTEMPTY);
    }
    const auto options = folder && removal == Removal::recursive ? fp::DeleteItemOptions::recursive
                                                                 : fp::DeleteItemOptions::none;
    auto deleted =
        session_.calls().deleteItem((*item)->itemIdentifier(), (*item)->itemVersion(), options);
    if (!deleted) return refused(given, deleted.error());
    return std::nullopt;
  }

  std::optional<std::string> move(const std::string& givenSource, const Names& source,
                                  const std::string& givenDestination,
                                  const Names& destination) override {
    auto item = itemAt(givenSource, source);
    if (!item) return item.error();

    // An existing folder takes the item in under its own name; else the destination is the
    // new path, in an existing folder.
    Names parentNames = destination;
    std::string name = (*item)->filename();
    std::string shown = givenDestination + "/" + name;
    fp::ItemPtr parent;
    auto existing = session_.lookUp(joined(destination));
    // Names match without case: a new spelling of the item's own name renames it.
    const bool itself = existing && (*existing)->itemIdentifier() == (*item)->itemIdentifier();
    if (existing && !itself && (*existing)->isFolder()) {
      parent = *existing;
    } else if (existing && !itself) {
      return because(givenDestination, EEXIST);
    } else if (itself || existing.error().errnoValue == ENOENT) {
      parentNames.pop_back();
      name = destination.back();
      shown = givenDestination;
      auto folder = folderAt(givenDestination, parentNames);
      if (!folder) return folder.error();
      parent = *folder;
    } else {
      return failure(givenDestination, existing.error());
    }
    if ((*item)->isFolder() && within(parentNames, source))
      return givenSource + ": cannot move a folder into itself";
    auto taken = session_.child(*parent, joined(parentNames), name);
    if (!taken) return taken.error();
    if (*taken && (*taken)->itemIdentifier() != (*item)->itemIdentifier())
      return because(shown, EEXIST);

    auto properties = fp::ItemProperties::of(**item);
    auto fields = fp::ItemFields::none;
    if (name != properties.filename) fields = fields | fp::ItemFields::filename;
    if (parent->itemIdentifier() != properties.parentItemIdentifier)
      fields = fields | fp::ItemFields::parentItemIdentifier;
    if (fields == fp::ItemFields::none) return std::nullopt;
    properties.filename = name;
    properties.parentItemIdentifier = parent->itemIdentifier();
    auto moved = session_.calls().modifyItem(fp::ItemSnapshot::make(std::move(properties)),
                                             (*item)->itemVersion(), fields, std::nullopt);
    if (!moved) return refused(givenSource, moved.error());
    return std::nullopt;
  }

  std::optional<std::string> put(const fs::path& local, const std::string& given,
                                 const Names& names) override {
    // Into an existing folder under the local name; else at the path, in an existing folder.
    Names parentNames = names;
    std::string name;
    std::string shown = given;
    fp::ItemPtr existing;
    auto found = session_.lookUp(joined(names));
    if (found && (*found)->isFolder()) {
      name = local.filename().string();
      shown += "/" + name;
      auto inside = session_.child(**found, joined(names), name);
      if (!inside) return inside.error();
      existing = *inside;
    } else if (found || found.error().errnoValue == ENOENT) {
      if (names.empty()) return because(given, EISDIR);
      if (found) existing = *found;
      name = names.back();
      parentNames.pop_back();
    } else {
      return failure(given, found.error());
    }
    if (existing && existing->isFolder()) return because(shown, EISDIR);
    auto parent = folderAt(given, parentNames);
    if (!parent) return parent.error();

    // The provider reads a copy of its own: the user's file may change meanwhile.
    const fs::path snapshot = fs::temp_directory_path() / ("tarnix-put-" + base::makeUuid());
    const int out = ::open(snapshot.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) return because(snapshot.string(), errno);
    auto failed = copyWithProgress(local, out, shown);
    ::close(out);
    struct Cleanup {
      fs::path path;
      ~Cleanup() {
        std::error_code ignored;
        fs::remove(path, ignored);
      }
    } cleanup{snapshot};
    if (failed) return failed;
    std::error_code ec;
    const auto size = fs::file_size(snapshot, ec);
    struct stat localStat {};
    const bool dated = ::stat(local.c_str(), &localStat) == 0;

    auto properties = existing ? fp::ItemProperties::of(*existing) : fp::ItemProperties{};
    if (!existing) properties.itemIdentifier = fp::ItemIdentifier(base::makeUuid());
    properties.parentItemIdentifier = (*parent)->itemIdentifier();
    properties.filename = name;
    properties.documentSize = static_cast<std::int64_t>(size);
    if (dated)
      properties.contentModificationDate =
          std::chrono::system_clock::time_point(std::chrono::seconds(localStat.st_mtim.tv_sec));
    const auto uploads = session_.calls().withTimeout(std::chrono::hours(12));
    const auto fields = fp::ItemFields::contents | fp::ItemFields::contentModificationDate;
    auto sent = existing ? uploads->modifyItem(fp::ItemSnapshot::make(std::move(properties)),
                                               existing->itemVersion(), fields, snapshot)
                         : uploads->createItem(fp::ItemSnapshot::make(std::move(properties)),
                                               fields | fp::ItemFields::filename |
                                                   fp::ItemFields::parentItemIdentifier,
                                               snapshot);
    if (!sent) return refused(shown, sent.error());
    return std::nullopt;
  }

 private:
  static std::string failure(const std::string& given,
                             const DomainSession::LookupFailure& failure) {
    return failure.errnoValue ? because(given, failure.errnoValue) : failure.message;
  }

  // The provider's refusal: the errno it stands for, or its own words where that says little.
  static std::string refused(const std::string& given, const CallError& error) {
    if (!error.error) return given + ": the provider did not answer in time";
    const int value = error.errnoValue();
    if (value == EIO) return given + ": " + error.error->localizedDescription();
    return because(given, value);
  }

  std::expected<fp::ItemPtr, std::string> itemAt(const std::string& given, const Names& names) {
    auto found = session_.lookUp(joined(names));
    if (!found) return std::unexpected(failure(given, found.error()));
    return std::move(*found);
  }

  std::expected<fp::ItemPtr, std::string> folderAt(const std::string& given, const Names& names) {
    auto found = itemAt(given, names);
    if (found && !(*found)->isFolder()) return std::unexpected(because(given, ENOTDIR));
    return found;
  }

  DomainSession& session_;
};

// The names of a drive path; "." is dropped and ".." refused, for a path never leaves the drive.
std::expected<Names, std::string> namesOf(const std::string& path) {
  Names names;
  for (auto part : path | std::views::split('/')) {
    std::string name(part.begin(), part.end());
    if (name.empty() || name == ".") continue;
    if (name == "..") return std::unexpected(path + ": \"..\" cannot be used in a drive path");
    names.push_back(std::move(name));
  }
  return names;
}

std::optional<std::string> rootUntouchable(const std::string& given, const std::string& what) {
  return given + ": the drive's root cannot be " + what;
}

// Reaches whoever carries out changes to `drive` and runs `body` with it; `body` reports
// its own failures.
void withChanger(const std::string& drive, const std::function<void(Changer&)>& body) {
  auto resolved = resolveDrive(drive);
  if (!resolved) return fail(resolved.error());
  auto lease = leaseForChange(*resolved, kMountWait);
  if (!lease) return fail(lease.error());
  if (lease->server) {
    MountChanger changer(lease->server->mountPoint);
    return body(changer);
  }
  auto session = DomainSession::open(*resolved, std::move(lease->lock));
  if (!session) return fail(session.error());
  ProviderChanger changer(**session);
  body(changer);
}

using PathChange = std::function<std::optional<std::string>(Changer&, const std::string& given,
                                                            const Names& names)>;

// Runs `change` for each path; a path that cannot be used fails alone.
void forEachPath(const std::string& drive, const std::vector<std::string>& paths,
                 const PathChange& change) {
  withChanger(drive, [&](Changer& changer) {
    for (const auto& path : paths) {
      auto names = namesOf(path);
      if (!names) {
        fail(names.error());
        continue;
      }
      if (auto failed = change(changer, path, *names)) fail(*failed);
    }
  });
}

// `tarnix NAME [flags] DRIVE PATH...`; `change` sees the flags' values as they are once the
// arguments are parsed.
CLI::App* addPathsCommand(CLI::App& app, const std::string& name, const std::string& description,
                          const std::string& pathsDescription, PathChange change) {
  auto* command = app.add_subcommand(name, description);
  auto drive = std::make_shared<std::string>();
  auto paths = std::make_shared<std::vector<std::string>>();
  command->add_option("drive", *drive, "The drive's identifier or label")->required();
  command->add_option("paths", *paths, pathsDescription)->required();
  command->callback(
      [drive, paths, change = std::move(change)] { forEachPath(*drive, *paths, change); });
  return command;
}

}  // namespace

void addNamespaceCommands(CLI::App& app) {
  addPathsCommand(app, "mkdir", "Make folders on a drive", "The new folders, from the drive's root",
                  [](Changer& changer, const std::string& given, const Names& names) {
                    return changer.makeFolder(given, names);
                  });

  auto recursive = std::make_shared<bool>(false);
  auto* rm = addPathsCommand(
      app, "rm", "Remove files (and with -r folders) from a drive",
      "The items, from the drive's root",
      [recursive](Changer& changer, const std::string& given, const Names& names) {
        if (names.empty()) return rootUntouchable(given, "removed");
        return changer.remove(given, names, *recursive ? Removal::recursive : Removal::file);
      });
  rm->add_flag("-r,-R,--recursive", *recursive, "Remove folders with everything in them");

  addPathsCommand(app, "rmdir", "Remove empty folders from a drive",
                  "The folders, from the drive's root",
                  [](Changer& changer, const std::string& given, const Names& names) {
                    if (names.empty()) return rootUntouchable(given, "removed");
                    return changer.remove(given, names, Removal::emptyFolder);
                  });

  auto* put = app.add_subcommand(
      "put",
      "Upload a local file to a drive (into PATH when PATH is a folder); done once the "
      "cloud has it");
  auto putDrive = std::make_shared<std::string>();
  auto putLocal = std::make_shared<std::string>();
  auto putPath = std::make_shared<std::string>();
  put->add_option("drive", *putDrive, "The drive's identifier or label")->required();
  put->add_option("local", *putLocal, "The file on this machine")->required();
  put->add_option("path", *putPath, "Its path on the drive, or the folder to put it in")
      ->required();
  put->callback([putDrive, putLocal, putPath] {
    std::error_code ec;
    if (!fs::is_regular_file(*putLocal, ec))
      return fail(*putLocal + ": " + (ec ? ec.message() : std::string("not a file")));
    auto names = namesOf(*putPath);
    if (!names) return fail(names.error());
    withChanger(*putDrive, [&](Changer& changer) {
      if (auto failed = changer.put(*putLocal, *putPath, *names)) fail(*failed);
    });
  });

  auto* mv = app.add_subcommand(
      "mv", "Rename or move an item of a drive (into DEST when DEST is a folder)");
  auto mvDrive = std::make_shared<std::string>();
  auto mvSource = std::make_shared<std::string>();
  auto mvDestination = std::make_shared<std::string>();
  mv->add_option("drive", *mvDrive, "The drive's identifier or label")->required();
  mv->add_option("source", *mvSource, "The item, from the drive's root")->required();
  mv->add_option("dest", *mvDestination, "Its new path, or the folder to move it into")->required();
  mv->callback([mvDrive, mvSource, mvDestination] {
    auto source = namesOf(*mvSource);
    if (!source) return fail(source.error());
    if (source->empty()) return fail(*rootUntouchable(*mvSource, "moved"));
    auto destination = namesOf(*mvDestination);
    if (!destination) return fail(destination.error());
    withChanger(*mvDrive, [&](Changer& changer) {
      if (auto failed = changer.move(*mvSource, *source, *mvDestination, *destination))
        fail(*failed);
    });
  });
}

}  // namespace tarnix::host
