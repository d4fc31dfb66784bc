#pragma once
// Told when a container enumerator starts and stops presenting its container, so that the
// listing side can keep presented folders fresh. Implemented by the listing service.

#include <functional>
#include <optional>
#include <string>

#include "common/SyncError.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

/// Why the listing that a presentation started failed: the SyncError when the failure is one,
/// and a description in any case.
struct PresentationListingFailure {
  std::optional<common::SyncError> syncError;
  std::string description;
};

class CloudItemPresentationTracker {
 public:
  using ListedCompletion = std::function<void(std::optional<PresentationListingFailure>)>;

  virtual ~CloudItemPresentationTracker() = default;
  /// Any thread. Calls for one container come in start/stop pairs.
  virtual void didStartPresenting(const common::SyncItemIdentifier& container) = 0;
  virtual void didStopPresenting(const common::SyncItemIdentifier& container) = 0;
  /// Runs `completion` once the listing that the latest start of presenting `container` asked
  /// for has ended (at once when it has, or when none was asked for), with its failure if it
  /// failed. Any thread; the completion runs exactly once, on any thread.
  virtual void whenPresentationListed(const common::SyncItemIdentifier& container,
                                      ListedCompletion completion) {
    (void)container;
    completion(std::nullopt);
  }
};

}  // namespace tarnix::fileprovider
