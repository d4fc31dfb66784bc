#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <thread>
#include <vector>

#include "base/Date.hpp"
#include "base/Hash.hpp"
#include "base/JSONValue.hpp"
#include "base/SemanticVersion.hpp"
#include "base/Uuid.hpp"

using namespace tarnix::base;

TEST(Uuid, MakesLowerCaseVersion4Text) {
  auto a = makeUuid();
  auto b = makeUuid();
  EXPECT_NE(a, b);
  ASSERT_EQ(a.size(), 36u);
  EXPECT_EQ(a[14], '4');
  EXPECT_EQ(a.find_first_of("ABCDEF"), std::string::npos);
  EXPECT_EQ(normalizedUuid("0F8FAD5B-D9CB-469F-A165-70867728950E"),
            "0f8fad5b-d9cb-469f-a165-70867728950e");
  for (const char* bad :
       {"", "0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5bxd9cb-469f-a165-70867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950g"}) {
    EXPECT_FALSE(parseUuid(bad)) << bad;
  }
}

// Identifiers come from per-thread blocks of random bytes: none may repeat, within a block,
// across refills or between threads, and each must carry the version and variant bits.
TEST(Uuid, ManyFromSeveralThreadsAreDistinctVersion4Variant1) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 1000;  // several refills of a block
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kPerThread; ++i) made[t].push_back(makeUuid());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> distinct;
  for (const auto& list : made) {
    for (const auto& uuid : list) {
      ASSERT_TRUE(parseUuid(uuid)) << uuid;
      EXPECT_EQ(uuid[14], '4') << uuid;
      EXPECT_NE(std::string_view("89ab").find(uuid[19]), std::string_view::npos) << uuid;
      distinct.insert(uuid);
    }
  }
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

TEST(Hash, KnownDigests) {
  EXPECT_EQ(sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(
      sha512Hex(""),
      "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318d2"
      "877eec2f63b931bd47417a81a538327af927da3e");
  Hasher h(HashAlgorithm::sha256);
  h.update("a");
  h.update("bc");
  EXPECT_EQ(h.finishHex(), sha256Hex("abc"));
  EXPECT_EQ(base64Encode("hello"), "aGVsbG8=");
  auto decoded = base64Decode("aGVsbG8=");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::string(decoded->begin(), decoded->end()), "hello");
  EXPECT_FALSE(base64Decode("abc"));
}

TEST(Date, ISO8601RoundTripsWithMilliseconds) {
  auto date = dateFromMillisecondsSince1970(1709296496789);
  EXPECT_EQ(formatISO8601(date), "2024-03-01T12:34:56.789Z");
  EXPECT_EQ(parseISO8601("2024-03-01T12:34:56.789Z"), date);
  EXPECT_EQ(parseISO8601("2024-03-01T13:34:56.789+01:00"), date);
  EXPECT_EQ(parseISO8601("2024-03-01T12:34:56.7891Z"), date);
  EXPECT_EQ(millisecondsSince1970(*parseISO8601("2024-03-01T12:34:56Z")), 1709296496000);
  for (const char* bad : {"", "2024-03-01", "2024-13-01T00:00:00Z", "2024-03-01T12:34:56.Z",
                          "2024-03-01T12:34:56Zjunk"}) {
    EXPECT_FALSE(parseISO8601(bad)) << bad;
  }
}

TEST(Date, MillisecondCountsBeyondTheClockStopAtItsEnds) {
  const std::int64_t last = millisecondsSince1970(Date::max());
  const std::int64_t first = -last;
  const std::pair<std::int64_t, std::int64_t> cases[] = {
      {0, 0},
      {1709296496789, 1709296496789},
      {last, last},
      {first, first},
      {last + 1, last},
      {first - 1, first},
      {std::numeric_limits<std::int64_t>::max(), last},
      {std::numeric_limits<std::int64_t>::min(), first},
  };
  for (const auto& [count, kept] : cases) {
    const auto date = dateFromMillisecondsSince1970(count);
    EXPECT_EQ(millisecondsSince1970(date), kept) << count;
    EXPECT_FALSE(formatISO8601(date).empty()) << count;
  }
  EXPECT_EQ(formatISO8601(dateFromMillisecondsSince1970(last)).substr(0, 5), "2262-");
}

TEST(Date, HTTPDatesInTheThreeForms) {
  auto expected = dateFromMillisecondsSince1970(784111777000);
  EXPECT_EQ(formatHTTPDate(expected), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(parseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT"), expected);
  EXPECT_EQ(parseHTTPDate("Sun Nov  6 08:49:37 1994"), expected);
  auto rfc850 = parseHTTPDate("Sunday, 06-Nov-94 08:49:37 GMT");
  ASSERT_TRUE(rfc850);
  EXPECT_EQ(formatHTTPDate(*rfc850).substr(5), "06 Nov 1994 08:49:37 GMT");
  for (const char* bad :
       {"", "Sun, 06 Nov 1994 08:49:37 UTC", "Sun, 06 Foo 1994 08:49:37 GMT", "yesterday"}) {
    EXPECT_FALSE(parseHTTPDate(bad)) << bad;
  }
}

TEST(JSONValue, ParseErrorsAreValuesNotExceptions) {
  auto ok = parseJSON(R"({"a": 1, "b": "x", "c": true})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(jsonInt(*ok, "a"), 1);
  EXPECT_EQ(jsonString(*ok, "b"), "x");
  EXPECT_EQ(jsonBool(*ok, "c"), true);
  EXPECT_EQ(jsonString(*ok, "a"), std::nullopt);
  EXPECT_FALSE(parseJSON("{\"a\":"));
  EXPECT_FALSE(parseJSON(""));
}

TEST(SemanticVersion, ParsesAndOrders) {
  struct Case {
    const char* lower;
    const char* higher;
  } cases[] = {{"1.0.0", "2.0.0"},
               {"2.0.0", "2.1.0"},
               {"2.1.0", "2.1.1"},
               {"1.0.0-alpha", "1.0.0"},
               {"1.0.0-alpha", "1.0.0-alpha.1"},
               {"1.0.0-alpha.1", "1.0.0-alpha.beta"},
               {"1.0.0-beta.2", "1.0.0-beta.11"},
               {"1.0.0-rc.1", "1.0.0"}};
  for (auto c : cases) {
    auto a = SemanticVersion::parse(c.lower);
    auto b = SemanticVersion::parse(c.higher);
    ASSERT_TRUE(a && b) << c.lower << " " << c.higher;
    EXPECT_LT(*a, *b) << c.lower << " < " << c.higher;
  }
  EXPECT_EQ(SemanticVersion::parse("1.2.3-rc.1+build.5")->description(), "1.2.3-rc.1+build.5");
  EXPECT_EQ(*SemanticVersion::parse("1.2.3+a"), *SemanticVersion::parse("1.2.3+b"));
  for (const char* bad : {"", "1.2.3.4", "01.2.3", "1.x.3", "1.2.3-"}) {
    EXPECT_FALSE(SemanticVersion::parse(bad)) << bad;
  }
}
