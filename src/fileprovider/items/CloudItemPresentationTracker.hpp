#pragma once
// Told when a container enumerator starts and stops presenting its container, so that the
// listing side can keep presented folders fresh. Implemented by the listing service.

#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

class CloudItemPresentationTracker {
 public:
  virtual ~CloudItemPresentationTracker() = default;
  /// Any thread. Calls for one container come in start/stop pairs.
  virtual void didStartPresenting(const common::SyncItemIdentifier& container) = 0;
  virtual void didStopPresenting(const common::SyncItemIdentifier& container) = 0;
};

}  // namespace tarnix::fileprovider
