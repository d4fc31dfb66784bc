#include "platform/fileprovider/Progress.hpp"

#include <algorithm>
#include <utility>

namespace tarnix::platform::fileprovider {

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
  return std::make_shared<Progress>(totalUnitCount);
}

std::int64_t Progress::totalUnitCount() const {
  std::lock_guard lock(mutex_);
  return totalUnitCount_;
}

void Progress::setTotalUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  totalUnitCount_ = count;
}

std::int64_t Progress::completedUnitCount() const {
  std::int64_t completed;
  {
    std::lock_guard lock(mutex_);
    completed = completedUnitCount_;
  }
  for (const auto& child : childrenSnapshot()) {
    if (child.progress->isFinished()) completed += child.pendingUnitCount;
  }
  return completed;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  completedUnitCount_ = count;
}

bool Progress::hasDescendant(const Progress* candidate) const {
  for (const auto& child : childrenSnapshot()) {
    if (child.progress.get() == candidate || child.progress->hasDescendant(candidate)) return true;
  }
  return false;
}

bool Progress::addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount) {
  if (!child || child.get() == this || child->hasDescendant(this)) return false;
  {
    std::lock_guard childLock(child->mutex_);
    if (child->hasParent_) return false;
    child->hasParent_ = true;
  }
  bool cancelled;
  {
    std::lock_guard lock(mutex_);
    children_.push_back({child, pendingUnitCount});
    cancelled = cancelled_;
  }
  if (cancelled) child->cancel();
  return true;
}

std::vector<std::shared_ptr<Progress>> Progress::children() const {
  std::vector<std::shared_ptr<Progress>> result;
  for (auto& child : childrenSnapshot()) result.push_back(std::move(child.progress));
  return result;
}

std::vector<Progress::Child> Progress::childrenSnapshot() const {
  std::lock_guard lock(mutex_);
  return children_;
}

double Progress::fractionCompleted() const {
  std::int64_t total;
  double completed;
  {
    std::lock_guard lock(mutex_);
    total = totalUnitCount_;
    completed = static_cast<double>(completedUnitCount_);
  }
  if (total <= 0) return 0.0;
  for (const auto& child : childrenSnapshot()) {
    double share = child.progress->isFinished() ? 1.0 : child.progress->fractionCompleted();
    completed += static_cast<double>(child.pendingUnitCount) * std::clamp(share, 0.0, 1.0);
  }
  return std::clamp(completed / static_cast<double>(total), 0.0, 1.0);
}

bool Progress::isIndeterminate() const {
  std::lock_guard lock(mutex_);
  return totalUnitCount_ < 0 || completedUnitCount_ < 0;
}

bool Progress::isFinished() const {
  auto total = totalUnitCount();
  return total > 0 && completedUnitCount() >= total;
}

void Progress::cancel() {
  std::function<void()> handler;
  std::vector<Child> children;
  {
    // A cancel that finds the progress already cancelled still walks the children: another
    // thread may be cancelling the same tree, and this call must not return before the whole
    // subtree is cancelled. The handler runs once, whoever gets here first.
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    handler = std::exchange(cancellationHandler_, nullptr);
    children = children_;
  }
  if (handler) handler();
  for (const auto& child : children) child.progress->cancel();
}

bool Progress::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void Progress::setCancellationHandler(std::function<void()> handler) {
  {
    std::lock_guard lock(mutex_);
    if (!cancelled_) {
      cancellationHandler_ = std::move(handler);
      return;
    }
  }
  if (handler) handler();
}

}  // namespace tarnix::platform::fileprovider
