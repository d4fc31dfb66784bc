#pragma once
// Which files local processes hold open. The answer comes from whoever knows it: on Linux
// the mount's own table of open handles (the FUSE host answers with the processes behind its
// open requests), elsewhere the desktop application's open-file lister. The locking
// synchroniser asks through OpenFilesSource; OpenFilesTracker tells it when to ask sooner
// than its period, because the framework saw a file used.

#include <chrono>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Logger.hpp"
#include "fileprovider/locking/LockingTypes.hpp"
#include "platform/DistributedNotificationCenter.hpp"

namespace tarnix::fileprovider {

/// Answers "which files are open" with paths relative to the drive's root ("/Docs/a.txt").
class OpenFilesSource {
 public:
  using Answer = std::expected<std::vector<LockingLSOFOpenFile>, std::string>;
  virtual ~OpenFilesSource() = default;
  /// `reply` runs exactly once, on any thread. A failure (the lister could not run, its answer
  /// could not be read) is an error, never an empty list: an empty list says no file is open.
  virtual void openFiles(std::function<void(Answer)> reply) = 0;
};

/// An OpenFilesSource that nobody answers yet: every request fails, so that no pass unlocks
/// files on a guess.
class UnavailableOpenFilesSource final : public OpenFilesSource {
 public:
  void openFiles(std::function<void(Answer)> reply) override {
    reply(std::unexpected(std::string("no open-file lister is connected")));
  }
};

/// Forwards to the source set last (none set: every request fails). Lets the provider start
/// before whoever knows the open files (the mount) is there.
class ForwardingOpenFilesSource final : public OpenFilesSource {
 public:
  void setTarget(std::shared_ptr<OpenFilesSource> target) {
    std::lock_guard lock(mutex_);
    target_ = std::move(target);
  }
  void openFiles(std::function<void(Answer)> reply) override {
    std::shared_ptr<OpenFilesSource> target;
    {
      std::lock_guard lock(mutex_);
      target = target_;
    }
    if (!target) return UnavailableOpenFilesSource().openFiles(std::move(reply));
    target->openFiles(std::move(reply));
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<OpenFilesSource> target_;  // guarded by mutex_
};

/// The distributed notification that asks the desktop application to list open files.
inline constexpr const char* kTriggerLSOFNotification = "com.tarnix.TriggerLSOF";

class OpenFilesTracker {
 public:
  /// How recent a last-used date must be for the file to count as being opened.
  static constexpr std::chrono::seconds kRecentUse{60};

  OpenFilesTracker(std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter,
                   std::shared_ptr<base::Clock> clock, base::Logger logger,
                   bool shouldTrackCollaborativeFiles = false);

  /// Called when the framework reports a new last-used date for a file. A recent date triggers
  /// an open-file listing ("Triggering LSOF due to change in LastUsedDate..."); otherwise
  /// "LastUsedDate not given or too old to consider the file open." Collaborative documents
  /// count only when tracking them is on. Returns whether a listing was triggered.
  bool maybeTrackFile(const common::SyncFileIdentifier& file, const std::string& name,
                      std::optional<base::Date> lastUsedDate, bool isCollaborative = false);

  /// Whoever runs listings (the synchroniser) subscribes here.
  void setPublisher(std::function<void()> publisher);

 private:
  std::shared_ptr<platform::DistributedNotificationCenter> notificationCenter_;
  std::shared_ptr<base::Clock> clock_;
  base::Logger logger_;
  bool shouldTrackCollaborativeFiles_;
  std::mutex mutex_;
  std::function<void()> publisher_;  // guarded by mutex_
};

}  // namespace tarnix::fileprovider
