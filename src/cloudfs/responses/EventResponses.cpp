#include "cloudfs/responses/EventResponses.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeBody;
using detail::JSONFields;

const CFSSyncEventAction CFSSyncEventAction::addFile{"ADD_FILE"};
const CFSSyncEventAction CFSSyncEventAction::copyFile{"COPY_FILE"};
const CFSSyncEventAction CFSSyncEventAction::upgradeToLatestFile{"UPGRADE_TO_LATEST_FILE"};
const CFSSyncEventAction CFSSyncEventAction::addFolder{"ADD_FOLDER"};
const CFSSyncEventAction CFSSyncEventAction::copyFolder{"COPY_FOLDER"};
const CFSSyncEventAction CFSSyncEventAction::deleteFile{"DELETE_FILE"};
const CFSSyncEventAction CFSSyncEventAction::deleteFolder{"DELETE_FOLDER"};
const CFSSyncEventAction CFSSyncEventAction::moveFile{"MOVE_FILE"};
const CFSSyncEventAction CFSSyncEventAction::moveFolder{"MOVE_FOLDER"};
const CFSSyncEventAction CFSSyncEventAction::restoreFromTrash{"RESTORE_FROM_TRASH"};
const CFSSyncEventAction CFSSyncEventAction::permissionChange{"PERMISSION_CHANGE"};
const CFSSyncEventAction CFSSyncEventAction::nop{"NOOP"};
const CFSSyncEventAction CFSSyncEventAction::lockFile{"LOCK_FILE"};
const CFSSyncEventAction CFSSyncEventAction::unlockFile{"UNLOCK_FILE"};

namespace {

// A date as milliseconds since 1970, or as ISO 8601 text.
std::optional<base::Date> dateMember(JSONFields& fields, const base::JSONValue& object,
                                     std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (it->is_number_integer()) return base::dateFromMillisecondsSince1970(it->get<std::int64_t>());
  if (it->is_string()) {
    if (auto date = base::parseISO8601(it->get<std::string>())) return date;
  }
  fields.fail(key);
  return std::nullopt;
}

// The array `key` (required or not), checked against the batch limit.
const base::JSONValue* eventArray(JSONFields& fields, std::string_view key, bool required) {
  const auto* list = required ? fields.array(key) : fields.optionalArray(key);
  if (list && list->size() > kMaximumEventsPerBatch) {
    fields.fail(key);
    return nullptr;
  }
  return list;
}

}  // namespace

CFSSyncEvent CFSSyncEvent::syntheticNop(std::int64_t revision) {
  CFSSyncEvent event;
  event.revision = revision;
  event.action = CFSSyncEventAction::nop;
  return event;
}

std::expected<GetEventsResponse, CloudFSError> GetEventsResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<GetEventsResponse>(response, [](JSONFields& f) {
    GetEventsResponse decoded;
    decoded.moreEvents = f.optionalBoolean("more_events").value_or(false);
    const auto* list = eventArray(f, "events", true);
    if (!list) return decoded;
    std::size_t index = 0;
    for (const auto& item : *list) {
      JSONFields e(item, "events[" + std::to_string(index++) + "].");
      if (!item.is_object()) {
        e.fail("revision");
        f.adopt(e);
        break;
      }
      CFSSyncEvent event;
      event.revision = e.integer("revision");
      event.action = {e.string("action")};
      event.sourceFilePath = e.optionalString("sourceFilePath");
      event.targetFilePath = e.optionalString("targetFilePath");
      event.sourceFolderID = e.optionalIdentifier("sourceFolderId");
      event.targetFolderID = e.optionalIdentifier("targetFolderId");
      event.targetGroupID = e.optionalIdentifier("targetGroupID");
      event.targetEntryID = e.optionalIdentifier("targetEntryID");
      event.targetChecksum = e.optionalString("targetChecksum");
      event.targetFileSize = e.optionalInteger("targetFileSize");
      event.lastModifiedTime = dateMember(e, item, "lastModifiedTime");
      event.targetMerged = e.optionalBoolean("targetMerged").value_or(false);
      event.ifflCandidate = e.optionalBoolean("ifflCandidate");
      event.syncClientID = e.optionalIdentifier("syncClientId");
      f.adopt(e);
      if (!f.ok()) break;
      decoded.events.push_back(std::move(event));
    }
    return decoded;
  });
}

std::expected<EventsResponse, CloudFSError> EventsResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<EventsResponse>(response, [](JSONFields& f) {
    EventsResponse decoded;
    const auto* list = eventArray(f, "data", false);
    if (!list) list = eventArray(f, "events", true);
    if (!list) return decoded;
    std::size_t index = 0;
    for (const auto& item : *list) {
      JSONFields e(item, "data[" + std::to_string(index++) + "].");
      if (!item.is_object()) {
        e.fail("eventId");
        f.adopt(e);
        break;
      }
      Event event;
      event.eventID = e.integer("eventId");
      event.userID = e.optionalInteger("userId").value_or(0);
      event.byDeviceID = e.optionalIdentifier("syncClientId");
      event.actionSource = e.optionalString("actionSource").value_or("");
      event.action = e.string("action");
      event.targetFilePath = e.optionalString("targetFilePath");
      event.sourceFilePath = e.optionalString("sourceFilePath");
      f.adopt(e);
      if (!f.ok()) break;
      decoded.events.push_back(std::move(event));
    }
    return decoded;
  });
}

}  // namespace tarnix::cloudfs
