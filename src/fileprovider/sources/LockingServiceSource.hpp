#pragma once
// The service "com.tarnix.Locking" through which the desktop application locks and unlocks
// files and asks for a synchronisation of open files and locks. Its endpoint carries one JSON
// request per line:
//
//   {"id": 1, "method": "lockFile", "params": {"itemIdentifier": "file/..."}}
//   {"id": 2, "method": "unlockFile", "params": {"itemIdentifier": "file/..."}}
//   {"id": 3, "method": "synchronizeOpenFilesAndLocks"}
//   {"id": 4, "method": "unlockManualLocks"}
//
// answered by {"id": <same>, "result": null} or {"id": <same>, "error": {"domain":
// "com.tarnix.LockingError", "code": n, "message": "...", "recoverySuggestion": "..."}}.
// lockFile and unlockFile act on manual locks. Without "itemIdentifier" they act on the item
// the source was made for.
//
// Threads: those of its JSONLineServiceSocket, joined by stop() (and the destructor).

#include <filesystem>
#include <memory>
#include <optional>

#include "base/Logger.hpp"
#include "fileprovider/locking/LockingService.hpp"
#include "fileprovider/locking/LockingSynchronizer.hpp"
#include "fileprovider/sources/JSONLineServiceSocket.hpp"
#include "platform/fileprovider/ServiceSource.hpp"

namespace tarnix::fileprovider {

inline constexpr const char* kLockingServiceName = "com.tarnix.Locking";

class LockingServiceSource final : public platform::fileprovider::ServiceSource {
 public:
  using Reply = std::function<void(LockingResult<void>)>;

  LockingServiceSource(std::optional<common::SyncFileIdentifier> itemIdentifier,
                       std::weak_ptr<LockingSynchronizer> lockingSynchronizer,
                       std::weak_ptr<LockingService> lockingService,
                       std::filesystem::path socketDirectory, base::Logger logger);
  ~LockingServiceSource() override;

  void lockFile(std::optional<common::SyncFileIdentifier> file, Reply reply);
  void unlockFile(std::optional<common::SyncFileIdentifier> file, Reply reply);
  void synchronizeOpenFilesAndLocks(Reply reply);
  void unlockManualLocks(Reply reply);

  std::string serviceName() const override { return kLockingServiceName; }
  std::expected<platform::fileprovider::ServiceEndpoint, platform::fileprovider::Error>
  makeListenerEndpoint() override;
  void stop();

 private:
  std::string answer(const std::string& line);

  std::optional<common::SyncFileIdentifier> itemIdentifier_;
  std::weak_ptr<LockingSynchronizer> lockingSynchronizer_;
  std::weak_ptr<LockingService> lockingService_;
  base::Logger logger_;
  JSONLineServiceSocket socket_;
};

}  // namespace tarnix::fileprovider
