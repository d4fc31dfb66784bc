#pragma once
// What the real-time event socket ("RED") says and what its announced events mean: the incoming
// messages ({"currentEventId": n} after connecting, {"eventId": n} per new event) and the
// events fetched for announced ids, decoded from their action and paths.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "base/Logger.hpp"
#include "cloudfs/responses/EventResponses.hpp"

namespace tarnix::fileprovider {

struct REDIncomingMessage {
  enum class Kind {
    initial,       // "currentEventId": the newest event when the connection opened
    announcement,  // "eventId": a new event
  };
  Kind kind = Kind::announcement;
  std::int64_t eventID = 0;
  bool operator==(const REDIncomingMessage&) const = default;
};

/// The message in `text`, or none. "" and " " are keep-alives and give none silently; anything
/// else that is not one of the two messages is logged ("Encoding RED message to UTF-8 failed",
/// "RED message is not in JSON format", "RED message is not a JSON object", "Unknown RED
/// message"); an initial message logs "Received initial RED event". Ids below 0 are unknown.
std::optional<REDIncomingMessage> decodeREDIncomingMessage(std::string_view text,
                                                           const base::Logger& logger);

struct REDEventBody {
  enum class Kind {
    addFolder,
    addFile,
    deleteFolder,
    deleteFile,
    copyFolder,
    copyFile,
    moveFolder,
    moveFile,
    restoreFromTrash,
    deleteFromTrash,
    permissionChange,
    lockFile,
    unlockFile,
    upgradeToLatestFile,
    addMetadataKeys,
    deleteMetadataKey,
    setCommentEvent,
    permissionChangeWithoutTarget,
    noop,
  };
  Kind kind = Kind::noop;
  /// The item concerned (cases with one path; copies and moves: the target).
  std::optional<std::string> path;
  /// Copies and moves: where the item was.
  std::optional<std::string> sourcePath;

  /// From a fetched event: its action ("ADD_FILE", "MOVE_FOLDER", ...) and paths. Copies and
  /// moves need both paths, the other cases except "NOOP" and a "PERMISSION_CHANGE" without a
  /// path need one (the target, else the source); an unknown action is an error.
  static std::expected<REDEventBody, std::string> decode(std::string_view action,
                                                         const std::optional<std::string>& source,
                                                         const std::optional<std::string>& target);
  bool operator==(const REDEventBody&) const = default;
};

struct REDEvent {
  std::int64_t identifier = 0;
  REDEventBody body;

  static std::expected<REDEvent, std::string> decode(const cloudfs::EventsResponse::Event& event);
  bool operator==(const REDEvent&) const = default;
};

}  // namespace tarnix::fileprovider
