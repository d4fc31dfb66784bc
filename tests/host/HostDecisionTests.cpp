// Plain-value decisions of the host: which contents to evict, how cache sizes read, which errno
// an extension error becomes.
#include <gtest/gtest.h>

#include <cerrno>

#include "host/EvictionPolicy.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/commands/Commands.hpp"

namespace tarnix::host {
namespace {

namespace fp = platform::fileprovider;

TEST(EvictionPolicyTest, EvictsLeastRecentlyUsedClosedFilesUntilTheRestFits) {
  // inode, size, last access
  const std::vector<PresentContent> present = {
      {1, 100, 30, "a"}, {2, 100, 10, "b"}, {3, 100, 20, "c"}, {4, 50, 40, "d"}};
  struct Case {
    const char* name;
    std::set<Inode> open;
    std::int64_t limit;
    std::vector<Inode> expected;
  };
  const Case cases[] = {
      {"under the limit", {}, 350, {}},
      {"exactly at the limit", {}, 350, {}},
      {"oldest first", {}, 250, {2}},
      {"as many as needed", {}, 150, {2, 3}},
      {"open files are skipped", {2}, 250, {3}},
      {"only open files left: over the limit stays", {1, 2, 3, 4}, 0, {}},
      {"zero limit evicts every closed file", {4}, 0, {2, 3, 1}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(selectEvictions(present, c.open, c.limit), c.expected) << c.name;
}

TEST(EvictionPolicyTest, EqualAccessTimesEvictTheLowerInodeFirst) {
  EXPECT_EQ(selectEvictions({{9, 10, 5, "x"}, {3, 10, 5, "y"}}, {}, 10), std::vector<Inode>{3});
}

TEST(CacheSizeTest, ReadsBytesWithUnits) {
  struct Case {
    const char* text;
    std::optional<std::int64_t> bytes;
  };
  const Case cases[] = {
      {"0", 0},
      {"4096", 4096},
      {"10G", std::int64_t{10} << 30},
      {"10GiB", std::int64_t{10} << 30},
      {"512m", std::int64_t{512} << 20},
      {"1.5K", 1536},
      {"2T", std::int64_t{2} << 40},
      {"", std::nullopt},
      {"G", std::nullopt},
      {"-1", std::nullopt},
      {"10X", std::nullopt},
      {"1e30", std::nullopt},
      {"nan", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parseCacheSize(c.text), c.bytes) << c.text;
}

TEST(ExtensionErrorTest, EveryErrorBecomesTheErrnoAUserExpects) {
  struct Case {
    fp::Error error;
    int expected;
  };
  const Case cases[] = {
      {fp::Error::forNonExistentItem(fp::ItemIdentifier("x")), ENOENT},
      {fp::Error(fp::FileProviderErrorCode::notAuthenticated), EACCES},
      {fp::Error(fp::FileProviderErrorCode::serverUnreachable), EHOSTUNREACH},
      {fp::Error(fp::FileProviderErrorCode::cannotSynchronize), EIO},
      {fp::Error(fp::CocoaErrorCode::fileReadNoPermission), EACCES},
      {fp::Error(fp::CocoaErrorCode::userCancelled), ECANCELED},
      {fp::Error::fromErrorCode(std::make_error_code(std::errc::no_space_on_device)), ENOSPC},
      {fp::Error::wrapping(fp::Error(fp::FileProviderErrorCode::noSuchItem)), ENOENT},
      {fp::Error("SomeOtherDomain", 7), EIO},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errnoForError(c.error), c.expected) << c.error.description();
  EXPECT_EQ(CallError{}.errnoValue(), ETIMEDOUT);
}

}  // namespace
}  // namespace tarnix::host
