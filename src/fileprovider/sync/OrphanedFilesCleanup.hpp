#pragma once
// Removes what earlier runs left on disk: old files directly in the container's temporary
// folder (downloads and uploads that never finished) and old folders of the graveyard, each of
// which carries a ".timestamp" file with the time it was made.
//
// Nothing in use is removed: a temporary file counts as old only by the newest of its
// modification and status-change times, so a file still being written never is; a file this
// process holds open is left whatever its age; sub-folders of the temporary folder (resume
// data, a drive's working folders) are never entered.
//
// Not thread-safe: one sweep at a time (the globals run one at start).

#include <chrono>
#include <filesystem>
#include <optional>
#include <set>

#include "base/Date.hpp"
#include "base/Logger.hpp"

namespace tarnix::fileprovider {

class OrphanedFilesCleanup {
 public:
  /// Temporary files untouched for this long are removed.
  static constexpr std::chrono::hours kTemporaryFileAge{24};
  /// Graveyard folders older than this are removed.
  static constexpr std::chrono::hours kGraveyardFolderAge{24 * 7};

  OrphanedFilesCleanup(std::filesystem::path temporaryDirectory,
                       std::optional<std::filesystem::path> graveyardDirectory, base::Logger logger)
      : temporaryDirectory_(std::move(temporaryDirectory)),
        graveyardDirectory_(std::move(graveyardDirectory)),
        logger_(std::move(logger)) {}

  /// Both sweeps; returns how many entries were removed.
  std::size_t run(base::Date now);
  std::size_t cleanupTemporaryFiles(base::Date now);
  /// The graveyard at `at` (the configured one when none).
  std::size_t cleanupGraveyard(base::Date now,
                               std::optional<std::filesystem::path> at = std::nullopt);

  /// A regular file whose newest change lies more than kTemporaryFileAge before `now`. None
  /// when its dates cannot be read.
  std::optional<bool> isOldTemporaryFile(const std::filesystem::path& file, base::Date now) const;
  /// False for a folder with a readable timestamp younger than kGraveyardFolderAge.
  bool shouldRemoveGraveyardFolder(const std::filesystem::path& folder, base::Date now) const;

 private:
  /// The files this process has open (by their resolved paths).
  static std::set<std::filesystem::path> openFiles();

  std::filesystem::path temporaryDirectory_;
  std::optional<std::filesystem::path> graveyardDirectory_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
