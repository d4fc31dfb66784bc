#pragma once
// One cloud emulator per test suite, reached over TLS through the production pipeline
// (TarnixURLSession, CloudFSSession, SyncCloudClient), with helpers that read what the emulator
// received and set its fault rules.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "base/JSONValue.hpp"
#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/DriveCloudErrorHandler.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "support/CapturingLogSink.hpp"
#include "support/EmulatorProcess.hpp"

namespace tarnix::testing {

class RecordingErrorHandler final : public cloudfs::DriveCloudErrorHandler {
 public:
  void authenticationDidExpire() override { ++expirations; }
  std::atomic<int> expirations{0};
};

/// One request as the emulator received it.
struct ReceivedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> query;
  base::JSONValue headers;  // lower-case name -> value
  std::string body;

  std::optional<std::string> header(const std::string& lowerCaseName) const;
};

class CloudClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void TearDown() override;

  static EmulatorProcess& emulator() { return *emulator_; }

  /// A client of alice's drive (or of the user with `token`) on the emulator, or on `domain`.
  std::shared_ptr<fileprovider::SyncCloudClient> client(
      const std::string& token = EmulatorProcess::kAliceToken, std::string domain = {});

  /// The emulator's admin interface; the answer's body.
  std::string admin(const base::HTTPMethod& method, const std::string& path,
                    const std::string& body = {});
  void addFault(const base::JSONValue& rule);
  /// What the emulator received since the last call (the log is cleared after reading).
  std::vector<ReceivedRequest> received();

  /// The folder at `path` as a sync item (a new local identifier) with its cloud identifier.
  common::SyncItem folderAt(const std::string& path);
  /// Uploads `content` to `path` as alice (or the user of `token`); the file as a sync item
  /// under `parent`.
  common::SyncItem uploadFile(const std::string& path, const std::string& content,
                              const common::SyncItem& parent,
                              const std::string& token = EmulatorProcess::kAliceToken);
  /// A new folder below `parent`, made through the client.
  common::SyncItem makeFolder(const common::SyncItem& parent, const std::string& name);

  /// Runs `start(completion)` and waits (at most 30 s) for its result.
  template <class T, class Start>
  static fileprovider::SyncCloudResult<T> run(Start start) {
    auto promise = std::make_shared<std::promise<fileprovider::SyncCloudResult<T>>>();
    auto future = promise->get_future();
    start([promise](fileprovider::SyncCloudResult<T> result) {
      promise->set_value(std::move(result));
    });
    if (future.wait_for(std::chrono::seconds(30)) != std::future_status::ready) std::abort();
    return future.get();
  }

  std::shared_ptr<RecordingErrorHandler> errorHandler_ = std::make_shared<RecordingErrorHandler>();
  std::pair<base::Logger, std::shared_ptr<CapturingLogSink>> log_ = CapturingLogSink::makeLogger();

 private:
  static inline std::unique_ptr<EmulatorProcess> emulator_;
  static inline std::shared_ptr<cloudfs::TarnixURLSession> urlSession_;
};

}  // namespace tarnix::testing
