#pragma once
// Which of the product's alerts the user chose not to see again, kept in the shared
// preferences under "alertSuppressions." followed by the alert's id. Thread-safe.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/Logger.hpp"
#include "platform/UserDefaults.hpp"

namespace tarnix::fileprovider {

enum class AlertSuppressionId {
  terminateWithConnectedDrives,
  moveItemsIntoTarnix,
  moveItemsOutOfTarnix,
  connectToHost,
  alwaysLockAndWorkOnYourOwn,
  oldOfficeExtensionClicked,
  unsupportedDefaultApp,
  damagedInDesignFile,
};

/// The id as the framework and the preferences spell it ("MoveItemsIntoTarnix", ...).
std::string_view alertSuppressionIdName(AlertSuppressionId id);
std::optional<AlertSuppressionId> alertSuppressionIdFromName(std::string_view name);
/// "alertSuppressions." + the id's name.
std::string defaultsKey(AlertSuppressionId id);

class FileProviderSuppressionsHandler {
 public:
  FileProviderSuppressionsHandler(std::shared_ptr<platform::UserDefaults> defaults,
                                  base::Logger logger);

  /// An unknown identifier is logged and ignored.
  void setInteractionSuppressed(bool suppression, const std::string& suppressionIdentifier);
  /// False for an unknown identifier (logged) and for an id never stored.
  bool isInteractionSuppressed(const std::string& suppressionIdentifier);

 private:
  std::optional<AlertSuppressionId> known(const std::string& suppressionIdentifier) const;

  std::shared_ptr<platform::UserDefaults> defaults_;
  base::Logger logger_;
};

}  // namespace tarnix::fileprovider
