#pragma once
// The progress object returned by every long framework call: unit counts, a tree of children
// each standing for a share of its parent's units, and cancellation that reaches the whole
// subtree.
//
// Thread-safe: any thread may call any member. Each progress guards its own fields with its own
// mutex and never holds it while calling into another progress or a handler, so there is no
// lock order to keep.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tarnix::platform::fileprovider {

class Progress {
 public:
  /// A progress of `totalUnitCount` units; a negative total means the amount is not known yet.
  static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = -1);

  explicit Progress(std::int64_t totalUnitCount) : totalUnitCount_(totalUnitCount) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::int64_t totalUnitCount() const;
  void setTotalUnitCount(std::int64_t count);
  /// The units set here plus the pending units of every finished child.
  std::int64_t completedUnitCount() const;
  void setCompletedUnitCount(std::int64_t count);

  /// Makes `child` stand for `pendingUnitCount` of this progress's units. A child of a cancelled
  /// progress is cancelled at once. Refused (false) when `child` is null, already has a parent,
  /// or is this progress or one of its ancestors.
  bool addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount);
  std::vector<std::shared_ptr<Progress>> children() const;

  /// Between 0 and 1: own completed units plus each child's share, over the total; 0 while the
  /// total is not positive.
  double fractionCompleted() const;
  bool isIndeterminate() const;
  /// A positive total and completedUnitCount() reaching it.
  bool isFinished() const;

  /// Cancels this progress and then its children. The cancellation handler runs once, on the
  /// calling thread; later calls do nothing.
  void cancel();
  bool isCancelled() const;
  /// Replaces the handler. When the progress is already cancelled, `handler` runs at once on
  /// the calling thread instead.
  void setCancellationHandler(std::function<void()> handler);

 private:
  struct Child {
    std::shared_ptr<Progress> progress;
    std::int64_t pendingUnitCount = 0;
  };
  std::vector<Child> childrenSnapshot() const;
  bool hasDescendant(const Progress* candidate) const;

  mutable std::mutex mutex_;
  std::int64_t totalUnitCount_;
  std::int64_t completedUnitCount_ = 0;
  bool cancelled_ = false;
  bool hasParent_ = false;
  std::function<void()> cancellationHandler_;
  std::vector<Child> children_;
};

using ProgressPtr = std::shared_ptr<Progress>;

}  // namespace tarnix::platform::fileprovider
