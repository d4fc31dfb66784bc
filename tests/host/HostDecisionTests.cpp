// Plain-value decisions of the host: which contents to evict, how cache sizes read, which errno
// an extension error becomes.
#include <gtest/gtest.h>

#include <cerrno>

#include "common/SyncError.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"
#include "host/EvictionPolicy.hpp"
#include "host/ExtensionCalls.hpp"
#include "host/RangeFetchPolicy.hpp"
#include "host/ReplicaError.hpp"
#include "host/commands/Commands.hpp"
#include "support/CapturingLogSink.hpp"

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

// Reads of a 100-unit file (alignment 4, windows up to 32), one after another from a fresh run.
TEST(RangeFetchPolicyTest, SequentialReadsFetchGrowingWindowsAndSeeksStartSmall) {
  struct Read {
    std::int64_t begin, end;
    fp::ByteRange expected;
  };
  struct Case {
    const char* name;
    ByteRanges present;
    std::vector<Read> reads;
  };
  const Case cases[] = {
      {"from the start on, doubling up to the maximum and the end",
       {},
       {{0, 2, {0, 4}},
        {4, 6, {4, 8}},
        {12, 13, {12, 16}},
        {28, 29, {28, 32}},
        {60, 61, {60, 32}},
        {92, 93, {92, 8}}}},
      {"out-of-order reads ahead still continue the run",
       {},
       {{0, 2, {0, 4}}, {6, 7, {6, 8}}, {14, 15, {14, 16}}}},
      {"a hole behind the run is filled and the run goes on",
       {},
       {{0, 2, {0, 4}},
        {4, 6, {4, 8}},
        {20, 21, {20, 16}},
        {12, 13, {12, 16}},
        {36, 37, {36, 32}}}},
      {"a hole is filled up to what is present after it",
       {{16, 4}},
       {{0, 2, {0, 4}}, {4, 6, {4, 8}}, {24, 25, {24, 16}}, {12, 13, {12, 4}}}},
      {"a window stops at what is present, and the run goes on after it",
       {{20, 4}},
       {{0, 2, {0, 4}}, {4, 6, {4, 8}}, {12, 13, {12, 8}}, {24, 25, {24, 32}}}},
      {"a read across what is present fetches through it", {{4, 2}}, {{0, 8, {0, 8}}}},
      {"a seek starts again from the smallest fetch",
       {},
       {{0, 2, {0, 4}}, {4, 6, {4, 8}}, {60, 61, {60, 4}}, {64, 65, {64, 8}}, {0, 1, {0, 4}}}},
      {"a read larger than the window is fetched whole, and the run doubles from it",
       {},
       {{10, 30, {10, 20}}, {30, 31, {30, 32}}}},
      {"the fetch starts after what is present", {{0, 10}}, {{5, 12, {10, 4}}}},
      {"nothing to fetch when present", {{0, 10}}, {{2, 8, {10, 0}}}},
      {"never past the end of the file", {}, {{98, 120, {98, 2}}}},
  };
  for (const auto& c : cases) {
    SequentialRun run;
    for (const auto& r : c.reads) {
      const auto got = rangeToFetch(c.present, 100, r.begin, r.end, run, {4, 32});
      EXPECT_EQ(got, r.expected) << c.name << ": read " << r.begin << "-" << r.end << " fetched "
                                 << got.location << "+" << got.length;
    }
  }
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
  using common::SyncError;
  using SyncCode = SyncError::Code;
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
      // What the provider hands on inside a framework error: a server fault is EIO, an errno
      // of the network only when the host could not be reached at all.
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::badServerResponse))),
       EIO},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::throttledByServer))),
       EIO},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::serverUnreachable))),
       EHOSTUNREACH},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::permissionDenied))),
       EACCES},
      // Refusals of changes.
      {fp::Error(fp::FileProviderErrorCode::filenameCollision), EEXIST},
      {fp::Error(fp::FileProviderErrorCode::directoryNotEmpty), ENOTEMPTY},
      {fp::Error(fp::FileProviderErrorCode::deletionRejected), EPERM},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::fileLocked))), EBUSY},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::invalidFilePath))),
       EINVAL},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::uploadRejected))),
       EINVAL},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::directoryNotEmpty))),
       ENOTEMPTY},
      {fp::Error::wrapping(fileprovider::bridgedError(SyncError(SyncCode::filenameCollision))),
       EEXIST},
      {fp::Error::wrapping(fp::Error("NSURLErrorDomain", -1005)), EIO},  // connection lost
      {fp::Error::wrapping(fp::Error("NSURLErrorDomain", -1001)), EIO},  // timed out
      {fp::Error::wrapping(fp::Error("NSURLErrorDomain", -1009)), ENETDOWN},
      {fp::Error::wrapping(fp::Error("NSURLErrorDomain", -1004)), EHOSTUNREACH},
  };
  for (const auto& c : cases)
    EXPECT_EQ(errnoForError(c.error), c.expected) << c.error.description();
  EXPECT_EQ(CallError{}.errnoValue(), ETIMEDOUT);
}

TEST(ExtensionErrorTest, EveryReplicaErrorBecomesTheErrnoAUserExpects) {
  using K = ReplicaError::Kind;
  struct Case {
    ReplicaError error;
    int expected;
  };
  const Case cases[] = {
      {ReplicaError::of(K::noSuchItem), ENOENT},
      {ReplicaError::of(K::isFolder), EISDIR},
      {ReplicaError::of(K::notReadable), EACCES},
      {ReplicaError::extension(CallError{fp::Error(fp::FileProviderErrorCode::serverUnreachable)}),
       EHOSTUNREACH},
      {ReplicaError::extension(CallError{}), ETIMEDOUT},
      {ReplicaError::of(K::store, "disk I/O error"), EIO},
      {ReplicaError::fromErrno(ENOSPC, "making a range file"), ENOSPC},
      {ReplicaError::fileSystem(std::make_error_code(std::errc::too_many_files_open), "opening"),
       EMFILE},
      {ReplicaError::of(K::fileSystem), EIO},
      {ReplicaError::of(K::sizeMismatch), EIO},
      {ReplicaError::of(K::rangeNotDelivered), EIO},
  };
  auto [logger, sink] = testing::CapturingLogSink::makeLogger();
  for (const auto& c : cases)
    EXPECT_EQ(errnoForReplicaError(c.error, logger), c.expected) << c.error.description();
  EXPECT_TRUE(sink->entries().empty());

  // One the table does not know is logged, and reads as an I/O error.
  const auto unknown = ReplicaError::of(static_cast<K>(999), "from a newer part of the host");
  EXPECT_EQ(errnoForReplicaError(unknown, logger), EIO);
  ASSERT_EQ(sink->entries("Unknown replica error answered with EIO").size(), 1u);
  EXPECT_NE(sink->allText().find("from a newer part of the host"), std::string::npos);
}

}  // namespace
}  // namespace tarnix::host
