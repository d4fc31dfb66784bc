#pragma once
// The content fetches a provider started and that have not completed yet, so that invalidation
// can end them and wait for them: once closed, later fetches are refused, the running ones are
// cancelled through their progress, and `closeAndWait` returns when each has completed.
//
// Thread-safe.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>

#include "base/Mutex.hpp"
#include "platform/fileprovider/Progress.hpp"

namespace tarnix::fileprovider {

class ProviderTransfers {
 public:
  using Token = std::uint64_t;

  /// A new fetch; none once closed.
  std::optional<Token> begin();
  /// The progress whose cancellation ends the fetch of `token`; cancelled at once when the set
  /// closed meanwhile.
  void attach(Token token, platform::fileprovider::ProgressPtr progress);
  /// The fetch of `token` completed (its completion has run or is running).
  void end(Token token);
  /// Refuses new fetches, cancels the running ones and waits up to `limit` until each ended.
  /// False when some did not end in time.
  bool closeAndWait(std::chrono::steady_clock::duration limit);
  bool isClosed() const;
  std::size_t running() const;

 private:
  mutable base::Mutex mutex_;
  base::CondVar ended_{&mutex_};
  bool closed_ TARNIX_GUARDED_BY(mutex_) = false;
  Token next_ TARNIX_GUARDED_BY(mutex_) = 0;
  // A fetch is here from begin to end; its progress once attached.
  std::map<Token, platform::fileprovider::ProgressPtr> running_ TARNIX_GUARDED_BY(mutex_);
};

}  // namespace tarnix::fileprovider
