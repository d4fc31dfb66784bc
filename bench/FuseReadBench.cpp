// Sequential reads of one large file through the FUSE mount once its contents are present,
// beside reading the replica file directly (the reference), in the same run; and the first read,
// which fetches the contents from the extension (an in-memory fake here). The file size in MiB
// comes from TARNIX_BENCH_FUSE_MIB (default 1024). Needs a usable /dev/fuse.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
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

// Reads the file at `path(mounted)` whole per iteration.
template <class Path>
void readWhole(benchmark::State& state, Path path) {
  auto& m = mounted();
  if (!m.domain) return state.SkipWithError(m.error.c_str());
  const fs::path file = path(m);
  for (auto _ : state) {
    if (!readAll(file, m.size)) return state.SkipWithError("short read");
  }
  state.SetBytesProcessed(state.iterations() * m.size);
}

void BM_FirstReadFetching(benchmark::State& state) {
  readWhole(state, [](Mounted& m) { return m.file(); });
}
BENCHMARK(BM_FirstReadFetching)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadThroughMount(benchmark::State& state) {
  readWhole(state, [](Mounted& m) { return m.file(); });
}
BENCHMARK(BM_ReadThroughMount)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

// The reference: the same bytes from the replica file, without the mount.
void BM_ReadReplicaDirectly(benchmark::State& state) {
  readWhole(state, [](Mounted& m) { return m.replica(); });
}
BENCHMARK(BM_ReadReplicaDirectly)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
