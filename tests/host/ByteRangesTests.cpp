// The byte ranges of a file: what inserting merges, what is covered, which bytes are missing
// first, and the fetches in flight.
#include "host/ByteRanges.hpp"

#include <gtest/gtest.h>

namespace tarnix::host {
namespace {

using Range = ByteRanges::Range;
using List = std::vector<Range>;

std::string show(const List& ranges) {
  std::string out;
  for (const auto& r : ranges)
    out += "[" + std::to_string(r.location) + "+" + std::to_string(r.length) + ")";
  return out.empty() ? "(none)" : out;
}

TEST(ByteRangesTest, InsertKeepsRangesSortedDisjointAndMerged) {
  struct Case {
    const char* name;
    List before;
    Range inserted;
    List after;
  };
  const Case cases[] = {
      {"into nothing", {}, {10, 5}, {{10, 5}}},
      {"empty range", {{10, 5}}, {20, 0}, {{10, 5}}},
      {"negative length", {{10, 5}}, {20, -3}, {{10, 5}}},
      {"before, apart", {{10, 5}}, {0, 5}, {{0, 5}, {10, 5}}},
      {"after, apart", {{10, 5}}, {20, 5}, {{10, 5}, {20, 5}}},
      {"touching on the left", {{10, 5}}, {5, 5}, {{5, 10}}},
      {"touching on the right", {{10, 5}}, {15, 5}, {{10, 10}}},
      {"overlapping the start", {{10, 5}}, {8, 4}, {{8, 7}}},
      {"overlapping the end", {{10, 5}}, {12, 8}, {{10, 10}}},
      {"inside", {{10, 10}}, {12, 2}, {{10, 10}}},
      {"covering", {{10, 5}}, {0, 30}, {{0, 30}}},
      {"bridging two", {{0, 5}, {10, 5}}, {5, 5}, {{0, 15}}},
      {"swallowing several", {{0, 2}, {4, 2}, {8, 2}, {20, 2}}, {1, 10}, {{0, 11}, {20, 2}}},
      {"into the gap between two", {{0, 2}, {10, 2}}, {4, 2}, {{0, 2}, {4, 2}, {10, 2}}},
  };
  for (const auto& c : cases) {
    ByteRanges ranges;
    for (const auto& r : c.before) ranges.insert(r);
    ranges.insert(c.inserted);
    EXPECT_EQ(ranges.ranges(), c.after) << c.name << ": got " << show(ranges.ranges());
    std::int64_t total = 0;
    for (const auto& r : c.after) total += r.length;
    EXPECT_EQ(ranges.size(), total) << c.name;
  }
  // Built in any order, the same set.
  EXPECT_EQ(ByteRanges({{20, 5}, {0, 5}, {5, 5}}).ranges(), (List{{0, 10}, {20, 5}}));
}

TEST(ByteRangesTest, CoversAndFirstMissing) {
  const ByteRanges ranges{{10, 10}, {30, 10}};  // [10, 20) and [30, 40)
  struct Case {
    Range asked;
    bool covered;
    Range missing;
  };
  const Case cases[] = {
      {{0, 0}, true, {0, 0}},       // nothing asked
      {{12, 5}, true, {17, 0}},     // inside one range
      {{10, 10}, true, {20, 0}},    // exactly one range
      {{0, 5}, false, {0, 5}},      // before everything
      {{5, 10}, false, {5, 5}},     // up to the first range
      {{15, 10}, false, {20, 5}},   // from inside one range past its end
      {{15, 30}, false, {20, 10}},  // the gap between two, not what follows
      {{35, 10}, false, {40, 5}},   // past the last
      {{19, 12}, false, {20, 10}},  // across a gap
      {{20, 10}, false, {20, 10}},  // the gap itself
      {{50, 5}, false, {50, 5}},    // after everything
  };
  for (const auto& c : cases) {
    const std::string name =
        "[" + std::to_string(c.asked.location) + "+" + std::to_string(c.asked.length) + ")";
    EXPECT_EQ(ranges.covers(c.asked), c.covered) << name;
    const auto missing = ranges.firstMissing(c.asked);
    EXPECT_EQ(missing, c.missing) << name << ": got " << show({missing});
  }
  EXPECT_TRUE(ByteRanges().covers({5, 0}));
  EXPECT_FALSE(ByteRanges().covers({5, 1}));
  EXPECT_EQ(ByteRanges().firstMissing({5, 10}), (Range{5, 10}));
}

TEST(ByteRangesTest, FetchesInFlightEndByWhatTheyDelivered) {
  ByteRanges ranges;
  ranges.startFetching({0, 10});
  ranges.startFetching({5, 10});  // overlapping fetches are kept apart
  ranges.startFetching({30, 10});
  EXPECT_TRUE(ranges.isFetching(0));
  EXPECT_TRUE(ranges.isFetching(14));
  EXPECT_FALSE(ranges.isFetching(15));
  EXPECT_EQ(ranges.nextFetchAfter(0, 100), 5);
  EXPECT_EQ(ranges.nextFetchAfter(5, 100), 30);
  EXPECT_EQ(ranges.nextFetchAfter(30, 100), 100);
  EXPECT_EQ(ranges.nextFetchAfter(5, 20), 20);
  // Nothing is present until a fetch ends; in flight is not present.
  EXPECT_FALSE(ranges.covers({0, 1}));

  ranges.finishFetching({0, 10}, {0, 8});  // delivered less than asked
  EXPECT_EQ(ranges.ranges(), (List{{0, 8}}));
  EXPECT_TRUE(ranges.isFetching(9));    // still in the second fetch
  ranges.finishFetching({30, 10}, {});  // failed
  EXPECT_FALSE(ranges.isFetching(30));
  EXPECT_EQ(ranges.firstMissing({0, 40}), (Range{8, 32}));
  ranges.finishFetching({5, 10}, {5, 10});
  EXPECT_TRUE(ranges.inFlight().empty());
  EXPECT_EQ(ranges.ranges(), (List{{0, 15}}));
  // Ending a fetch that never began delivers what it brought and nothing else.
  ranges.finishFetching({50, 5}, {50, 5});
  EXPECT_EQ(ranges.ranges(), (List{{0, 15}, {50, 5}}));
}

}  // namespace
}  // namespace tarnix::host
