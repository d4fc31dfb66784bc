#include "support/TempDir.hpp"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

namespace tarnix::testing {

TempDir::TempDir(const std::string& prefix) {
  auto base = std::filesystem::temp_directory_path();
  std::string pattern = (base / (prefix + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed for " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::filesystem::path sourceDir() { return TARNIX_TEST_SOURCE_DIR; }
std::filesystem::path binaryDir() { return TARNIX_TEST_BINARY_DIR; }

}  // namespace tarnix::testing
