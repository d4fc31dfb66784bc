#include "fileprovider/ProviderTransfers.hpp"

#include <vector>

namespace tarnix::fileprovider {

std::optional<ProviderTransfers::Token> ProviderTransfers::begin() {
  base::MutexLock lock(mutex_);
  if (closed_) return std::nullopt;
  const auto token = ++next_;
  running_.emplace(token, nullptr);
  return token;
}

void ProviderTransfers::attach(Token token, platform::fileprovider::ProgressPtr progress) {
  bool cancel = false;
  {
    base::MutexLock lock(mutex_);
    auto found = running_.find(token);
    // Ended already: its progress has nothing left to cancel.
    if (found == running_.end()) return;
    found->second = progress;
    cancel = closed_;
  }
  if (cancel && progress) progress->cancel();
}

void ProviderTransfers::end(Token token) {
  base::MutexLock lock(mutex_);
  running_.erase(token);
  ended_.signalAll();
}

bool ProviderTransfers::closeAndWait(std::chrono::steady_clock::duration limit) {
  std::vector<platform::fileprovider::ProgressPtr> progresses;
  {
    base::MutexLock lock(mutex_);
    closed_ = true;
    for (const auto& [token, progress] : running_) {
      if (progress) progresses.push_back(progress);
    }
  }
  // Cancelling may complete a fetch on this thread; the lock is not held meanwhile.
  for (const auto& progress : progresses) progress->cancel();
  base::MutexLock lock(mutex_);
  return ended_.waitFor(limit, [this]() TARNIX_REQUIRES(mutex_) { return running_.empty(); });
}

bool ProviderTransfers::isClosed() const {
  base::MutexLock lock(mutex_);
  return closed_;
}

std::size_t ProviderTransfers::running() const {
  base::MutexLock lock(mutex_);
  return running_.size();
}

}  // namespace tarnix::fileprovider
