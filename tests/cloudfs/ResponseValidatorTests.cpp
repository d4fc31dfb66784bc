// Status classification of background calls: log texts, severities, expired credentials and
// the back-off a "Retry-After" asks for.

#include <gtest/gtest.h>

#include "cloudfs/ResponseValidator.hpp"
#include "support/CapturingLogSink.hpp"

using namespace tarnix::cloudfs;
using tarnix::base::LoggerLevel;
using tarnix::testing::CapturingLogSink;

namespace {

HTTPURLResponse status(int code, std::optional<std::string> retryAfter = std::nullopt) {
  HTTPURLResponse response;
  response.statusCode = code;
  if (retryAfter) response.headerFields.emplace_back("retry-after", *retryAfter);
  return response;
}

const tarnix::base::Date kNow = *tarnix::base::parseHTTPDate("Sun, 06 Nov 1994 08:49:00 GMT");

struct RecordingHandler final : DriveCloudErrorHandler {
  int expired = 0;
  void authenticationDidExpire() override { ++expired; }
};

struct RecordingScheduler final : BackoffScheduler {
  std::vector<double> waits;
  void after(double seconds, std::function<void()> resume) override {
    waits.push_back(seconds);
    resume();
  }
};

}  // namespace

TEST(ResponseValidatorTests, ClassifiesEveryStatus) {
  struct Case {
    HTTPURLResponse response;
    LoggerLevel level;
    std::string message;
    std::optional<double> backoff;
    std::string backoffMessage;
    bool fails;
  };
  const std::string path = "/v5/get_events";
  const Case cases[] = {
      {status(400),
       LoggerLevel::error,
       "CFS rejected bad request in '/v5/get_events'",
       {},
       "",
       true},
      {status(401), LoggerLevel::debug, "CFS rejected authentication credentials", {}, "", false},
      {status(403),
       LoggerLevel::error,
       "CFS refuses to authorise '/v5/get_events' request",
       {},
       "",
       true},
      {status(404),
       LoggerLevel::error,
       "CFS cannot find specified resource in '/v5/get_events'",
       {},
       "",
       true},
      {status(409), LoggerLevel::error, "Unexpected HTTP response", {}, "", true},
      {status(429), LoggerLevel::debug, "CFS applied throttling", {}, "", false},
      {status(429, "120"), LoggerLevel::debug, "CFS applied throttling", 120.0,
       "CFS applied throttling, sleeping for 120.0 s", false},
      {status(429, "Sun, 06 Nov 1994 08:40:00 GMT"), LoggerLevel::debug, "CFS applied throttling",
       0.0, "CFS applied throttling, sleeping for 0.0 s", false},
      {status(429, "later"), LoggerLevel::debug, "CFS applied throttling", {}, "", false},
      {status(503, "Sun, 06 Nov 1994 08:49:30 GMT"), LoggerLevel::debug, "CFS service unavailable",
       30.0, "CFS service unavailable for 30.0 s", false},
      {status(503), LoggerLevel::debug, "CFS service unavailable", {}, "", false},
      {status(500), LoggerLevel::warning, "Unexpected HTTP response", {}, "", false},
      {status(302), LoggerLevel::warning, "Unexpected HTTP response", {}, "", false},
      {status(429, "99999999999999999999"), LoggerLevel::debug, "CFS applied throttling",
       kMaximumBackoffSeconds, "CFS applied throttling, sleeping for 86400.0 s", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.response.statusCode) + " " +
                 c.response.value("Retry-After").value_or(""));
    auto classification = classifyResponse(c.response, path, kNow);
    ASSERT_TRUE(classification.has_value());
    EXPECT_EQ(classification->level, c.level);
    EXPECT_EQ(classification->message, c.message);
    EXPECT_EQ(classification->backoff, c.backoff);
    EXPECT_EQ(classification->backoffMessage, c.backoffMessage);
    EXPECT_EQ(classification->fails(), c.fails);
    EXPECT_EQ(classification->authenticationExpired, c.response.statusCode == 401);
  }
  EXPECT_FALSE(classifyResponse(status(200), path, kNow).has_value());
  EXPECT_EQ(formatSeconds(0.5), "0.5");
}

TEST(ResponseValidatorTests, LogsWaitsAndCompletes) {
  auto [logger, sink] = CapturingLogSink::makeLogger();
  auto handler = std::make_shared<RecordingHandler>();
  auto scheduler = std::make_shared<RecordingScheduler>();
  ResponseValidator validator(logger, handler, scheduler, tarnix::base::ManualClock::make(kNow));

  std::vector<bool> outcomes;
  auto record = [&](std::expected<void, ResponseValidationError> result) {
    outcomes.push_back(result.has_value());
    if (!result) {
      EXPECT_EQ(ResponseValidationError::domain, "com.tarnix.BacgroundCFSIngestion");
      EXPECT_EQ(ResponseValidationError::code, 1);
      EXPECT_EQ(result.error().statusCode, 403);
    }
  };
  validator.validateResponse(status(429, "120"), "/p", record);
  validator.validateResponse(status(401), "/p", record);
  validator.validateResponse(status(403), "/p", record);
  validator.validateResponse(status(204), "/p", record);
  EXPECT_EQ(outcomes, (std::vector<bool>{true, true, false, true}));
  EXPECT_EQ(scheduler->waits, std::vector<double>{120.0});
  EXPECT_EQ(handler->expired, 1);

  auto entries = sink->entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].message, "CFS applied throttling");
  EXPECT_EQ(entries[1].message, "CFS applied throttling, sleeping for 120.0 s");
  EXPECT_EQ(entries[1].level, LoggerLevel::debug);
  EXPECT_EQ(entries[2].message, "CFS rejected authentication credentials");
  EXPECT_EQ(entries[3].level, LoggerLevel::error);
}
