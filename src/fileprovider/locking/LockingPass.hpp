#pragma once
// What one pass of the locking synchroniser does, decided from plain values: which open files
// to lock, which automatic locks to release, which locks to renew, which manual locks ran out.
//
//  - An open file is locked when a process that is not blocklisted holds it, its name has no
//    blocklisted extension, locking is allowed for it, nobody else holds its lock, and it has
//    no local lock yet. A file that a tracked upload needs is locked as if it were open.
//  - An automatic lock is released when no such process holds its file any more and no upload
//    needs it. Manual locks are never released here.
//  - A lock is renewed once its relock moment has come (from half its life on, see
//    makeLocalLock), whether or not the open-file listing worked; manual locks are not renewed
//    (they last their own timeout) and are forgotten once they ran out.
//  - Without an open-file listing (it failed), nothing is locked or released: a failed listing
//    says nothing about which files are open.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "common/ItemLocks.hpp"
#include "fileprovider/locking/LockingBlocklist.hpp"
#include "fileprovider/locking/LockingTypes.hpp"

namespace tarnix::fileprovider {

/// What the pass needs to know about a file.
struct LockingItemFacts {
  std::string filename;
  /// Editable, and not excluded by the configuration (offline items, the private tree).
  bool lockingAllowed = true;
  bool lockedBySomebodyElse = false;
};

struct LockingPassInput {
  /// None: the open-file listing failed.
  std::optional<std::vector<OpenFile>> openFiles;
  std::vector<common::LocalLock> localLocks;
  /// Facts of every file named by `openFiles` and `uploads`; a file without facts is not
  /// locked (it is not an item of this drive).
  std::map<common::SyncFileIdentifier, LockingItemFacts> items;
  std::vector<OngoingUpload> uploads;
  LockingBlocklist blocklist;
  base::Date now;
};

struct LockingPassPlan {
  struct Lock {
    common::SyncFileIdentifier file;
    std::vector<common::LockingApplicationData> applications;
    bool operator==(const Lock&) const = default;
  };
  std::vector<Lock> toLock = {};
  std::vector<common::SyncFileIdentifier> toUnlock = {};
  std::vector<common::LocalLock> toRenew = {};
  std::vector<common::SyncFileIdentifier> toForget = {};
  bool operator==(const LockingPassPlan&) const = default;
};

LockingPassPlan planLockingPass(const LockingPassInput& input);

/// The applications of `openFiles` that hold `file` open and are not blocklisted, each name
/// and version once, in the order seen.
std::vector<common::LockingApplicationData> lockingApplications(
    const std::vector<OpenFile>& openFiles, const common::SyncFileIdentifier& file,
    const LockingBlocklist& blocklist);

}  // namespace tarnix::fileprovider
