// The heart beat: HEAD of the connectivity-check file, repeated, reported on change, stopped
// cleanly; the machine's reachability asked first; the cadence on a clock the test advances.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "base/Clock.hpp"
#include "cloudfs/NetworkMonitor.hpp"
#include "platform/PlatformTestSupport.hpp"
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

// What the machine says about its interfaces, as the test sets it; counts the questions.
struct FakeReachability final : NetworkReachability {
  std::atomic<NetworkReachabilityStatus> answer{NetworkReachabilityStatus::wifi};
  mutable std::atomic<int> asked{0};
  NetworkReachabilityStatus status(std::string_view) const override {
    ++asked;
    return answer.load();
  }
};

class NetworkMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<CloudFSSessionFactory> factory() {
    TarnixURLSession::Configuration configuration;
    configuration.additionalCAFile = server_.caFile();
    configuration.downloadDirectory = dir_.path();
    auto urlSession = std::make_shared<TarnixURLSession>(
        tarnix::base::Logger::null(), TarnixUserAgent("d", "1.0.0", "1", {"en_US", "6.1.0", "x"}),
        "t", nullptr, configuration);
    return std::make_shared<CloudFSSessionFactory>(urlSession, tarnix::base::Logger::null());
  }
  std::string serverHost() const { return "127.0.0.1:" + std::to_string(server_.port()); }

  std::unique_ptr<NetworkMonitor> monitor(const std::string& domain) {
    return std::make_unique<NetworkMonitor>(CloudFSSessionConfiguration{domain, std::nullopt},
                                            factory(), reporter_, handler_,
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

namespace {

// The monitor on a manual clock: beats happen when the test moves time, never by themselves.
class NetworkMonitorCadenceTest : public NetworkMonitorTest {
 protected:
  void SetUp() override {
    monitor_ = std::make_unique<NetworkMonitor>(
        CloudFSSessionConfiguration{serverHost(), std::nullopt}, factory(), reporter_, handler_,
        tarnix::testing::recordingLogger(sink_), 60.0, clock_, reachability_);
  }
  void TearDown() override { monitor_->stop(); }

  std::size_t beats() const { return server_.requests().size(); }
  // Waits until the monitor has set its next timer (after handling a beat), then moves time.
  void advanceToNextBeat(std::chrono::milliseconds by) {
    ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 1; }));
    clock_->advance(by);
  }

  std::shared_ptr<tarnix::base::ManualClock> clock_ = tarnix::base::ManualClock::make();
  std::shared_ptr<FakeReachability> reachability_ = std::make_shared<FakeReachability>();
  std::shared_ptr<tarnix::testing::RecordingLogSink> sink_ =
      std::make_shared<tarnix::testing::RecordingLogSink>();
  std::unique_ptr<NetworkMonitor> monitor_;
};

TEST_F(NetworkMonitorCadenceTest, BeatsOnTheIntervalWhileTheCloudAnswers) {
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return beats() == 1 && monitor_->serverReachable() == true; }));
  EXPECT_EQ(sink_->count("Network reachability = WiFi"), 1u);
  advanceToNextBeat(59s);
  ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 1; }));
  EXPECT_EQ(beats(), 1u) << "no beat before the interval";
  clock_->advance(1s);
  ASSERT_TRUE(eventually([&] { return beats() == 2; }));
  advanceToNextBeat(60s);
  ASSERT_TRUE(eventually([&] { return beats() == 3; }));
  EXPECT_EQ(reporter_->seen(), std::vector<bool>{true});
  EXPECT_EQ(sink_->count("Network reachability = WiFi"), 1u) << "logged when it changes only";
}

TEST_F(NetworkMonitorCadenceTest, WithoutAConnectionNothingIsSentAndTheRetriesComeSooner) {
  reachability_->answer = NetworkReachabilityStatus::noConnection;
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return !reporter_->seen().empty(); }));
  EXPECT_EQ(reporter_->seen(), std::vector<bool>{false});
  EXPECT_EQ(sink_->count("Network reachability = No Connection"), 1u);
  // Retries after 2, 4 and 8 seconds: each one asks the machine again and sends nothing.
  for (auto wait : {2s, 4s, 8s}) {
    const int asked = reachability_->asked.load();
    ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 1; }));
    clock_->advance(wait - 1ms);
    EXPECT_EQ(reachability_->asked.load(), asked) << "too early after " << wait.count() << " s";
    clock_->advance(1ms);
    ASSERT_TRUE(eventually([&] { return reachability_->asked.load() == asked + 1; }));
  }
  EXPECT_EQ(beats(), 0u);

  // The network is back: the next retry beats, the cloud answers, and it is reported.
  reachability_->answer = NetworkReachabilityStatus::wifi;
  advanceToNextBeat(16s);
  ASSERT_TRUE(eventually([&] { return reporter_->seen().size() == 2; }));
  EXPECT_EQ(reporter_->seen(), (std::vector<bool>{false, true}));
  EXPECT_EQ(beats(), 1u);
  EXPECT_EQ(sink_->count("Network reachability = WiFi"), 1u);
  // Reachable again, the monitor is back on the long interval.
  advanceToNextBeat(30s);
  ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 1; }));
  EXPECT_EQ(beats(), 1u);
}

TEST_F(NetworkMonitorCadenceTest, ARecheckBeatsAtOnceAndOnlyWhenStarted) {
  monitor_->recheckReachability();
  monitor_->start();
  ASSERT_TRUE(eventually([&] { return beats() == 1 && clock_->pendingTimers() == 1; }));
  EXPECT_EQ(reachability_->asked.load(), 1) << "a recheck before the start does nothing";
  clock_->advance(30s);
  monitor_->recheckReachability();
  ASSERT_TRUE(eventually([&] { return beats() == 2; }));
  // The beat now replaced the one due at 60 s: the next one is due 60 s after it.
  ASSERT_TRUE(eventually([&] { return clock_->pendingTimers() == 2; }));
  clock_->advance(30s);
  EXPECT_EQ(monitor_->serverReachable(), true);  // a round trip through the monitor's queue
  EXPECT_EQ(reachability_->asked.load(), 2);
  clock_->advance(30s);
  ASSERT_TRUE(eventually([&] { return beats() == 3; }));

  monitor_->stop();
  monitor_->recheckReachability();
  clock_->advance(120s);
  EXPECT_EQ(monitor_->serverReachable(), true);
  EXPECT_EQ(reachability_->asked.load(), 3) << "nothing after stopping";
}

TEST(NetworkReachability, LoopbackHostsAndHostNames) {
  struct Case {
    const char* host;
    const char* name;
    bool loopback;
  };
  const Case cases[] = {
      {"localhost", "localhost", true},
      {"localhost:8443", "localhost", true},
      {"LocalHost.", "LocalHost.", true},
      {"sync-x.localhost:1", "sync-x.localhost", true},
      {"127.0.0.1:443", "127.0.0.1", true},
      {"127.9.9.9", "127.9.9.9", true},
      {"[::1]:443", "::1", true},
      {"::1", "::1", true},
      {"10.0.0.1:80", "10.0.0.1", false},
      {"cloud.example.com", "cloud.example.com", false},
      {"notlocalhost", "notlocalhost", false},
      {"[fe80::1]:8", "fe80::1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hostName(c.host), c.name) << c.host;
    EXPECT_EQ(isLoopbackHost(c.host), c.loopback) << c.host;
  }
  // A host on this machine is always reachable, whatever the other interfaces do.
  EXPECT_EQ(NetworkReachability::system()->status("localhost:1"), NetworkReachabilityStatus::wifi);
  EXPECT_EQ(description(NetworkReachabilityStatus::noConnection), "No Connection");
  EXPECT_EQ(description(NetworkReachabilityStatus::cellular), "Cellular");
}

}  // namespace
