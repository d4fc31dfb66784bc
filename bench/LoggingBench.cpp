// Logging costs: a call the sink filters out, the caller's side of a file log call, and lines
// per second into a rolling file, each beside spdlog's asynchronous file logger on the same
// messages.
#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "base/FileLogSink.hpp"
#include "base/Logger.hpp"

using namespace tarnix::base;
namespace fs = std::filesystem;

namespace {

constexpr const char* kItemID = "5f0c1a7e-9b2d-4c51-8e3f-2a6b7d9c0e14";

fs::path benchFolder(const std::string& name) {
  auto folder = fs::temp_directory_path() / ("tarnix-bench-" + std::to_string(getpid())) / name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

std::shared_ptr<FileLogSink> fileSink(const std::string& name) {
  LogFileInitParams params;
  params.url = benchFolder(name) / "FileProvider.log";
  return FileLogSink::make(params);  // 10 MiB rolling, zipped archives
}

std::shared_ptr<spdlog::logger> spdlogFileLogger(const std::string& name,
                                                 spdlog::async_overflow_policy policy) {
  static bool started = (spdlog::init_thread_pool(8192, 1), true);
  (void)started;
  auto path = (benchFolder("spdlog-" + name) / "FileProvider.log").string();
  auto logger = spdlog::create_async_nb<spdlog::sinks::rotating_file_sink_mt>(name, path,
                                                                              10 * 1024 * 1024, 10);
  if (policy == spdlog::async_overflow_policy::block) {
    spdlog::drop(name);
    auto sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path + ".b", 10 * 1024 * 1024, 10);
    logger = std::make_shared<spdlog::async_logger>(name, sink, spdlog::thread_pool(), policy);
  }
  logger->set_pattern("%Y-%m-%d %H:%M:%S:%e %l [%n] %v");
  logger->set_level(spdlog::level::info);
  return logger;
}

void waitForSpdlog() {
  while (spdlog::thread_pool()->queue_size() > 0) std::this_thread::yield();
}

// ---- A call whose level the sink does not let through -----------------------------------------

void BM_FilteredOut_Tarnix(benchmark::State& state) {
  auto sink = fileSink("filtered");
  Logger logger("Sync.Listing", [&](const std::string&) { return sink; });
  for (auto _ : state) {
    logger.debug([] { return std::string("Listing folder"); },
                 [] {
                   return LoggerMetadata{{"itemID", kItemID}};
                 });
  }
}
BENCHMARK(BM_FilteredOut_Tarnix);

void BM_FilteredOut_Spdlog(benchmark::State& state) {
  auto logger = spdlogFileLogger("filtered", spdlog::async_overflow_policy::overrun_oldest);
  for (auto _ : state) logger->debug("Listing folder\n    with [itemID: \"{}\"]", kItemID);
  spdlog::drop("filtered");
}
BENCHMARK(BM_FilteredOut_Spdlog);

// ---- What the caller pays for one line into a file --------------------------------------------
// Bursts of kBurst lines are timed; between bursts, untimed, the writer catches up, so neither
// queue overflows and every line reaches the file. Time per line = Time / kBurst.

constexpr int kBurst = 1000;

void BM_CallerCost_Tarnix(benchmark::State& state) {
  auto sink = fileSink("caller");
  Logger logger("Sync.Listing", [&](const std::string&) { return sink; });
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) logger.info("Listing folder", {{"itemID", kItemID}});
    state.PauseTiming();
    sink->flush();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_CallerCost_Tarnix)->Unit(benchmark::kMicrosecond);

void BM_CallerCost_Spdlog(benchmark::State& state) {
  auto logger = spdlogFileLogger("caller", spdlog::async_overflow_policy::block);
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i)
      logger->info("Listing folder\n    with [itemID: \"{}\"]", kItemID);
    state.PauseTiming();
    waitForSpdlog();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kBurst);
  spdlog::drop("caller");
}
BENCHMARK(BM_CallerCost_Spdlog)->Unit(benchmark::kMicrosecond);

// ---- Lines per second until they are all in the file (with rotation) --------------------------

constexpr int kBatch = 100000;

void BM_Sustained_Tarnix(benchmark::State& state) {
  auto sink = fileSink("sustained");
  Logger logger("Sync.Listing", [&](const std::string&) { return sink; });
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) logger.info("Listing folder", {{"itemID", kItemID}});
    sink->flush();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_Sustained_Tarnix)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sustained_Spdlog(benchmark::State& state) {
  auto logger = spdlogFileLogger("sustained", spdlog::async_overflow_policy::block);
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      logger->info("Listing folder\n    with [itemID: \"{}\"]", kItemID);
    }
    logger->flush();
    waitForSpdlog();
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  spdlog::drop("sustained");
}
BENCHMARK(BM_Sustained_Spdlog)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  spdlog::shutdown();
  fs::remove_all(fs::temp_directory_path() / ("tarnix-bench-" + std::to_string(getpid())));
  return 0;
}
