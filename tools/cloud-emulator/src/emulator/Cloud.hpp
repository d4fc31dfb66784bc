#pragma once
// The rules of the cloud over the stored state: authentication, permissions, name checks,
// namespace changes, content versions, chunked upload sessions, locks and the event log.
// Every change appends an event and reports its id to the event listener.
// Not thread-safe: called from the server's one I/O thread.

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "emulator/Http.hpp"
#include "emulator/Store.hpp"

namespace tarnix::emulator {

/// Milliseconds since 1970; injected so that tests can move time.
using Clock = std::function<std::int64_t()>;
Clock systemClock();

/// Who made a change, as the event log records it.
struct Actor {
  const User& user;
  std::optional<std::string> clientId;  // "Tarnix-Client-Id"
  std::string actionSource = "API";     // "X-Tarnix-Action-Source"
};

/// Where the bytes of an upload are: spooled to a file or held in memory.
struct UploadBody {
  const std::string* bytes = nullptr;
  const std::filesystem::path* file = nullptr;
};

struct UploadOptions {
  std::optional<std::string> sha512;           // "X-Sha512-Checksum"
  std::optional<std::int64_t> lastModifiedMs;  // "Last-Modified"
  std::optional<std::string> previousEntryId;  // "X-Tarnix-Previous-EntryId"
  std::optional<std::string> lockToken;        // "X-Tarnix-Lock-Token"
};

struct UploadResult {
  Node node;
  Version version;
  std::optional<std::string> conflictPath;  // the upload was kept under this path instead
};

struct ChunkRequest {
  std::optional<std::string> uploadId;
  std::int64_t number = 0;
  std::optional<bool> last;
  std::optional<std::string> checksum;  // client's SHA-512 of the chunk
  std::int64_t originalSize = 0;
  UploadOptions options;
};

struct ChunkResult {
  std::string uploadId;
  std::string checksum;  // the server's SHA-512 of the chunk it received
  std::optional<UploadResult> final;
  std::string finalChecksum;  // "<sha512 of file>-<chunks>-<chunk size>-<sha512 of checksums>"
};

/// Switches of the event feeds and the event socket, set through "/__admin/events".
struct EventSwitches {
  /// Upgrades of the event socket are answered with this status instead.
  std::optional<int> refuseUpgrade;
  /// False: sockets opened from now on never read, so they answer no ping (nor a close).
  bool answerPings = true;
  /// The precheck's "iffl_candidate", whatever the root paths.
  std::optional<bool> ifflCandidate;
  /// History up to this revision is gone: get_events after an older revision answers 410
  /// (code "EventsExpired"), and the public range request no longer returns those ids.
  std::int64_t expiredThrough = 0;
  /// The next N get_events answers (-1: all until cleared) are JSON whose events have members
  /// of the wrong type.
  std::int64_t malformedBatches = 0;
};

/// Rejections of uploads by the server, set through "/__admin/uploads".
struct UploadSwitches {
  /// Larger files are refused with 413.
  std::optional<std::int64_t> maxFileSize;
  /// Names with these extensions (lower case, no dot) are refused with 400.
  std::vector<std::string> excludedExtensions;
  /// Uploads that would bring the stored content (current versions) above this many bytes are
  /// refused with 507.
  std::optional<std::int64_t> quotaBytes;
};

class Cloud {
 public:
  /// The listener hears the id of every appended event (on the calling thread).
  Cloud(Store& store, Clock clock, std::function<void(std::int64_t)> eventListener = {});

  Store& store() { return store_; }
  EventSwitches& eventSwitches() { return eventSwitches_; }
  UploadSwitches& uploadSwitches() { return uploadSwitches_; }
  /// Milliseconds since 1970: the clock's time plus what the admin interface advanced it by.
  /// Lock expiry and event dates follow it.
  std::int64_t now() const { return clock_() + clockOffsetMs_.load(); }
  /// Moves the time forward (a negative amount is refused: time never runs back).
  void advanceClock(std::int64_t milliseconds) {
    if (milliseconds > 0) clockOffsetMs_ += milliseconds;
  }
  std::int64_t clockOffset() const { return clockOffsetMs_.load(); }
  /// The longest lock granted (seconds), whatever a request asks for; 0: no cap.
  void setMaximumLockSeconds(std::int64_t seconds) {
    maximumLockSeconds_ = std::max<std::int64_t>(seconds, 0);
  }
  std::int64_t maximumLockSeconds() const { return maximumLockSeconds_.load(); }
  void setEventListener(std::function<void(std::int64_t)> listener);

  /// The user named by an "Authorization" value (OAuth token or basic password), or none.
  std::optional<User> authenticate(const std::optional<std::string>& authorization);

  /// Checks `level` on `nodeId` for the user: 404 when the user may not even see it, else 403.
  std::expected<void, ApiError> require(const User& user, std::int64_t nodeId, Permission level);
  std::expected<Node, ApiError> nodeById(const User& user, std::int64_t id, bool folder);
  std::expected<Node, ApiError> nodeByPath(const User& user, const std::string& path);

  std::expected<Node, ApiError> createFolder(const Actor& actor, std::int64_t parentId,
                                             const std::string& name);
  std::expected<Node, ApiError> move(const Actor& actor, std::int64_t id,
                                     std::optional<std::int64_t> newParentId,
                                     std::optional<std::string> newName,
                                     const std::optional<std::string>& lockToken);
  /// `destination` is an existing folder to copy into or the full path of the copy.
  std::expected<Node, ApiError> copy(const Actor& actor, std::int64_t id,
                                     const std::string& destination);
  std::expected<Node, ApiError> duplicate(const Actor& actor, const std::string& path);
  /// Removes the item and everything under it; with `onlyIfEmpty`, a folder that has children
  /// stays and the answer is a 409 "FolderNotEmpty".
  std::expected<void, ApiError> remove(const Actor& actor, std::int64_t id,
                                       std::optional<std::int64_t> entryId,
                                       const std::optional<std::string>& lockToken,
                                       bool onlyIfEmpty = false);

  std::expected<UploadResult, ApiError> upload(const Actor& actor, const std::string& path,
                                               UploadBody body, const UploadOptions& options);
  std::expected<ChunkResult, ApiError> uploadChunk(const Actor& actor, const std::string& path,
                                                   UploadBody body, const ChunkRequest& chunk);

  /// Takes or renews a lock. Refusal by another holder is a 409 whose body is the
  /// already-locked answer.
  std::expected<Lock, ApiError> lock(const Actor& actor, std::int64_t fileId,
                                     const std::optional<std::string>& token,
                                     std::optional<std::int64_t> timeoutSeconds,
                                     const std::optional<std::string>& collaboration);
  std::expected<void, ApiError> unlock(const Actor& actor, std::int64_t fileId,
                                       const std::optional<std::string>& token);

  /// The default lock timeout when the request gives none (seconds).
  static constexpr std::int64_t kDefaultLockTimeout = 300;

 private:
  std::expected<void, ApiError> checkName(const std::string& name, const std::string& parentPath,
                                          bool isFolder, bool isUpload);
  /// The rejections of the upload switches for a file `name` of `size` bytes.
  std::expected<void, ApiError> checkUploadSwitches(const std::string& name, std::int64_t size);
  std::expected<void, ApiError> checkUnlocked(const User& user, std::int64_t nodeId,
                                              const std::optional<std::string>& token);
  std::expected<std::int64_t, ApiError> parentForNew(const User& user, const std::string& path,
                                                     std::string& name);
  std::string freeName(std::int64_t parentId, const std::string& name, const std::string& tag);
  std::int64_t copyTree(std::int64_t sourceId, std::int64_t parentId, const std::string& name,
                        std::int64_t ownerId);
  std::expected<UploadResult, ApiError> commitContent(const Actor& actor, std::int64_t parentId,
                                                      std::string name,
                                                      const std::filesystem::path& staged,
                                                      const std::string& checksum,
                                                      std::int64_t size,
                                                      const UploadOptions& options);
  void emit(const Actor& actor, Event event);

  Store& store_;
  EventSwitches eventSwitches_;
  UploadSwitches uploadSwitches_;
  Clock clock_;
  std::atomic<std::int64_t> clockOffsetMs_{0};
  std::atomic<std::int64_t> maximumLockSeconds_{0};
  std::function<void(std::int64_t)> listener_;
};

}  // namespace tarnix::emulator
