#include "fileprovider/FileProviderSuppressionsHandler.hpp"

#include <array>
#include <utility>

namespace tarnix::fileprovider {

namespace {
struct NamedId {
  AlertSuppressionId id;
  std::string_view name;
};
constexpr std::array kIds{
    NamedId{AlertSuppressionId::terminateWithConnectedDrives, "terminateWithConnectedDrives"},
    NamedId{AlertSuppressionId::moveItemsIntoTarnix, "MoveItemsIntoTarnix"},
    NamedId{AlertSuppressionId::moveItemsOutOfTarnix, "MoveItemsOutOfTarnix"},
    NamedId{AlertSuppressionId::connectToHost, "ConnectToHost"},
    NamedId{AlertSuppressionId::alwaysLockAndWorkOnYourOwn, "AlwaysLockAndWorkOnYourOwn"},
    NamedId{AlertSuppressionId::oldOfficeExtensionClicked, "OldOfficeExtensionClicked"},
    NamedId{AlertSuppressionId::unsupportedDefaultApp, "UnsupportedDefaultApp"},
    NamedId{AlertSuppressionId::damagedInDesignFile, "DamagedInDesignFile"},
};
}  // namespace

std::string_view alertSuppressionIdName(AlertSuppressionId id) {
  for (const auto& entry : kIds) {
    if (entry.id == id) return entry.name;
  }
  return {};
}

std::optional<AlertSuppressionId> alertSuppressionIdFromName(std::string_view name) {
  for (const auto& entry : kIds) {
    if (entry.name == name) return entry.id;
  }
  return std::nullopt;
}

std::string defaultsKey(AlertSuppressionId id) {
  return "alertSuppressions." + std::string(alertSuppressionIdName(id));
}

FileProviderSuppressionsHandler::FileProviderSuppressionsHandler(
    std::shared_ptr<platform::UserDefaults> defaults, base::Logger logger)
    : defaults_(std::move(defaults)), logger_(std::move(logger)) {}

std::optional<AlertSuppressionId> FileProviderSuppressionsHandler::known(
    const std::string& suppressionIdentifier) const {
  auto id = alertSuppressionIdFromName(suppressionIdentifier);
  if (!id) {
    logger_.error("Unrecognized suppressionId given by system.",
                  {{"suppressionIdentifier", suppressionIdentifier}});
  }
  return id;
}

void FileProviderSuppressionsHandler::setInteractionSuppressed(
    bool suppression, const std::string& suppressionIdentifier) {
  auto id = known(suppressionIdentifier);
  if (!id || !defaults_) return;
  if (auto stored = defaults_->set(defaultsKey(*id), suppression); !stored) {
    logger_.error("Storing alert suppression failed", {{"error", stored.error().message}});
  }
}

bool FileProviderSuppressionsHandler::isInteractionSuppressed(
    const std::string& suppressionIdentifier) {
  auto id = known(suppressionIdentifier);
  if (!id || !defaults_) return false;
  auto value = defaults_->value(defaultsKey(*id));
  return value && value->is_boolean() && value->get<bool>();
}

}  // namespace tarnix::fileprovider
