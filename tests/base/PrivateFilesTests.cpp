// Folders and files made private whatever the umask: a wide one would make them readable by
// others, a narrow one unusable by the user.

#include "base/PrivateFiles.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/LogExcerpt.hpp"
#include "support/ScopedUmask.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::base;
using namespace tarnix::testing;

namespace {

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 07777;
  return info.st_mode & 07777;
}

TEST(PrivateFilesTest, FoldersAndFilesAreTheUsersAloneWhateverTheUmask) {
  for (mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0277}}) {
    SCOPED_TRACE(mask);
    TempDir root("tarnix-private");
    ScopedUmask umask(mask);
    const auto folder = root.path() / "a" / "b" / "c";
    ASSERT_FALSE(createPrivateDirectories(folder));
    for (auto p = folder; p != root.path(); p = p.parent_path()) {
      EXPECT_EQ(modeOf(p), 0700u) << p;
    }
    // An existing folder is taken as it is.
    ASSERT_EQ(::chmod((root.path() / "a").c_str(), 0755), 0);
    ASSERT_FALSE(createPrivateDirectories(folder / "d"));
    EXPECT_EQ(modeOf(root.path() / "a"), 0755u);
    EXPECT_EQ(modeOf(folder / "d"), 0700u);

    const int fd = openPrivateFile(folder / "opened", O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "x", 1), 1);
    ::close(fd);
    EXPECT_EQ(modeOf(folder / "opened"), 0600u);
    // Opening it again keeps its content unless asked to truncate, and O_EXCL still refuses.
    const int again = openPrivateFile(folder / "opened", O_RDONLY);
    ASSERT_GE(again, 0);
    char byte = 0;
    EXPECT_EQ(::read(again, &byte, 1), 1);
    ::close(again);
    EXPECT_EQ(openPrivateFile(folder / "opened", O_WRONLY | O_EXCL), -1);

    ASSERT_FALSE(ensurePrivateFile(folder / "ensured"));
    EXPECT_EQ(modeOf(folder / "ensured"), 0600u);
    ASSERT_EQ(::chmod((folder / "ensured").c_str(), 0644), 0);
    ASSERT_FALSE(makePrivate(folder / "ensured"));
    EXPECT_EQ(modeOf(folder / "ensured"), 0600u);
  }
}

TEST(PrivateFilesTest, AFileInTheWayOfAFolderOrNoPathIsAnError) {
  TempDir root("tarnix-private");
  EXPECT_EQ(createPrivateDirectories({}), std::make_error_code(std::errc::invalid_argument));
  writeFile(root.path() / "file", "x");
  EXPECT_TRUE(createPrivateDirectories(root.path() / "file"));
  EXPECT_TRUE(createPrivateDirectories(root.path() / "file" / "below"));
}

TEST(LogExcerptTest, LongTextsAreCutWithAMarkerOfWhatWasLeftOut) {
  struct Case {
    std::string text;
    std::size_t limit;
    std::string expected;
  };
  const Case cases[] = {
      {"", 4, ""},
      {"abcd", 4, "abcd"},
      {"abcdef", 4, "abcd [\u2026 2 bytes cut]"},
      // "é" is two bytes: never split, the cut moves before it.
      {"abc\u00e9fg", 4, "abc [\u2026 4 bytes cut]"},
      {std::string(5000, 'x'), kLoggedBodyLimit,
       std::string(4096, 'x') + " [\u2026 904 bytes cut]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(logExcerpt(c.text, c.limit), c.expected) << c.text.size();
  }
  EXPECT_EQ(logExcerpt(std::string(4096, 'y')), std::string(4096, 'y'));
}

}  // namespace
