// The heart beat: HEAD of the connectivity-check file, repeated, reported on change, stopped
// cleanly.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "cloudfs/NetworkMonitor.hpp"
#include "support/TempDir.hpp"
#include "support/TestHTTPSServer.hpp"

using namespace tarnix::cloudfs;
using namespace tarnix::testing;
using namespace std::chrono_literals;

namespace {

struct Reporter final : NetworkStatusReportable {
  std::mutex mutex;
  std::vector<bool> changes;
  void serverReachabilityDidChange(bool reachable) override {
    std::lock_guard lock(mutex);
    changes.push_back(reachable);
  }
  std::vector<bool> seen() {
    std::lock_guard lock(mutex);
    return changes;
  }
};

struct Handler final : DriveCloudErrorHandler {
  std::atomic<int> expired{0};
  void authenticationDidExpire() override { ++expired; }
};

template <class Predicate>
bool eventually(Predicate predicate) {
  for (int i = 0; i < 500 && !predicate(); ++i) std::this_thread::sleep_for(10ms);
  return predicate();
}

class NetworkMonitorTest : public ::testing::Test {
 protected:
  std::unique_ptr<NetworkMonitor> monitor(const std::string& domain) {
    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = dir_.path();
    auto urlSession = std::make_shared<TarnixURLSession>(
        tarnix::base::Logger::null(), TarnixUserAgent("d", "1.0.0", "1", {"en_US", "6.1.0", "x"}),
        "t", nullptr, configuration);
    auto factory =
        std::make_shared<CloudFSSessionFactory>(urlSession, tarnix::base::Logger::null());
    return std::make_unique<NetworkMonitor>(CloudFSSessionConfiguration{domain, std::nullopt},
                                            factory, reporter_, handler_,
                                            tarnix::base::Logger::null(), 0.05);
  }

  std::atomic<int> status_{200};
  TestHTTPSServer server_{
      [this](const RecordedRequest&) { return CannedResponse(status_.load()); }};
  TempDir dir_{"tarnix-monitor"};
  std::shared_ptr<Reporter> reporter_ = std::make_shared<Reporter>();
  std::shared_ptr<Handler> handler_ = std::make_shared<Handler>();
};

TEST_F(NetworkMonitorTest, BeatsUntilStoppedAndReportsReachability) {
  status_ = 401;
  auto m = monitor("127.0.0.1:" + std::to_string(server_.port()));
  EXPECT_EQ(m->serverReachable(), std::nullopt);
  m->start();
  ASSERT_TRUE(eventually([&] { return handler_->expired.load() >= 3; }));
  m->stop();
  // A beat that was on its way when stopping may still arrive; none is sent after it.
  std::this_thread::sleep_for(100ms);
  auto count = server_.requests().size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server_.requests().size(), count);

  auto first = server_.requests().front();
  EXPECT_EQ(first.method, "HEAD");
  EXPECT_EQ(first.target, "/downloads/test/tx-client-check.txt");
  EXPECT_EQ(first.header("Pragma"), "no-cache");
  EXPECT_EQ(first.header("Cache-Control"), "no-cache, no-store, must-revalidate");
  EXPECT_EQ(m->serverReachable(), true);
  EXPECT_EQ(reporter_->seen(), std::vector<bool>{true});
  EXPECT_GE(handler_->expired.load(), 3);
}

TEST_F(NetworkMonitorTest, ARefusedConnectionIsUnreachable) {
  auto m = monitor("127.0.0.1:" + std::to_string(unusedLoopbackPort()));
  m->start();
  ASSERT_TRUE(eventually([&] { return !reporter_->seen().empty(); }));
  m->stop();
  EXPECT_EQ(m->serverReachable(), false);
  EXPECT_EQ(reporter_->seen(), std::vector<bool>{false});
}

}  // namespace
