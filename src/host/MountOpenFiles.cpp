#include "host/MountOpenFiles.hpp"

#include <vector>

namespace tarnix::host {

std::expected<std::optional<std::string>, std::string> MountOpenFiles::pathOf(ReplicaStore& store,
                                                                              Inode inode) {
  std::vector<std::string> names;
  // A damaged store could hold a cycle: no path is deeper than this.
  constexpr std::size_t kDeepest = 4096;
  while (inode != kRootInode) {
    auto entry = store.entry(inode);
    if (!entry) return std::unexpected(entry.error().description());
    if (!*entry || names.size() > kDeepest) return std::nullopt;
    names.push_back((*entry)->filename);
    inode = (*entry)->parentInode;
  }
  std::string path;
  for (auto name = names.rbegin(); name != names.rend(); ++name) path += "/" + *name;
  return path.empty() ? std::string("/") : path;
}

void MountOpenFiles::openFiles(std::function<void(Answer)> reply) {
  std::vector<fileprovider::LockingLSOFOpenFile> files;
  for (const auto& holder : bridge_->openFiles().holders()) {
    auto path = pathOf(*store_, holder.inode);
    // A failed read is no answer: an incomplete list would release locks of open files.
    if (!path)
      return reply(std::unexpected("the mount's store could not be read: " + path.error()));
    if (!*path) continue;
    fileprovider::LockingLSOFOpenFile file;
    file.pid = holder.pid;
    file.processName = holder.processName;
    file.filePath = std::move(**path);
    files.push_back(std::move(file));
  }
  reply(std::move(files));
}

}  // namespace tarnix::host
