#include "fileprovider/locking/LockingPass.hpp"

#include <algorithm>
#include <set>

namespace tarnix::fileprovider {

using common::SyncFileIdentifier;

std::vector<common::LockingApplicationData> lockingApplications(
    const std::vector<OpenFile>& openFiles, const SyncFileIdentifier& file,
    const LockingBlocklist& blocklist) {
  std::vector<common::LockingApplicationData> applications;
  for (const auto& open : openFiles) {
    if (open.itemIdentifier != file) continue;
    const std::string name = open.appName.value_or("");
    if (blocklist.blocksProcess(name)) continue;
    common::LockingApplicationData application{name, open.appVersion.value_or("")};
    if (std::ranges::find(applications, application) == applications.end()) {
      applications.push_back(std::move(application));
    }
  }
  return applications;
}

LockingPassPlan planLockingPass(const LockingPassInput& input) {
  LockingPassPlan plan;
  std::map<SyncFileIdentifier, const common::LocalLock*> locks;
  for (const auto& lock : input.localLocks) locks[lock.fileIdentifier] = &lock;
  std::set<SyncFileIdentifier> neededByUploads;
  for (const auto& upload : input.uploads) neededByUploads.insert(upload.itemIdentifier);

  // Files held open by a process that counts, with their applications.
  std::map<SyncFileIdentifier, std::vector<common::LockingApplicationData>> held;
  if (input.openFiles) {
    for (const auto& open : *input.openFiles) {
      const auto& file = open.itemIdentifier;
      if (held.contains(file)) continue;
      auto facts = input.items.find(file);
      if (facts == input.items.end() || input.blocklist.blocksFilename(facts->second.filename)) {
        continue;
      }
      auto applications = lockingApplications(*input.openFiles, file, input.blocklist);
      if (applications.empty()) continue;
      held.emplace(file, std::move(applications));
    }
  }

  if (input.openFiles) {
    std::set<SyncFileIdentifier> candidates;
    for (const auto& [file, applications] : held) candidates.insert(file);
    candidates.insert(neededByUploads.begin(), neededByUploads.end());
    for (const auto& file : candidates) {
      auto facts = input.items.find(file);
      if (facts == input.items.end() || !facts->second.lockingAllowed ||
          facts->second.lockedBySomebodyElse || locks.contains(file)) {
        continue;
      }
      auto applications =
          held.contains(file) ? held[file] : std::vector<common::LockingApplicationData>{};
      plan.toLock.push_back({file, std::move(applications)});
    }
  }

  for (const auto& lock : input.localLocks) {
    const auto& file = lock.fileIdentifier;
    if (lock.source.isManual()) {
      if (lock.expirationDate <= input.now) plan.toForget.push_back(file);
      continue;
    }
    if (input.openFiles && !held.contains(file) && !neededByUploads.contains(file)) {
      plan.toUnlock.push_back(file);
      continue;
    }
    if (lock.needsRelockBefore <= input.now) plan.toRenew.push_back(lock);
  }
  return plan;
}

}  // namespace tarnix::fileprovider
