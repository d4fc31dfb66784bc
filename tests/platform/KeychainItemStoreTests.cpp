#include "platform/KeychainItemStore.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/TempDir.hpp"

using tarnix::platform::KeychainError;
using tarnix::platform::KeychainItemStore;

namespace {
mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}
}  // namespace

TEST(KeychainItemStore, ItemsAreReadableByTheUserOnly) {
  tarnix::testing::TempDir dir("tarnix-keychain");
  auto folder = dir / "Credentials";
  std::filesystem::create_directories(folder);
  ::chmod(folder.c_str(), 0755);  // made earlier by someone with a wide umask
  mode_t old = ::umask(0);
  KeychainItemStore store(folder);
  auto written = store.write("0f8fad5b-d9cb-469f-a165-70867728950e", "{\"basic\":{}}");
  ::umask(old);
  ASSERT_TRUE(written);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(folder / "0f8fad5b-d9cb-469f-a165-70867728950e"), 0600u);
  ASSERT_TRUE(store.write("0f8fad5b-d9cb-469f-a165-70867728950e", "second"));
  EXPECT_EQ(store.read("0f8fad5b-d9cb-469f-a165-70867728950e").value_or(""), "second");
  EXPECT_EQ(modeOf(folder / "0f8fad5b-d9cb-469f-a165-70867728950e"), 0600u);
}

TEST(KeychainItemStore, MissingItemsAndUnsafeNamesAreErrors) {
  tarnix::testing::TempDir dir("tarnix-keychain");
  KeychainItemStore store(dir / "Credentials");
  EXPECT_EQ(store.read("nobody").error().code, KeychainError::Code::itemNotFound);
  EXPECT_EQ(store.remove("nobody").error().code, KeychainError::Code::itemNotFound);
  for (const char* name : {"", "../escape", ".hidden", "a/b"}) {
    EXPECT_EQ(store.write(name, "x").error().code, KeychainError::Code::invalidAccount) << name;
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "escape"));
  ASSERT_TRUE(store.write("acct", "x"));
  ASSERT_TRUE(store.remove("acct"));
  EXPECT_EQ(store.read("acct").error().code, KeychainError::Code::itemNotFound);
}
