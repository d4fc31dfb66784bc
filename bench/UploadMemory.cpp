// Uploads one file through TarnixURLSession and reports the resident memory at start, for
// bench/upload-memory.sh, which measures the peak with /usr/bin/time -v.
//
//   UploadMemory URL FILE CA_FILE
//
// Without those arguments (as scripts/run-benchmarks calls every binary) it does nothing.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <string>

#include "cloudfs/TarnixURLSession.hpp"

namespace {

long statusValueKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  long startKiB = statusValueKiB("VmRSS:");
  if (argc != 4 || std::string(argv[1]).rfind("--", 0) == 0) {
    std::puts("UploadMemory: run through bench/upload-memory.sh");
    return 0;
  }
  using namespace tarnix::cloudfs;
  TarnixURLSession::Configuration configuration =
      TarnixURLSession::Configuration::fromEnvironment();
  configuration.additionalCAFile = argv[3];
  TarnixURLSession session(tarnix::base::Logger::null(), TarnixUserAgent("bench", "1.0.0", "1"),
                           "bench", nullptr, configuration);
  URLRequest request;
  request.url = argv[1];
  request.method = tarnix::base::HTTPMethod::post;
  request.setValue("application/octet-stream", "Content-Type");

  std::promise<std::expected<URLSessionDataResult, URLSessionError>> done;
  auto started = std::chrono::steady_clock::now();
  auto task = session.uploadTask(request, std::filesystem::path(argv[2]),
                                 TarnixURLRequestOptions::extendedTimeout(),
                                 [&](auto result) { done.set_value(std::move(result)); });
  std::int64_t sent = 0;
  task->setProgressHandler([&](const URLSessionProgress& progress) { sent = progress.bytesSent; });
  task->resume();
  auto result = done.get_future().get();
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!result) {
    std::fprintf(stderr, "upload failed: %s\n", describe(result.error()).c_str());
    return 1;
  }
  std::printf("start_rss_kib %ld\n", startKiB);
  std::printf("status %d\n", result->response.statusCode);
  std::printf("bytes_sent %lld\n", static_cast<long long>(sent));
  std::printf("seconds %.2f\n", seconds);
  std::printf("peak_rss_kib %ld\n", statusValueKiB("VmHWM:"));
  return result->response.statusCode / 100 == 2 ? 0 : 1;
}
