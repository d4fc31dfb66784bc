#pragma once
// The events of the cloud's change feeds. Bodies come from outside: an event whose required
// members are missing or of the wrong type fails the whole answer (its revision order could
// not be trusted), unknown actions are kept as text, and a batch holds at most
// kMaximumEventsPerBatch events.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "base/Date.hpp"
#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

inline constexpr std::size_t kMaximumEventsPerBatch = 100'000;

/// What happened, as the feed names it ("ADD_FILE", ...); other texts are kept as they are.
struct CFSSyncEventAction {
  std::string rawValue;

  static const CFSSyncEventAction addFile, copyFile, upgradeToLatestFile, addFolder, copyFolder,
      deleteFile, deleteFolder, moveFile, moveFolder, restoreFromTrash, permissionChange, nop,
      lockFile, unlockFile;
  bool operator==(const CFSSyncEventAction&) const = default;
};

struct CFSSyncEvent {
  std::int64_t revision = 0;
  CFSSyncEventAction action;
  std::optional<std::string> sourceFilePath;
  std::optional<std::string> targetFilePath;
  std::optional<std::string> sourceFolderID;  // "sourceFolderId"
  std::optional<std::string> targetFolderID;  // "targetFolderId"
  std::optional<std::string> targetGroupID;   // "targetGroupID"
  std::optional<std::string> targetEntryID;   // "targetEntryID"
  std::optional<std::string> targetChecksum;
  std::optional<std::int64_t> targetFileSize;
  /// Milliseconds since 1970 on the wire (an ISO 8601 text is read too).
  std::optional<base::Date> lastModifiedTime;
  bool targetMerged = false;
  std::optional<bool> ifflCandidate;
  std::optional<std::string> syncClientID;  // "syncClientId"

  /// An event that only carries a revision.
  static CFSSyncEvent syntheticNop(std::int64_t revision);
  bool operator==(const CFSSyncEvent&) const = default;
};

struct GetEventsResponse {
  std::vector<CFSSyncEvent> events;
  bool moreEvents = false;  // "more_events"

  static std::expected<GetEventsResponse, CloudFSError> decode(const CloudFSResponse& response);
};

struct EventsResponse {
  struct Event {
    std::int64_t eventID = 0;               // "eventId"
    std::int64_t userID = 0;                // "userId"
    std::optional<std::string> byDeviceID;  // "syncClientId"
    std::string actionSource;               // "actionSource"
    std::string action;
    std::optional<std::string> targetFilePath;
    std::optional<std::string> sourceFilePath;
    bool operator==(const Event&) const = default;
  };
  std::vector<Event> events;

  /// The events under "data" (or "events").
  static std::expected<EventsResponse, CloudFSError> decode(const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
