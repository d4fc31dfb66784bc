#pragma once
// The service "com.tarnix.ExtensionInstance" through which the desktop application talks to
// the provider of a domain. Its endpoint is a Unix-domain socket carrying one JSON object per
// line in each direction:
//
//   {"id": 1, "method": "performAction", "params": {"actionIdentifier": "...",
//                                                    "itemIdentifiers": ["file/...", ...]}}
//   {"id": 2, "method": "isImportComplete"}
//   {"id": 3, "method": "getImportProgress"}
//
// answered by {"id": <same>, "result": ...} (null, a boolean, or {"itemsToImport": n,
// "itemsImported": n}) or {"id": <same>, "error": {"domain": "...", "code": n, "message": "..."}}.
// A line that is not such a request gets an error answer; the connection stays open.
//
// Threads: those of its JSONLineServiceSocket, all joined by stop() (and the destructor). The
// provider is held weakly: after it is gone every request gets an error.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "base/Logger.hpp"
#include "fileprovider/sources/JSONLineServiceSocket.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"
#include "platform/fileprovider/ServiceSource.hpp"

namespace tarnix::fileprovider {

namespace fp = platform::fileprovider;

inline constexpr const char* kProviderInstanceServiceName = "com.tarnix.ExtensionInstance";

struct ImportProgress {
  std::int64_t itemsToImport = 0;
  std::int64_t itemsImported = 0;
  bool operator==(const ImportProgress&) const = default;
};

/// The three messages the provider answers to the desktop application.
class ProviderInstanceService {
 public:
  virtual ~ProviderInstanceService() = default;
  /// `reply` runs exactly once, on any thread.
  virtual void performActionWithIdentifier(const std::string& actionIdentifier,
                                           const std::vector<fp::ItemIdentifier>& itemIdentifiers,
                                           std::function<void(std::optional<fp::Error>)> reply) = 0;
  virtual bool isImportComplete() = 0;
  virtual ImportProgress importProgress() = 0;
};

class ProviderInstanceServiceSource final : public fp::ServiceSource {
 public:
  /// The socket is made in `socketDirectory` when the first endpoint is asked for.
  ProviderInstanceServiceSource(std::weak_ptr<ProviderInstanceService> provider,
                                std::filesystem::path socketDirectory, base::Logger logger);
  ~ProviderInstanceServiceSource() override;

  std::string serviceName() const override { return kProviderInstanceServiceName; }
  std::expected<fp::ServiceEndpoint, fp::Error> makeListenerEndpoint() override;
  /// Stops accepting, closes every connection, removes the socket file and joins the threads.
  void stop();

 private:
  std::string answer(const std::string& line);

  std::weak_ptr<ProviderInstanceService> provider_;
  base::Logger logger_;
  JSONLineServiceSocket socket_;
};

}  // namespace tarnix::fileprovider
