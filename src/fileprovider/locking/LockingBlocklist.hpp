#pragma once
// Processes and file name extensions whose open files are never locked automatically: the
// built-in defaults, the processes the desktop application excludes and the cloud
// configuration's "macExcludedFromLocking". Comparison ignores ASCII case; extensions are
// taken without their dot.

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tarnix::fileprovider {

struct LockingBlocklist {
  std::set<std::string> defaultProcessNames;
  std::set<std::string> defaultFilenameExtensions;
  std::set<std::string> processNames;
  std::set<std::string> filenameExtensions;

  /// The defaults only: indexers, thumbnailers, file managers, backup and sync tools that read
  /// files without editing them, and extensions of files nobody edits in place.
  static LockingBlocklist makeDefault();
  /// The defaults plus `excluded`: entries starting with "." (or "*.") are extensions, the
  /// others process names.
  static LockingBlocklist make(const std::vector<std::string>& excluded);

  bool blocksProcess(std::string_view processName) const;
  bool blocksFilename(std::string_view filename) const;
  /// Either of the two.
  bool blocks(std::string_view processName, std::string_view filename) const;
  bool operator==(const LockingBlocklist&) const = default;
};

}  // namespace tarnix::fileprovider
