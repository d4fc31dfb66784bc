#pragma once
// The manager of one domain: what the extension asks of the system about its domain. The host
// implements it; the extension receives it when its domain starts (it may be absent).

#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "platform/fileprovider/Domain.hpp"
#include "platform/fileprovider/Error.hpp"
#include "platform/fileprovider/ItemIdentifier.hpp"
#include "platform/fileprovider/OptionSet.hpp"

namespace tarnix::platform::fileprovider {

enum class DomainDisconnectionOptions : std::uint32_t {
  none = 0,
  /// The domain reconnects at the next launch of the extension.
  temporary = 1 << 0,
};
template <>
struct EnableOptionSet<DomainDisconnectionOptions> : std::true_type {};

/// Every member may be called from any thread. Each completion handler runs exactly once, on a
/// thread of the implementation's choice, with no error on success.
class Manager {
 public:
  using Completion = std::function<void(std::optional<Error>)>;

  virtual ~Manager() = default;

  virtual const Domain& domain() const = 0;

  /// Tells the system that the container's contents changed, so that it enumerates its changes
  /// again. The working-set identifier signals the working set.
  virtual void signalEnumerator(const ItemIdentifier& containerItemIdentifier,
                                Completion completion) = 0;
  /// A directory on the same volume as the domain's files, for downloads in progress.
  virtual std::expected<std::filesystem::path, Error> temporaryDirectoryURL() = 0;
  /// Takes the domain off line; the file browser shows `reason`.
  virtual void disconnect(std::string reason, DomainDisconnectionOptions options,
                          Completion completion) = 0;
  /// Tells the system that a condition it was told about through `error` has cleared.
  virtual void signalErrorResolved(const Error& error, Completion completion) = 0;
  /// Identifies the system's own copy of the domain's files; a different value means that copy
  /// was made anew and the domain's files must be imported again. None when there is no copy.
  virtual std::optional<Data> backingStoreIdentity() const = 0;
  /// Where the user sees the item in the file system.
  virtual void getUserVisibleURL(
      const ItemIdentifier& itemIdentifier,
      std::function<void(std::expected<std::filesystem::path, Error>)> completion) = 0;
};

using ManagerPtr = std::shared_ptr<Manager>;

}  // namespace tarnix::platform::fileprovider
