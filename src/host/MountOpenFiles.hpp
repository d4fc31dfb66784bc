#pragma once
// The mount's answer to "which files of this drive are open": the holders of the bridge's table
// of open handles, each named by its path from the drive's root ("/Shared/Report.docx"), as the
// locking service finds items by path. A handle whose file is gone from the store meanwhile is
// left out.
//
// Thread-safe; answers on the calling thread.

#include <expected>
#include <memory>
#include <optional>
#include <string>

#include "fileprovider/locking/OpenFilesTracker.hpp"
#include "host/FuseBridge.hpp"
#include "host/ReplicaStore.hpp"

namespace tarnix::host {

class MountOpenFiles final : public fileprovider::OpenFilesSource {
 public:
  MountOpenFiles(std::shared_ptr<FuseBridge> bridge, std::shared_ptr<ReplicaStore> store)
      : bridge_(std::move(bridge)), store_(std::move(store)) {}

  void openFiles(std::function<void(Answer)> reply) override;

  /// The path of `inode` from the drive's root; none when the store does not know it (or a
  /// folder on the way); an error when the store could not be read.
  static std::expected<std::optional<std::string>, std::string> pathOf(ReplicaStore& store,
                                                                       Inode inode);

 private:
  std::shared_ptr<FuseBridge> bridge_;
  std::shared_ptr<ReplicaStore> store_;
};

}  // namespace tarnix::host
