// `tarnix get DRIVE PATH [DEST]` and `tarnix cat DRIVE PATH`: a file's contents fetched through
// the drive's provider, the way a host opens a file: down the path through enumerators, then
// fetchContents.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include "host/Commands.hpp"
#include "host/commands/Commands.hpp"
#include "host/commands/DomainSession.hpp"

namespace tarnix::host {
namespace {

// A transfer that makes no progress for this long is given up.
constexpr auto kStallTimeout = std::chrono::minutes(5);
// Files from this size on get a progress bar (on a terminal).
constexpr std::int64_t kProgressBarThreshold = 8 * 1024 * 1024;

void fail(const std::string& message) {
  std::fprintf(stderr, "tarnix: %s\n", message.c_str());
  setCommandExitStatus(1);
}

struct Fetched {
  std::optional<std::filesystem::path> url;
  std::optional<fp::Error> error;
};

void drawProgressBar(double fraction) {
  constexpr int kWidth = 40;
  const int filled = static_cast<int>(fraction * kWidth);
  std::string bar(static_cast<std::size_t>(filled), '#');
  bar.resize(kWidth, ' ');
  std::fprintf(stderr, "\r[%s] %3d%%", bar.c_str(), static_cast<int>(fraction * 100));
  std::fflush(stderr);
}

struct FetchedFile {
  /// In the provider's temporary folder; the caller owns it.
  std::filesystem::path location;
  /// The file's name on the drive.
  std::string filename;
};

// The file at `path`, fetched the way a host opens it.
std::expected<FetchedFile, std::string> fetchFile(DomainSession& session, const std::string& path) {
  auto found = session.itemAtPath(path);
  if (!found) return std::unexpected(found.error());
  const auto& item = *found;
  if (item->isFolder()) return std::unexpected(path + ": is a folder");

  auto promise = std::make_shared<std::promise<Fetched>>();
  auto future = promise->get_future();
  auto progress =
      session.extension().fetchContents(item->itemIdentifier(), item->itemVersion(), {},
                                        [promise](std::optional<std::filesystem::path> url,
                                                  fp::ItemPtr, std::optional<fp::Error> error) {
                                          promise->set_value({std::move(url), std::move(error)});
                                        });
  const bool showBar =
      ::isatty(STDERR_FILENO) == 1 && item->documentSize().value_or(0) >= kProgressBarThreshold;
  double lastFraction = -1;
  auto lastMove = std::chrono::steady_clock::now();
  while (future.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
    const double fraction = progress ? progress->fractionCompleted() : 0;
    if (fraction != lastFraction) {
      lastFraction = fraction;
      lastMove = std::chrono::steady_clock::now();
      if (showBar) drawProgressBar(fraction);
    } else if (std::chrono::steady_clock::now() - lastMove > kStallTimeout) {
      if (progress) progress->cancel();
      if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        return std::unexpected(path + ": the download stalled");
      }
      break;
    }
  }
  if (showBar) {
    drawProgressBar(1);
    std::fputc('\n', stderr);
  }
  auto fetched = future.get();
  if (fetched.error) return std::unexpected(path + ": " + fetched.error->localizedDescription());
  if (!fetched.url) return std::unexpected(path + ": no contents came back");
  return FetchedFile{*fetched.url, item->filename()};
}

void get(const std::string& drive, const std::string& path, const std::string& destination) {
  auto session = DomainSession::open(drive);
  if (!session) return fail(session.error());
  auto fetched = fetchFile(**session, path);
  if (!fetched) return fail(fetched.error());
  // The name comes from the cloud: it must stay one component of the destination folder.
  const auto& filename = fetched->filename;
  if (destination.empty() || std::filesystem::is_directory(destination)) {
    if (filename.empty() || filename == "." || filename == ".." ||
        filename.find('/') != std::string::npos || filename.find('\0') != std::string::npos) {
      std::error_code ignored;
      std::filesystem::remove(fetched->location, ignored);
      return fail(path + ": the file's name cannot be used here; give a destination file");
    }
  }
  const std::filesystem::path name = filename;
  std::filesystem::path target = destination.empty() ? name : std::filesystem::path(destination);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) target /= name;
  std::filesystem::rename(fetched->location, target, ec);
  if (ec) {
    // Across file systems: copy, then drop the fetched file.
    ec.clear();
    std::filesystem::copy_file(fetched->location, target,
                               std::filesystem::copy_options::overwrite_existing, ec);
    std::error_code ignored;
    std::filesystem::remove(fetched->location, ignored);
    if (ec) return fail(target.string() + ": " + ec.message());
  }
}

void cat(const std::string& drive, const std::string& path) {
  auto session = DomainSession::open(drive);
  if (!session) return fail(session.error());
  auto fetched = fetchFile(**session, path);
  if (!fetched) return fail(fetched.error());
  std::ifstream in(fetched->location, std::ios::binary);
  std::string buffer(1 << 16, '\0');
  bool written = true;
  while (in && written) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto count = static_cast<std::size_t>(in.gcount());
    written = std::fwrite(buffer.data(), 1, count, stdout) == count;
  }
  written = written && std::fflush(stdout) == 0;
  in.close();
  std::error_code ignored;
  std::filesystem::remove(fetched->location, ignored);
  if (!written) fail("writing to standard output failed");
}

}  // namespace

void addContentCommands(CLI::App& app) {
  auto* getCommand = app.add_subcommand("get", "Download a file of a drive");
  auto getDrive = std::make_shared<std::string>();
  auto getPath = std::make_shared<std::string>();
  auto getDestination = std::make_shared<std::string>();
  getCommand->add_option("drive", *getDrive, "The drive's identifier or label")->required();
  getCommand->add_option("path", *getPath, "The file, from the drive's root")->required();
  getCommand->add_option("dest", *getDestination,
                         "Where to write it (a file or a folder; the file's name by default)");
  getCommand->callback(
      [getDrive, getPath, getDestination] { get(*getDrive, *getPath, *getDestination); });

  auto* catCommand = app.add_subcommand("cat", "Write a file of a drive to standard output");
  auto catDrive = std::make_shared<std::string>();
  auto catPath = std::make_shared<std::string>();
  catCommand->add_option("drive", *catDrive, "The drive's identifier or label")->required();
  catCommand->add_option("path", *catPath, "The file, from the drive's root")->required();
  catCommand->callback([catDrive, catPath] { cat(*catDrive, *catPath); });
}

}  // namespace tarnix::host
