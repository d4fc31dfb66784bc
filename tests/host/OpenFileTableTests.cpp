// Which open handles count as an application holding a file, and the process names kept.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "host/OpenFileTable.hpp"

namespace tarnix::host {
namespace {

using namespace std::chrono_literals;
using Clock = OpenFileTable::Clock;

TEST(OpenFileTableTest, WritersCountAtOnceReadersOnlyAfterTheMinimumHold) {
  OpenFileTable table(5s);
  const auto start = Clock::now();
  const pid_t me = ::getpid();
  const auto reading = table.opened(10, me, false, start);
  const auto writing = table.opened(20, me, true, start);
  table.opened(10, me, false, start + 1s);  // the same process again: one holder

  struct Case {
    const char* when;
    Clock::duration after;
    std::vector<std::uint64_t> inodes;
  };
  for (const auto& c : {Case{"at once", 0s, {20}}, Case{"before the hold", 4s, {20}},
                        Case{"after the hold", 5s, {10, 20}}}) {
    SCOPED_TRACE(c.when);
    std::vector<std::uint64_t> inodes;
    for (const auto& h : table.holders(start + c.after)) inodes.push_back(h.inode);
    std::ranges::sort(inodes);
    EXPECT_EQ(inodes, c.inodes);
  }
  table.released(writing);
  table.released(reading);
  const auto left = table.holders(start + 10s);
  ASSERT_EQ(left.size(), 1u) << "the second handle of inode 10 is still open";
  EXPECT_EQ(left[0].inode, 10u);
  EXPECT_EQ(left[0].pid, me);
}

// Any process may name itself: the name kept is printable and cannot split a "|"-joined list.
TEST(OpenFileTableTest, ProcessNamesAreSanitised) {
  char saved[17] = {};
  ASSERT_EQ(::prctl(PR_GET_NAME, saved), 0);
  ASSERT_EQ(::prctl(PR_SET_NAME, "evil|name\nx"), 0);
  const auto name = OpenFileTable::processName(::getpid());
  ::prctl(PR_SET_NAME, saved);
  EXPECT_EQ(name, "evil_name_x");
  EXPECT_EQ(OpenFileTable::processName(0), std::nullopt);
}

}  // namespace
}  // namespace tarnix::host
