#include "fileprovider/sync/OrphanedFilesCleanup.hpp"

#include <sys/stat.h>

#include <fstream>
#include <string>

namespace tarnix::fileprovider {

namespace fs = std::filesystem;

namespace {

base::Date dateOf(const struct timespec& time) {
  return base::Date(std::chrono::duration_cast<base::Date::duration>(
      std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec)));
}

// A ".timestamp" holds seconds since 1970 as text.
std::optional<base::Date> readTimestamp(const fs::path& folder) {
  std::ifstream in(folder / ".timestamp");
  double seconds = 0;
  if (!(in >> seconds) || seconds < 0) return std::nullopt;
  return base::Date(
      std::chrono::duration_cast<base::Date::duration>(std::chrono::duration<double>(seconds)));
}

}  // namespace

std::size_t OrphanedFilesCleanup::run(base::Date now) {
  return cleanupTemporaryFiles(now) + cleanupGraveyard(now);
}

std::optional<bool> OrphanedFilesCleanup::isOldTemporaryFile(const fs::path& file,
                                                             base::Date now) const {
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0) return std::nullopt;
  if (!S_ISREG(status.st_mode)) return false;
  const auto newest = std::max(dateOf(status.st_mtim), dateOf(status.st_ctim));
  return now - newest > kTemporaryFileAge;
}

bool OrphanedFilesCleanup::shouldRemoveGraveyardFolder(const fs::path& folder,
                                                       base::Date now) const {
  auto stamp = readTimestamp(folder);
  if (!stamp) return true;
  return now - *stamp > kGraveyardFolderAge;
}

std::size_t OrphanedFilesCleanup::cleanupTemporaryFiles(base::Date now) {
  logger_.info("Starting temporary files cleanup...");
  std::size_t removed = 0;
  std::error_code error;
  const auto inUse = openFiles();
  for (fs::directory_iterator it(temporaryDirectory_, error), end; !error && it != end;
       it.increment(error)) {
    const auto& path = it->path();
    auto old = isOldTemporaryFile(path, now);
    if (!old) {
      logger_.warning("Resolving resource values failed, old tmp file will be left",
                      {{"path", path.filename().string()}});
      continue;
    }
    if (!*old) continue;
    std::error_code canonicalError;
    if (inUse.contains(fs::canonical(path, canonicalError))) continue;
    std::error_code removeError;
    if (!fs::remove(path, removeError) || removeError) {
      logger_.warning("Deleting file failed, old tmp file will be left",
                      {{"path", path.filename().string()}, {"error", removeError.message()}});
      continue;
    }
    ++removed;
  }
  logger_.info("Temporary files cleanup complete",
               {{"removed", static_cast<std::int64_t>(removed)}});
  return removed;
}

std::size_t OrphanedFilesCleanup::cleanupGraveyard(base::Date now, std::optional<fs::path> at) {
  const auto graveyard = at ? at : graveyardDirectory_;
  if (!graveyard) return 0;
  const auto started = std::chrono::steady_clock::now();
  logger_.info("Starting graveyard cleanup...");
  std::size_t removed = 0;
  std::size_t total = 0;
  std::error_code error;
  for (fs::directory_iterator it(*graveyard, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code typeError;
    if (!it->is_directory(typeError) || it->is_symlink(typeError)) continue;
    ++total;
    const auto& folder = it->path();
    if (!readTimestamp(folder)) {
      logger_.warning("Graveyard folder has no readable timestamp, will be removed",
                      {{"folder", folder.filename().string()}});
    } else if (!shouldRemoveGraveyardFolder(folder, now)) {
      continue;
    }
    std::error_code removeError;
    fs::remove_all(folder, removeError);
    if (removeError) {
      logger_.warning("Deleting graveyard folder failed",
                      {{"folder", folder.filename().string()}, {"error", removeError.message()}});
      continue;
    }
    ++removed;
  }
  logger_.info(
      "Graveyard cleanup complete",
      {{"total", static_cast<std::int64_t>(total)},
       {"duration",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()}});
  return removed;
}

std::set<fs::path> OrphanedFilesCleanup::openFiles() {
  std::set<fs::path> open;
  std::error_code error;
  for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::error_code readError;
    auto target = fs::read_symlink(it->path(), readError);
    if (!readError) open.insert(target);
  }
  return open;
}

}  // namespace tarnix::fileprovider
