#include "platform/fileprovider/ItemIdentifier.hpp"

namespace tarnix::platform::fileprovider {

const ItemIdentifier& ItemIdentifier::rootContainer() {
  static const ItemIdentifier identifier{std::string(kRootContainerRawValue)};
  return identifier;
}

const ItemIdentifier& ItemIdentifier::workingSet() {
  static const ItemIdentifier identifier{std::string(kWorkingSetRawValue)};
  return identifier;
}

const ItemIdentifier& ItemIdentifier::trashContainer() {
  static const ItemIdentifier identifier{std::string(kTrashContainerRawValue)};
  return identifier;
}

base::LoggerMetadataValue loggerMetadataValue(const ItemIdentifier& identifier) {
  return base::LoggerMetadataValue(identifier.rawValue());
}

}  // namespace tarnix::platform::fileprovider
