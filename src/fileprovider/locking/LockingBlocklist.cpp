#include "fileprovider/locking/LockingBlocklist.hpp"

#include <algorithm>
#include <cctype>

namespace tarnix::fileprovider {

namespace {

std::string lowered(std::string_view text) {
  std::string out(text);
  std::ranges::transform(out, out.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::string trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

// The kernel keeps at most this many characters of a process's name ("tracker-miner-f").
constexpr std::size_t kKernelNameLength = 15;

bool contains(const std::set<std::string>& set, const std::string& key) {
  if (set.contains(key)) return true;
  if (key.size() != kKernelNameLength) return false;
  // A name cut by the kernel matches the entries it starts.
  auto candidate = set.lower_bound(key);
  return candidate != set.end() && candidate->starts_with(key);
}

}  // namespace

LockingBlocklist LockingBlocklist::makeDefault() {
  LockingBlocklist list;
  list.defaultProcessNames = {"tracker-miner-fs-3",
                              "tracker-extract-3",
                              "baloo_file",
                              "baloo_file_extractor",
                              "nautilus",
                              "dolphin",
                              "thunar",
                              "nemo",
                              "gvfsd-metadata",
                              "tumblerd",
                              "updatedb",
                              "rsync",
                              "deja-dup",
                              "duplicity",
                              "clamd",
                              "clamscan",
                              "file-roller",
                              "tarnix"};
  list.defaultFilenameExtensions = {"tmp",        "swp",  "swx", "part",
                                    "crdownload", "lock", "log", "ds_store"};
  return list;
}

LockingBlocklist LockingBlocklist::make(const std::vector<std::string>& excluded) {
  auto list = makeDefault();
  for (const auto& raw : excluded) {
    auto entry = lowered(trimmed(raw));
    if (entry.starts_with("*.")) entry.erase(0, 1);
    if (entry.starts_with('.')) {
      entry.erase(0, 1);
      if (!entry.empty()) list.filenameExtensions.insert(entry);
    } else if (!entry.empty()) {
      list.processNames.insert(entry);
    }
  }
  return list;
}

bool LockingBlocklist::blocksProcess(std::string_view processName) const {
  const auto key = lowered(processName);
  return !key.empty() && (contains(defaultProcessNames, key) || contains(processNames, key));
}

bool LockingBlocklist::blocksFilename(std::string_view filename) const {
  const auto dot = filename.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == filename.size()) return false;
  const auto key = lowered(filename.substr(dot + 1));
  return contains(defaultFilenameExtensions, key) || contains(filenameExtensions, key);
}

bool LockingBlocklist::blocks(std::string_view processName, std::string_view filename) const {
  return blocksProcess(processName) || blocksFilename(filename);
}

}  // namespace tarnix::fileprovider
