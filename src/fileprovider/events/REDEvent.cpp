#include "fileprovider/events/REDEvent.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "base/JSONValue.hpp"
#include "base/UTF8.hpp"

namespace tarnix::fileprovider {

std::optional<REDIncomingMessage> decodeREDIncomingMessage(std::string_view text,
                                                           const base::Logger& logger) {
  if (text.empty() || text == " ") return std::nullopt;
  if (!base::isValidUTF8(text)) {
    logger.error("Encoding RED message to UTF-8 failed");
    return std::nullopt;
  }
  auto json = base::parseJSON(text);
  if (!json) {
    logger.error("RED message is not in JSON format",
                 base::LoggerMetadata{{"error", json.error().message}});
    return std::nullopt;
  }
  if (!json->is_object()) {
    logger.error("RED message is not a JSON object");
    return std::nullopt;
  }
  if (auto current = base::jsonInt(*json, "currentEventId"); current && *current >= 0) {
    logger.info("Received initial RED event", base::LoggerMetadata{{"eventID", *current}});
    return REDIncomingMessage{REDIncomingMessage::Kind::initial, *current};
  }
  if (auto id = base::jsonInt(*json, "eventId"); id && *id >= 0) {
    return REDIncomingMessage{REDIncomingMessage::Kind::announcement, *id};
  }
  logger.warning("Unknown RED message");
  return std::nullopt;
}

namespace {

using Kind = REDEventBody::Kind;

enum class Paths { none, one, two };

struct ActionEntry {
  std::string_view action;
  Kind kind;
  Paths paths;
};

constexpr std::array<ActionEntry, 19> kActions = {{
    {"ADD_FOLDER", Kind::addFolder, Paths::one},
    {"ADD_FILE", Kind::addFile, Paths::one},
    {"DELETE_FOLDER", Kind::deleteFolder, Paths::one},
    {"DELETE_FILE", Kind::deleteFile, Paths::one},
    {"COPY_FOLDER", Kind::copyFolder, Paths::two},
    {"COPY_FILE", Kind::copyFile, Paths::two},
    {"MOVE_FOLDER", Kind::moveFolder, Paths::two},
    {"MOVE_FILE", Kind::moveFile, Paths::two},
    {"RESTORE_FROM_TRASH", Kind::restoreFromTrash, Paths::one},
    {"DELETE_FROM_TRASH", Kind::deleteFromTrash, Paths::one},
    {"PERMISSION_CHANGE", Kind::permissionChange, Paths::one},
    {"LOCK_FILE", Kind::lockFile, Paths::one},
    {"UNLOCK_FILE", Kind::unlockFile, Paths::one},
    {"UPGRADE_TO_LATEST_FILE", Kind::upgradeToLatestFile, Paths::one},
    {"ADD_METADATA_KEYS", Kind::addMetadataKeys, Paths::one},
    {"DELETE_METADATA_KEY", Kind::deleteMetadataKey, Paths::one},
    {"SET_COMMENT_EVENT", Kind::setCommentEvent, Paths::one},
    {"PERMISSION_CHANGE_WITHOUT_TARGET", Kind::permissionChangeWithoutTarget, Paths::none},
    {"NOOP", Kind::noop, Paths::none},
}};

bool usable(const std::optional<std::string>& path) {
  return path && !path->empty();
}

}  // namespace

std::expected<REDEventBody, std::string> REDEventBody::decode(
    std::string_view action, const std::optional<std::string>& source,
    const std::optional<std::string>& target) {
  const auto* entry = std::ranges::find_if(
      kActions, [&](const ActionEntry& candidate) { return candidate.action == action; });
  if (entry == kActions.end()) return std::unexpected("Unknown action " + std::string(action));
  switch (entry->paths) {
    case Paths::none:
      return REDEventBody{entry->kind, std::nullopt, std::nullopt};
    case Paths::two:
      if (!usable(source) || !usable(target))
        return std::unexpected(std::string(action) + " needs a source and a target path");
      return REDEventBody{entry->kind, target, source};
    case Paths::one:
      if (usable(target)) return REDEventBody{entry->kind, target, std::nullopt};
      if (usable(source)) return REDEventBody{entry->kind, source, std::nullopt};
      if (entry->kind == Kind::permissionChange)
        return REDEventBody{Kind::permissionChangeWithoutTarget, std::nullopt, std::nullopt};
      return std::unexpected(std::string(action) + " needs a path");
  }
  return std::unexpected("Unknown action " + std::string(action));
}

std::expected<REDEvent, std::string> REDEvent::decode(const cloudfs::EventsResponse::Event& event) {
  auto body = REDEventBody::decode(event.action, event.sourceFilePath, event.targetFilePath);
  if (!body) return std::unexpected(body.error());
  return REDEvent{event.eventID, std::move(*body)};
}

}  // namespace tarnix::fileprovider
