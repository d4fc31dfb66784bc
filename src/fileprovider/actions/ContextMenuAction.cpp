#include "fileprovider/actions/ContextMenuAction.hpp"

#include <array>
#include <utility>

namespace tarnix::fileprovider {

namespace {

constexpr std::array<std::pair<ActionType, std::string_view>, 12> kTypeNames{{
    {ActionType::viewOnline, "viewOnline"},
    {ActionType::partnerIntegrations, "partnerIntegrations"},
    {ActionType::askDocument, "askDocument"},
    {ActionType::shareViewLinkOptions, "shareViewLinkOptions"},
    {ActionType::copyLink, "copyLink"},
    {ActionType::copyDirectLink, "copyDirectLink"},
    {ActionType::copyDesktopLink, "copyDesktopLink"},
    {ActionType::createDocument, "createDocument"},
    {ActionType::createShortcut, "createShortcut"},
    {ActionType::searchInFolder, "searchInFolder"},
    {ActionType::tarnixActions, "tarnixActions"},
    {ActionType::duplicate, "duplicate"},
}};

std::expected<std::string, std::string> stringMember(const base::JSONValue& object,
                                                     const char* key) {
  if (!object.is_object()) return std::unexpected(std::string("expected an object"));
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) {
    return std::unexpected("missing \"" + std::string(key) + "\"");
  }
  return it->get<std::string>();
}

std::expected<ContextMenuAction::Item, std::string> decodeItem(const base::JSONValue& json) {
  if (!json.is_object() || json.size() != 1) {
    return std::unexpected(std::string("Invalid number of keys found, expected one."));
  }
  const auto only = json.begin();
  const std::string& key = only.key();
  const base::JSONValue& value = only.value();
  if (key == "fileProvider") {
    auto text = stringMember(value, "itemIdentifier");
    if (!text) return std::unexpected(text.error());
    auto identifier = common::SyncItemIdentifier::fromPrefixed(*text);
    if (!identifier) return std::unexpected("not an item identifier: " + *text);
    return ContextMenuAction::FileProviderItem{*identifier};
  }
  auto url = stringMember(value, "localUrl");
  if (!url) return std::unexpected(url.error());
  if (key == "connectedFolder") return ContextMenuAction::ConnectedFolderItem{*url};
  if (key == "nbda") return ContextMenuAction::NbdaItem{*url};
  return std::unexpected("unknown item kind " + key);
}

}  // namespace

std::string_view name(ActionType type) {
  for (const auto& [value, text] : kTypeNames) {
    if (value == type) return text;
  }
  return "viewOnline";
}

std::optional<ActionType> actionTypeNamed(std::string_view text) {
  for (const auto& [value, candidate] : kTypeNames) {
    if (candidate == text) return value;
  }
  return std::nullopt;
}

base::JSONValue ContextMenuAction::json() const {
  base::JSONValue items = base::JSONValue::array();
  for (const auto& item : selection) {
    if (const auto* file = std::get_if<FileProviderItem>(&item)) {
      items.push_back({{"fileProvider", {{"itemIdentifier", file->itemIdentifier.description()}}}});
    } else if (const auto* folder = std::get_if<ConnectedFolderItem>(&item)) {
      items.push_back({{"connectedFolder", {{"localUrl", folder->localUrl}}}});
    } else if (const auto* nbda = std::get_if<NbdaItem>(&item)) {
      items.push_back({{"nbda", {{"localUrl", nbda->localUrl}}}});
    }
  }
  return {{"driveIdentifier", driveIdentifier},
          {"type", std::string(name(type))},
          {"selection", std::move(items)}};
}

std::expected<ContextMenuAction, std::string> ContextMenuAction::decode(
    const base::JSONValue& json) {
  ContextMenuAction action;
  auto drive = stringMember(json, "driveIdentifier");
  if (!drive) return std::unexpected(drive.error());
  action.driveIdentifier = *drive;
  auto type = stringMember(json, "type");
  if (!type) return std::unexpected(type.error());
  auto parsed = actionTypeNamed(*type);
  if (!parsed) return std::unexpected("unknown action type " + *type);
  action.type = *parsed;
  auto selection = json.find("selection");
  if (selection == json.end() || !selection->is_array()) {
    return std::unexpected(std::string("missing \"selection\""));
  }
  for (const auto& entry : *selection) {
    auto item = decodeItem(entry);
    if (!item) return std::unexpected(item.error());
    action.selection.push_back(std::move(*item));
  }
  return action;
}

}  // namespace tarnix::fileprovider
