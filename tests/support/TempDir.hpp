#pragma once
// A temporary folder for one test, removed with everything in it when the object goes.

#include <filesystem>
#include <string>

namespace tarnix::testing {

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "tarnix-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

/// Reads a whole file ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);
/// Writes `contents` to `path`, creating parent folders.
void writeFile(const std::filesystem::path& path, const std::string& contents);

/// The source tree and the build tree of this build.
std::filesystem::path sourceDir();
std::filesystem::path binaryDir();

}  // namespace tarnix::testing
