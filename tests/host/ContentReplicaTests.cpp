// The content replica without FUSE, on the fake extension: readers that share a window, fetches
// that fail or answer late, closes while reading ahead, eviction, new versions under open files,
// downloads shorter than their item, and what a start finds left over.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <thread>

#include "host/ChangeSynchronizer.hpp"
#include "host/ContentReplica.hpp"
#include "host/DomainManager.hpp"
#include "host/KernelCache.hpp"
#include "support/FakeReplicatedExtension.hpp"
#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeReplicatedExtension;

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(gen());
  return s;
}

constexpr std::int64_t kKiB = 1024;

// Waits (up to 10 s) until `condition` holds.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Holds the fetches the extension is asked for until the test lets them go, and counts them.
class FetchGate {
 public:
  // Hook for the fake: fetches for which `holds` (the call and its number, from 1) is true wait
  // for open(); `fails` decides whether a fetch answers with an error once let go.
  FakeReplicatedExtension::FetchHook hook(
      std::function<bool(const FakeReplicatedExtension::FetchCall&, int number)> holds,
      std::function<std::optional<platform::fileprovider::Error>(int number)> fails = nullptr) {
    return [this, holds, fails](const FakeReplicatedExtension::FetchCall& call,
                                FakeReplicatedExtension::Answer answer) {
      int number = 0;
      {
        std::unique_lock lock(mutex_);
        number = ++calls_;
        if (holds(call, number)) {
          ++waiting_;
          changed_.notify_all();
          changed_.wait_for(lock, 20s, [&] { return open_; });
          --waiting_;
        }
      }
      answer(fails ? fails(number) : std::nullopt);
    };
  }
  // Waits (bounded) until `count` fetches are held.
  bool awaitHeld(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return waiting_ >= count; });
  }
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int calls_ = 0;
  int waiting_ = 0;
  bool open_ = false;
};

class ContentReplicaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto store = ReplicaStore::open(dir_.path() / "Replica.db");
    ASSERT_TRUE(store) << store.error().description();
    store_ = std::move(*store);
    manager_ = std::make_shared<DomainManager>(
        platform::fileprovider::Domain{platform::fileprovider::DomainIdentifier("d"), "Drive"},
        store_, dir_.path() / "tmp", dir_.path() / "mnt");
    fake_->setManager(manager_);
    calls_ = std::make_shared<ExtensionCalls>(fake_, 20s);
  }

  void TearDown() override {
    // Whatever a test held, nothing waits past its end.
    gate_.open();
    replica_.reset();
  }

  // Files up to 256 KiB are fetched whole, larger ones in ranges of 64 KiB or more.
  static ContentReplicaOptions options() {
    ContentReplicaOptions o;
    o.partialThreshold = 256 * kKiB;
    o.alignment = 64 * kKiB;
    o.maximumWindow = 1024 * kKiB;
    return o;
  }

  ContentReplica& start(ContentReplicaOptions o = options()) {
    o.contentsDirectory = dir_.path() / "Contents";
    replica_ = std::make_shared<ContentReplica>(store_, calls_, o, base::Logger::null());
    return *replica_;
  }

  // What the host does when it shows an item: asks the extension and records the answer.
  Inode show(const std::string& id) {
    auto item = calls_->item(platform::fileprovider::ItemIdentifier(id));
    EXPECT_TRUE(item) << id;
    if (!item) return 0;
    auto upserted = store_->upsert(**item);
    EXPECT_TRUE(upserted && *upserted) << id;
    if (!upserted || !*upserted) return 0;
    if ((*upserted)->staleContentPath) replica_->discard(*(*upserted)->staleContentPath);
    return (*upserted)->inode;
  }

  std::shared_ptr<OpenContent> open(Inode inode) {
    auto opened = replica_->open(inode);
    EXPECT_TRUE(opened) << "errno " << errnoOf(opened);
    return opened ? *opened : nullptr;
  }

  // The errno the FUSE bridge answers for a failed result (0 for success).
  template <class Result>
  static int errnoOf(const Result& result) {
    if (result) return 0;
    if constexpr (std::is_same_v<std::decay_t<decltype(result.error())>, int>)
      return result.error();
    else
      return errnoForReplicaError(result.error(), base::Logger::null());
  }

  // Reads [offset, offset + size) of an open file as the FUSE bridge does; "<errno N>" when
  // preparing the read failed.
  std::string read(OpenContent& content, std::int64_t offset, std::int64_t size) {
    auto ready = replica_->prepareRead(content, offset, size);
    if (!ready) return "<errno " + std::to_string(errnoOf(ready)) + ">";
    std::string out(static_cast<std::size_t>(size), '\0');
    const auto got = ::pread(content.fd(), out.data(), out.size(), offset);
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return out;
  }

  std::optional<ReplicaEntry> entry(Inode inode) {
    auto found = store_->entry(inode);
    return found && *found ? std::optional(**found) : std::nullopt;
  }
  bool present(Inode inode) {
    auto e = entry(inode);
    return e && e->contentPresent && e->presentContentVersion == e->version.contentVersion;
  }

  // Bytes the files below `folder` occupy on disk (what `du` counts).
  static std::int64_t bytesOnDisk(const fs::path& folder) {
    std::int64_t total = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(folder, ec)) {
      struct stat st {};
      if (::lstat(e.path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) total += st.st_blocks * 512;
    }
    return total;
  }
  static std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }

  FetchGate gate_;  // outlives the fake, whose hook may point here
  testing::TempDir dir_{"tarnix-replica"};
  std::shared_ptr<FakeReplicatedExtension> fake_ = std::make_shared<FakeReplicatedExtension>();
  std::shared_ptr<ReplicaStore> store_;
  std::shared_ptr<DomainManager> manager_;
  std::shared_ptr<ExtensionCalls> calls_;
  std::shared_ptr<ContentReplica> replica_;
};

bool isRange(const FakeReplicatedExtension::FetchCall& call, int) {
  return call.range.has_value();
}

TEST_F(ContentReplicaTest, TwoReadersOfOneWindowShareOneFetch) {
  const std::string big = randomBytes(1024 * kKiB, 1);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  start();
  const Inode inode = show("big");
  auto first = open(inode), second = open(inode);
  ASSERT_TRUE(first && second);
  fake_->setFetchHook(gate_.hook(isRange));

  auto one = std::async(std::launch::async, [&] { return read(*first, 0, 4096); });
  ASSERT_TRUE(gate_.awaitHeld(1));
  auto two = std::async(std::launch::async, [&] { return read(*second, 1000, 4096); });
  // The second reader finds the window in flight and waits for it (or finds it present).
  std::this_thread::sleep_for(50ms);
  gate_.open();
  ASSERT_EQ(one.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(two.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(one.get(), big.substr(0, 4096));
  EXPECT_EQ(two.get(), big.substr(1000, 4096));
  EXPECT_EQ(gate_.calls(), 1);
  replica_->release(first);
  replica_->release(second);
}

// A fetch that fails fails its own read; a reader that waited for it, or for a read-ahead that
// failed, fetches the window itself.
TEST_F(ContentReplicaTest, AFetchThatFailsLetsTheReaderWaitingForItFetchAgain) {
  const std::string big = randomBytes(1024 * kKiB, 2);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  start();
  const Inode inode = show("big");
  auto first = open(inode), second = open(inode);
  ASSERT_TRUE(first && second);
  const platform::fileprovider::Error unreachable(
      platform::fileprovider::FileProviderErrorCode::serverUnreachable);
  fake_->setFetchHook(gate_.hook(
      isRange, [&](int call) { return call == 1 ? std::optional(unreachable) : std::nullopt; }));

  auto one = std::async(std::launch::async, [&] { return read(*first, 0, 4096); });
  ASSERT_TRUE(gate_.awaitHeld(1));
  auto two = std::async(std::launch::async, [&] { return read(*second, 0, 4096); });
  std::this_thread::sleep_for(50ms);
  gate_.open();
  ASSERT_EQ(one.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(two.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(one.get(), "<errno " + std::to_string(EHOSTUNREACH) + ">");
  EXPECT_EQ(two.get(), big.substr(0, 4096));
  EXPECT_EQ(gate_.calls(), 2);
  replica_->release(first);
  replica_->release(second);
}

TEST_F(ContentReplicaTest, AReadAheadThatFailsDoesNotHoldTheReaderBack) {
  const std::string big = randomBytes(2048 * kKiB, 3);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  start();
  const Inode inode = show("big");
  auto content = open(inode);
  ASSERT_TRUE(content);
  // Every fetch after the reader's first two (the read-aheads) fails.
  fake_->setFetchHook(gate_.hook(
      [](const auto&, int) { return false; },
      [](int call) {
        return call > 2 ? std::optional(platform::fileprovider::Error(
                              platform::fileprovider::FileProviderErrorCode::serverUnreachable))
                        : std::nullopt;
      }));
  EXPECT_EQ(read(*content, 0, 64 * kKiB), big.substr(0, 64 * kKiB));
  EXPECT_EQ(read(*content, 64 * kKiB, 64 * kKiB), big.substr(64 * kKiB, 64 * kKiB));
  ASSERT_TRUE(eventually([&] { return gate_.calls() >= 3; }));
  // The window ahead failed to arrive: the reader's own fetch answers (and fails, as the
  // extension now does), without waiting for anything.
  auto later = std::async(std::launch::async, [&] { return read(*content, 200 * kKiB, 4096); });
  ASSERT_EQ(later.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(later.get(), "<errno " + std::to_string(EHOSTUNREACH) + ">");
  fake_->setFetchHook(nullptr);
  EXPECT_EQ(read(*content, 200 * kKiB, 4096), big.substr(200 * kKiB, 4096));
  replica_->release(content);
}

// A sequential pass reads ahead; a close while that is under way keeps what arrives, so that
// opening the file again fetches none of it twice.
TEST_F(ContentReplicaTest, ACloseDuringReadAheadKeepsWhatArrives) {
  const std::string big = randomBytes(2048 * kKiB, 4);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  start();
  const Inode inode = show("big");
  auto content = open(inode);
  ASSERT_TRUE(content);
  fake_->setFetchHook(gate_.hook([](const auto&, int number) { return number > 2; }));
  EXPECT_EQ(read(*content, 0, 64 * kKiB), big.substr(0, 64 * kKiB));
  EXPECT_EQ(read(*content, 64 * kKiB, 64 * kKiB), big.substr(64 * kKiB, 64 * kKiB));
  // The reader's two windows came; the two after them are being fetched ahead.
  ASSERT_TRUE(gate_.awaitHeld(2));
  replica_->release(content);
  content.reset();
  gate_.open();

  const auto fetchedBefore = fake_->requestedRanges();
  auto again = open(inode);
  ASSERT_TRUE(again);
  // Everything the pass fetched, in the reader's windows and ahead of them.
  std::int64_t reach = 0;
  for (const auto& r : fetchedBefore) reach = std::max(reach, r.location + r.length);
  ASSERT_GT(reach, 128 * kKiB);
  EXPECT_EQ(read(*again, 0, reach), big.substr(0, reach));
  // Reading on may fetch what comes after, never again what came before.
  const auto fetchedAfter = fake_->requestedRanges();
  for (std::size_t i = fetchedBefore.size(); i < fetchedAfter.size(); ++i)
    EXPECT_GE(fetchedAfter[i].location, reach) << "fetched again at " << fetchedAfter[i].location;
  replica_->release(again);
}

// A large file's ranges stay while its version does: reading the same bytes after a close asks
// for nothing; after a new version everything is fetched again.
TEST_F(ContentReplicaTest, AReopenedLargeFileFetchesNothingTwice) {
  for (const bool changed : {false, true}) {
    SCOPED_TRACE(changed ? "new version" : "same version");
    const std::string first = randomBytes(1024 * kKiB, 5), second = randomBytes(1024 * kKiB, 6);
    fake_->addFile("big", fake_->root(), "big.bin", first);
    auto o = options();
    o.maximumWindow = o.alignment;  // no reading ahead: each read asks for its own window
    start(o);
    const Inode inode = show("big");
    auto content = open(inode);
    ASSERT_TRUE(content);
    EXPECT_EQ(read(*content, 0, 4096), first.substr(0, 4096));
    EXPECT_EQ(read(*content, 512 * kKiB, 4096), first.substr(512 * kKiB, 4096));
    replica_->release(content);
    if (changed) {
      fake_->updateFile("big", second);
      show("big");
    }
    const int before = fake_->counters().fetchPartialContents.load();
    auto again = open(inode);
    ASSERT_TRUE(again);
    const std::string& now = changed ? second : first;
    EXPECT_EQ(read(*again, 0, 4096), now.substr(0, 4096));
    EXPECT_EQ(read(*again, 512 * kKiB, 4096), now.substr(512 * kKiB, 4096));
    EXPECT_EQ(fake_->counters().fetchPartialContents.load() - before, changed ? 2 : 0);
    // One file for the version read now; an older version's ranges are gone.
    EXPECT_EQ(filesIn(dir_.path() / "Contents").size(), 1u);
    replica_->release(again);
    replica_.reset();
  }
}

// The host copies a fetched range from where the extension says it sits in the delivered file,
// whatever the file's length.
TEST_F(ContentReplicaTest, ARangeIsTakenFromWhereTheExtensionPutIt) {
  struct Case {
    const char* name;
    FakeReplicatedExtension::RangeOffset offset;
  };
  const std::vector<Case> cases = {
      {"at its place", [](platform::fileprovider::ByteRange r) { return r.location; }},
      {"alone", [](platform::fileprovider::ByteRange) { return std::int64_t{0}; }},
      {"after other bytes", [](platform::fileprovider::ByteRange) { return std::int64_t{13}; }},
  };
  const std::int64_t size = 1024 * kKiB + 123;  // the last range is shorter than the alignment
  int seed = 20;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = std::string("big-") + std::to_string(seed);
    const std::string bytes = randomBytes(static_cast<std::size_t>(size), seed++);
    fake_->addFile(id, fake_->root(), id + ".bin", bytes);
    fake_->setRangeOffset(c.offset);
    auto o = options();
    o.maximumWindow = o.alignment;  // no reading ahead: each read asks for its own window
    start(o);
    auto content = open(show(id));
    ASSERT_TRUE(content);
    for (const std::int64_t at : {std::int64_t{0}, 300 * kKiB, size - 100}) {
      SCOPED_TRACE(at);
      EXPECT_EQ(read(*content, at, 100), bytes.substr(static_cast<std::size_t>(at), 100));
    }
    replica_->release(content);
    replica_.reset();
  }
}

// An open file keeps its contents while others come and go over the cache limit; once closed it
// is the first to go.
TEST_F(ContentReplicaTest, EvictionNeverTakesAnOpenFile) {
  const std::string a = randomBytes(200 * kKiB, 7), b = randomBytes(200 * kKiB, 8),
                    c = randomBytes(200 * kKiB, 9);
  fake_->addFile("a", fake_->root(), "a.bin", a);
  fake_->addFile("b", fake_->root(), "b.bin", b);
  fake_->addFile("c", fake_->root(), "c.bin", c);
  auto o = options();
  o.cacheLimit = 300 * kKiB;
  start(o);
  const Inode ia = show("a"), ib = show("b"), ic = show("c");
  auto held = open(ia);
  ASSERT_TRUE(held);
  for (const Inode other : {ib, ic, ib}) {
    auto content = open(other);
    ASSERT_TRUE(content);
    replica_->release(content);
    EXPECT_TRUE(present(ia));
    EXPECT_EQ(read(*held, 0, 200 * kKiB), a);
  }
  auto last = open(ib);
  ASSERT_TRUE(last);
  replica_->release(held);
  EXPECT_FALSE(present(ia));
  EXPECT_TRUE(present(ib));
  EXPECT_EQ(read(*last, 0, 200 * kKiB), b);
  replica_->release(last);
  EXPECT_LE(store_->cacheUsage().value_or(-1), o.cacheLimit);
}

// The ranges of large files occupy the disk as whole files do: reading them makes room, and the
// cache stays within its limit but for the windows being read.
TEST_F(ContentReplicaTest, PartialFilesCountAgainstTheCacheLimit) {
  const std::string small = randomBytes(200 * kKiB, 10);
  fake_->addFile("small", fake_->root(), "small.bin", small);
  for (int i = 0; i < 3; ++i)
    fake_->addFile("big" + std::to_string(i), fake_->root(), "big" + std::to_string(i),
                   randomBytes(2048 * kKiB, 11 + i));
  auto o = options();
  o.cacheLimit = 600 * kKiB;
  o.maximumWindow = o.alignment;  // windows of 64 KiB, no reading ahead
  start(o);
  const Inode smallInode = show("small");
  auto content = open(smallInode);
  ASSERT_TRUE(content);
  replica_->release(content);
  ASSERT_TRUE(present(smallInode));

  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::string id = "big" + std::to_string(i);
    auto big = open(show(id));
    ASSERT_TRUE(big);
    // Far apart, so that no read continues another.
    for (std::int64_t at = 0; at < 2048 * kKiB; at += 256 * kKiB)
      EXPECT_EQ(read(*big, at, 64 * kKiB), fake_->contents(id).substr(at, 64 * kKiB));
    // 512 KiB of this file and 200 KiB of the small one are more than the limit.
    EXPECT_FALSE(present(smallInode));
    EXPECT_LE(bytesOnDisk(dir_.path() / "Contents"), o.cacheLimit + o.alignment);
    replica_->release(big);
  }
  EXPECT_LE(bytesOnDisk(dir_.path() / "Contents"), o.cacheLimit + o.alignment);
}

// Contents that change while an open reads them: the older open keeps reading its own bytes,
// whether the file is fetched whole or range by range.
TEST_F(ContentReplicaTest, ANewVersionLeavesAnOlderOpenItsOwnBytes) {
  struct Case {
    const char* name;
    std::size_t size;
  };
  for (const Case& c : {Case{"whole", 100 * kKiB}, Case{"range by range", 1024 * kKiB}}) {
    SCOPED_TRACE(c.name);
    const std::string id = std::string("f-") + c.name;
    const std::string first = randomBytes(c.size, 20), second = randomBytes(c.size, 21);
    fake_->addFile(id, fake_->root(), id, first);
    if (!replica_) start();
    const Inode inode = show(id);
    auto older = open(inode);
    ASSERT_TRUE(older);
    EXPECT_EQ(read(*older, 0, 64 * kKiB), first.substr(0, 64 * kKiB));

    fake_->updateFile(id, second);
    show(id);
    auto newer = open(inode);
    ASSERT_TRUE(newer);
    EXPECT_EQ(read(*newer, 0, 64 * kKiB), second.substr(0, 64 * kKiB));
    // What the older open read before, and what it reads for the first time.
    EXPECT_EQ(read(*older, 0, 64 * kKiB), first.substr(0, 64 * kKiB));
    EXPECT_EQ(read(*older, c.size / 2, 4096), first.substr(c.size / 2, 4096));
    replica_->release(older);
    EXPECT_EQ(read(*newer, c.size / 2, 4096), second.substr(c.size / 2, 4096));
    EXPECT_EQ(read(*newer, 0, static_cast<std::int64_t>(c.size)), second);
    replica_->release(newer);
  }
}

// A whole download whose size is not the item's: the item is asked for again; contents that
// match it are kept, a short file never reads as the whole.
TEST_F(ContentReplicaTest, AWholeFetchOfTheWrongSizeIsNeverTakenForTheFile) {
  const std::string bytes = randomBytes(100 * kKiB, 30);
  struct Case {
    const char* name;
    FakeReplicatedExtension::DeliveryFilter filter;
    bool opens;
  };
  const Case cases[] = {
      {"the download was cut short", [](std::string& b, auto&) { b.resize(b.size() / 2); }, false},
      {"the item handed over was older than the bytes",
       [](std::string&, platform::fileprovider::ItemProperties& item) {
         item.documentSize = *item.documentSize - 10;
       },
       true},
  };
  start();
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = "f" + std::to_string(++n);
    fake_->addFile(id, fake_->root(), id, bytes);
    const Inode inode = show(id);
    fake_->setDeliveryFilter(c.filter);
    const int itemCalls = fake_->counters().item.load();
    auto opened = replica_->open(inode);
    fake_->setDeliveryFilter(nullptr);
    EXPECT_GT(fake_->counters().item.load(), itemCalls) << "the item was not asked for again";
    ASSERT_EQ(opened.has_value(), c.opens);
    if (!c.opens) {
      EXPECT_EQ(errnoOf(opened), EIO);
      EXPECT_FALSE(present(inode));
      continue;
    }
    EXPECT_EQ(read(**opened, 0, static_cast<std::int64_t>(bytes.size()) + 1), bytes);
    EXPECT_EQ(entry(inode)->size, static_cast<std::int64_t>(bytes.size()));
    replica_->release(*opened);
  }
}

// A download the extension answers after the host stopped waiting leaves nothing behind.
TEST_F(ContentReplicaTest, ADownloadAnsweredTooLateLeavesNothingBehind) {
  fake_->addFile("f", fake_->root(), "f.txt", "contents");
  calls_ = std::make_shared<ExtensionCalls>(fake_, 200ms);
  start();
  const Inode inode = show("f");
  std::mutex mutex;
  FakeReplicatedExtension::Answer late;
  fake_->setFetchHook([&](const auto&, FakeReplicatedExtension::Answer answer) {
    std::lock_guard lock(mutex);
    late = std::move(answer);
  });
  auto opened = replica_->open(inode);
  ASSERT_FALSE(opened);
  EXPECT_EQ(errnoOf(opened), ETIMEDOUT);
  std::lock_guard lock(mutex);
  ASSERT_TRUE(late);
  late(std::nullopt);  // the download is written and handed over now
  EXPECT_EQ(filesIn(dir_.path() / "tmp"), std::vector<std::string>{});
  EXPECT_FALSE(present(inode));
}

// A run that ended without stopping (a crash) leaves the ranges of a large file and the
// downloads the extension had under way; the next mount removes them and keeps the contents
// the store records.
TEST_F(ContentReplicaTest, LeftoversOfAnEarlierRunAreRemovedWhenTheDriveIsMounted) {
  const std::string small = randomBytes(100 * kKiB, 40), big = randomBytes(1024 * kKiB, 41);
  fake_->addFile("small", fake_->root(), "small.bin", small);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  fake_->addFile("other", fake_->root(), "other.bin", small);
  calls_ = std::make_shared<ExtensionCalls>(fake_, 200ms);
  start();
  const Inode smallInode = show("small"), bigInode = show("big"), otherInode = show("other");
  auto kept = open(smallInode);
  ASSERT_TRUE(kept);
  replica_->release(kept);
  auto ranged = open(bigInode);
  ASSERT_TRUE(ranged);
  EXPECT_EQ(read(*ranged, 0, 4096), big.substr(0, 4096));
  // The extension is writing a download when the run ends.
  fake_->setFetchHook([&](const auto&, FakeReplicatedExtension::Answer) {
    testing::writeFile(dir_.path() / "tmp" / "dl-full-unfinished", small.substr(0, 1000));
  });
  EXPECT_FALSE(replica_->open(otherInode));
  fake_->setFetchHook(nullptr);
  ASSERT_EQ(filesIn(dir_.path() / "Contents").size(), 2u);
  ASSERT_EQ(filesIn(dir_.path() / "tmp").size(), 1u);

  auto o = options();
  o.contentsDirectory = dir_.path() / "Contents";
  o.temporaryDirectory = dir_.path() / "tmp";
  ContentReplica::removeLeftovers(*store_, o, base::Logger::null());
  const auto recorded = entry(smallInode)->contentPath;
  EXPECT_EQ(filesIn(dir_.path() / "Contents"),
            std::vector<std::string>{recorded.filename().string()});
  EXPECT_EQ(filesIn(dir_.path() / "tmp"), std::vector<std::string>{});
  EXPECT_TRUE(present(smallInode));
  ranged.reset();
  replica_.reset();

  // The next run reads what was kept without fetching it, and fetches the rest anew.
  calls_ = std::make_shared<ExtensionCalls>(fake_, 20s);
  start();
  const int whole = fake_->counters().fetchContents.load();
  auto again = open(smallInode);
  ASSERT_TRUE(again);
  EXPECT_EQ(read(*again, 0, static_cast<std::int64_t>(small.size())), small);
  EXPECT_EQ(fake_->counters().fetchContents.load(), whole);
  replica_->release(again);
  auto reread = open(bigInode);
  ASSERT_TRUE(reread);
  EXPECT_EQ(read(*reread, 0, 4096), big.substr(0, 4096));
  replica_->release(reread);
}

// The files of ranges kept after their last close go when the replica stops.
TEST_F(ContentReplicaTest, StoppingRemovesTheRangesKeptInMemory) {
  const std::string big = randomBytes(1024 * kKiB, 42);
  fake_->addFile("big", fake_->root(), "big.bin", big);
  start();
  auto content = open(show("big"));
  ASSERT_TRUE(content);
  EXPECT_EQ(read(*content, 0, 4096), big.substr(0, 4096));
  replica_->release(content);
  EXPECT_EQ(filesIn(dir_.path() / "Contents").size(), 1u);
  replica_->stop();
  EXPECT_EQ(filesIn(dir_.path() / "Contents"), std::vector<std::string>{});
}

}  // namespace
}  // namespace tarnix::host
