#pragma once
// The service "com.tarnix.Listing" through which the desktop application asks for folders to
// be refreshed from the cloud, by path or by identifier. Its endpoint carries one JSON request
// per line:
//
//   {"id": 1, "method": "refresh", "params": {"path": "/Reports/2024"}}
//   {"id": 2, "method": "discover", "params": {"path": "/Reports/2024/Q1"}}
//   {"id": 3, "method": "refreshFolderFromCloud", "params": {"identifier": "folder/..."}}
//
// answered by {"id": <same>, "result": null} or {"id": <same>, "error": {"message": "..."}}.
// Paths are taken from the drive's root. `refresh` lists the folder at a path the store knows
// (forced); `discover` walks the path from the root, listing each folder on the way, so that a
// path the store does not know yet becomes known; `refreshFolderFromCloud` lists a folder by its
// identifier (forced).
//
// Threads: any thread; replies run on any thread, exactly once.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Logger.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/listing/ListingScheduler.hpp"
#include "fileprovider/sources/JSONLineServiceSocket.hpp"

namespace tarnix::fileprovider {

inline constexpr const char* kListingServiceName = "com.tarnix.Listing";

class ListingServiceSource final : public fp::ServiceSource {
 public:
  using Reply = std::function<void(std::optional<ListingError>)>;

  ListingServiceSource(std::shared_ptr<common::SyncItemStorage> itemStorage,
                       std::weak_ptr<ListingScheduler> listingScheduler,
                       std::filesystem::path socketDirectory, base::Logger logger);
  ~ListingServiceSource() override;

  void refresh(const std::string& path, Reply reply);
  void discover(const std::string& path, Reply reply);
  void refreshFolderFromCloud(const common::SyncItemIdentifier& identifier,
                              Reply completionHandler);

  std::string serviceName() const override { return kListingServiceName; }
  std::expected<fp::ServiceEndpoint, fp::Error> makeListenerEndpoint() override;
  void stop();

 private:
  std::string answer(const std::string& line);

  std::shared_ptr<common::SyncItemStorage> itemStorage_;
  std::weak_ptr<ListingScheduler> scheduler_;
  base::Logger logger_;
  JSONLineServiceSocket socket_;
};

}  // namespace tarnix::fileprovider
