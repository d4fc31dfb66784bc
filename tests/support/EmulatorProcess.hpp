#pragma once
// Runs the built tarnix-cloud-emulator for a test: a fresh data folder, a free loopback port,
// and SIGTERM when the object goes. Clients trust `caFile()` (set TARNIX_CA_FILE to it) and
// sign in with the users every fresh emulator has (kAliceToken, ...; basic passwords
// "<name>-password"). Files go below "/Shared/..." or "/Private/..." (seed "demo" makes both);
// the cloud refuses files directly in "/" or "/Shared".
//
// Tests can read what the emulator received and make it fail:
//   GET    <baseURL>/__admin/requests  -> [{"method","path","target","query":[[n,v]],
//                                          "headers":{lower-case name: value},"body"}]
//   DELETE <baseURL>/__admin/requests  -> forget them
//   POST   <baseURL>/__admin/faults    -> add rules, e.g. {"path": "^/api/v1/fs-content",
//            "action": "status"|"delay"|"drop"|"truncate"|"reset"|"malformed", "status": 503,
//            "retryAfter": "2", "delayMs": 500, "count": 1, "method": "GET", "body": {...},
//            "skip": N (let the first N matches through), "matchHeaders": {"X-Tarnix-Chunk-Num":
//            "3"} (only requests with these header values)}; "action": "commitDrop" lets the
//            request take effect and closes the connection without the answer
//   DELETE <baseURL>/__admin/faults    -> remove all rules
//   POST   <baseURL>/__admin/uploads   -> upload rejections from now on, any of
//            {"maxFileSize": BYTES | null (413), "excludedExtensions": ["exe"] (400),
//            "quotaBytes": BYTES | null (507)}; GET reads them, DELETE resets them
//   POST   <baseURL>/__admin/permissions -> a user's level on an item from now on:
//            {"user": "bob" | "user_id": 2, "id": 12 | "path": "/Shared/x" (both: the same
//            item), "permission": "none"|"nav"|"viewer"|"editor"|"full"|"owner"}
//   GET    <baseURL>/__admin/events      -> the event switches and "openSockets"
//   POST   <baseURL>/__admin/events      -> any of {"closeSockets": true (close every open
//            event socket, code 1001), "push": TEXT (send TEXT as a text frame to every open
//            socket), "refuseUpgrade": STATUS | null (answer socket upgrades with STATUS),
//            "answerPings": false (sockets opened from now on never read: no pong, no answer to
//            a close), "ifflCandidate": false | true | null (the precheck's answer),
//            "expireThrough": REVISION (history up to REVISION is gone: get_events after an
//            older revision answers 410 {"code": "EventsExpired", ...} and getEvents leaves
//            those ids out),
//            "malformedBatches": N (the next N get_events answers, -1 all, carry events whose
//            members have the wrong types)}; the answer is the state, with "pushed"/"closed"
//            counts
//   DELETE <baseURL>/__admin/events      -> every switch back to normal (history included)
// each with the header "X-Admin-Token: <adminToken()>". A folder deleted with
// "DELETE /api/v1/fs/ids/folder/<id>?only_if_empty=true" stays when it has children: 409 with
// {"code": "FolderNotEmpty", "message": "The folder is not empty"}.

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.hpp"

namespace tarnix::testing {

class EmulatorProcess {
 public:
  static constexpr const char* kAliceToken = "alice-token";
  static constexpr const char* kBobToken = "bob-token";
  static constexpr const char* kAdminToken = "admin-token";  // a user who may unlock others' locks

  struct Options {
    std::string seed;        // "demo", "scale:N" or empty
    std::string faultsFile;  // a JSON file of fault rules, or empty
  };

  /// Starts the emulator and waits (up to 20 s) until it listens.
  static std::expected<std::unique_ptr<EmulatorProcess>, std::string> start(Options options);
  static std::expected<std::unique_ptr<EmulatorProcess>, std::string> start() {
    return start(Options{});
  }
  ~EmulatorProcess();
  EmulatorProcess(const EmulatorProcess&) = delete;
  EmulatorProcess& operator=(const EmulatorProcess&) = delete;

  std::uint16_t port() const { return port_; }
  /// "localhost:PORT": the drive's cloud host; "sync-localhost:PORT" reaches the sync back end
  /// (the name does not resolve: point it at 127.0.0.1, e.g. CURLOPT_RESOLVE).
  std::string host() const { return "localhost:" + std::to_string(port_); }
  std::string baseURL() const { return "https://" + host(); }
  const std::filesystem::path& caFile() const { return caFile_; }
  const std::filesystem::path& dataDir() const { return data_.path(); }
  const std::string& adminToken() const { return adminToken_; }
  /// "OAUTH oauth_token=<token>,oauth_version=2.0"
  static std::string authorization(const std::string& token);

  /// Sends SIGTERM and waits; true when it exited with status 0. Idempotent.
  bool stop();
  /// After stop(): starts it again on the same port with the same data folder (its state,
  /// certificate and admin token) and waits (up to 20 s) until it listens.
  std::expected<void, std::string> restart();

 private:
  EmulatorProcess() : data_("tarnix-emulator") {}
  /// Runs the emulator on `port` (0: a free one) and reads its banner.
  std::expected<void, std::string> launch(std::uint16_t port);

  Options options_;
  TempDir data_;
  pid_t pid_ = -1;
  int exitStatus_ = -1;
  std::uint16_t port_ = 0;
  std::filesystem::path caFile_;
  std::string adminToken_;
};

}  // namespace tarnix::testing
