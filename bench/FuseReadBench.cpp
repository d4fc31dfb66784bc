// Sequential reads of one large file through the FUSE mount once its contents are present,
// beside reading the replica file directly (the reference), in the same run with the same
// request size; and the first read, which fetches the contents from the extension (an in-memory
// fake here). Warm: both sides' pages are cached. Cold: before each pass the cached pages of both
// the mount's file and the replica file are dropped (posix_fadvise), so both read the disk.
// The file size in MiB comes from TARNIX_BENCH_FUSE_MIB (default 1024);
// TARNIX_BENCH_FUSE_PASSTHROUGH=0 measures the page-cache path instead of passthrough (which
// needs CAP_SYS_ADMIN; without it the mount falls back to the page cache by itself, and the
// label says so). Needs a usable /dev/fuse.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/support/FakeReplicatedExtension.hpp"
#include "host/FuseMount.hpp"
#include "host/MountedDomain.hpp"

namespace fs = std::filesystem;
using tarnix::testing::FakeReplicatedExtension;

namespace {

constexpr std::size_t kRequest = std::size_t{1} << 20;

struct Mounted {
  fs::path folder;
  std::shared_ptr<FakeReplicatedExtension> fake;
  std::unique_ptr<tarnix::host::MountedDomain> domain;
  std::int64_t size = 0;
  std::string error;

  Mounted() {
    const char* mib = std::getenv("TARNIX_BENCH_FUSE_MIB");
    size = std::int64_t{mib ? std::atoi(mib) : 1024} << 20;
    folder = fs::temp_directory_path() / ("tarnix-fuse-bench-" + std::to_string(getpid()));
    fs::create_directories(folder / "mnt");
    fake = std::make_shared<FakeReplicatedExtension>();
    std::string contents(static_cast<std::size_t>(size), '\0');
    for (std::size_t i = 0; i < contents.size(); i += 4096)
      contents[i] = static_cast<char>(i >> 12);
    fake->addFile("big", fake->root(), "big.bin", contents);
    tarnix::host::MountOptions options;
    options.domain = {tarnix::platform::fileprovider::DomainIdentifier("bench"), "Bench"};
    options.mountPoint = folder / "mnt";
    options.stateDirectory = folder / "state";
    options.partialThreshold = size + 1;
    options.cacheLimit = size * 2;
    options.callTimeout = std::chrono::minutes(5);
    options.bridge.firstListingWait = std::chrono::milliseconds(0);
    const char* passthrough = std::getenv("TARNIX_BENCH_FUSE_PASSTHROUGH");
    options.bridge.passthrough = !(passthrough && std::string(passthrough) == "0");
    auto f = fake;
    auto mounted = tarnix::host::MountedDomain::mount(
        options,
        [f](const auto&, auto manager) {
          f->setManager(std::move(manager));
          return f;
        },
        tarnix::base::Logger::null());
    if (!mounted) {
      error = "FUSE cannot be used here: " + mounted.error();
      return;
    }
    domain = std::move(*mounted);
    domain->runInBackground();
  }
  ~Mounted() {
    if (domain) domain->unmount();
    domain.reset();
    if (tarnix::host::isFuseMounted(folder / "mnt"))
      (void)tarnix::host::unmountFuse(folder / "mnt");
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  fs::path file() const { return folder / "mnt" / "big.bin"; }
  fs::path replica() {
    auto entry = domain->store()->entry(tarnix::platform::fileprovider::ItemIdentifier("big"));
    return entry && *entry ? (*entry)->contentPath : fs::path();
  }
};

Mounted& mounted() {
  static Mounted m;
  return m;
}

bool readAll(const fs::path& path, std::int64_t expected) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::vector<char> buffer(kRequest);
  std::int64_t total = 0;
  ssize_t got;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) total += got;
  ::close(fd);
  return total == expected;
}

// Drops the cached pages of `path` (clean pages only; the contents stay on disk).
void dropCachedPages(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  ::close(fd);
}

// Reads the file at `path(mounted)` whole per iteration; `cold` drops both sides' cached pages
// before each pass (untimed).
template <class Path>
void readWhole(benchmark::State& state, Path path, bool cold = false) {
  auto& m = mounted();
  if (!m.domain) return state.SkipWithError(m.error.c_str());
  const fs::path file = path(m);
  for (auto _ : state) {
    if (cold) {
      state.PauseTiming();
      dropCachedPages(m.file());
      dropCachedPages(m.replica());
      state.ResumeTiming();
    }
    if (!readAll(file, m.size)) return state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * m.size);
  state.SetLabel(m.domain->passthroughActive() ? "passthrough" : "page cache");
}

const auto throughMount = [](Mounted& m) { return m.file(); };
// The reference: the same bytes from the replica file, without the mount.
const auto replicaDirectly = [](Mounted& m) { return m.replica(); };

void BM_FirstReadFetching(benchmark::State& state) {
  readWhole(state, throughMount);
}
BENCHMARK(BM_FirstReadFetching)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The first pass once present: the mount's own page cache (when used) is still empty.
void BM_FirstPassThroughMount(benchmark::State& state) {
  readWhole(state, throughMount);
}
BENCHMARK(BM_FirstPassThroughMount)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadThroughMount(benchmark::State& state) {
  readWhole(state, throughMount);
}
BENCHMARK(BM_ReadThroughMount)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_ReadReplicaDirectly(benchmark::State& state) {
  readWhole(state, replicaDirectly);
}
BENCHMARK(BM_ReadReplicaDirectly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_ColdReadThroughMount(benchmark::State& state) {
  readWhole(state, throughMount, true);
}
BENCHMARK(BM_ColdReadThroughMount)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ColdReadReplicaDirectly(benchmark::State& state) {
  readWhole(state, replicaDirectly, true);
}
BENCHMARK(BM_ColdReadReplicaDirectly)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
