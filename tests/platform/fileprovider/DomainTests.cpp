#include "platform/fileprovider/Domain.hpp"

#include <gtest/gtest.h>

using namespace tarnix::platform::fileprovider;

namespace {

TEST(DomainVersionTest, NextIsGreaterAndSurvivesArchiving) {
  DomainVersion fresh;
  auto second = fresh.next();
  auto third = second.next();
  EXPECT_LT(fresh, second);
  EXPECT_LT(second, third);
  EXPECT_EQ(fresh, DomainVersion());
  EXPECT_EQ(fresh.description(), "DomainVersion(1)");
  EXPECT_EQ(third.description(), "DomainVersion(3)");

  for (const auto& version : {fresh, second, third}) {
    auto restored = DomainVersion::unarchive(version.archived());
    ASSERT_TRUE(restored.has_value()) << restored.error().description();
    EXPECT_EQ(*restored, version);
    // Restored versions keep counting from where they were.
    EXPECT_EQ(restored->next(), version.next());
  }
}

TEST(DomainVersionTest, UnarchiveRejectsForeignBytes) {
  auto good = DomainVersion().next().archived();
  auto withByte = [&](std::size_t index, char value) {
    auto bytes = good;
    bytes[index] = value;
    return bytes;
  };
  const Data rows[] = {
      "",
      good.substr(0, good.size() - 1),
      good + "x",
      withByte(0, 'X'),                     // tag
      withByte(4, '\x02'),                  // format
      Data("TXDV\x01", 5) + Data(8, '\0'),  // zero is never written
  };
  for (const auto& bytes : rows) {
    auto result = DomainVersion::unarchive(bytes);
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().is(CocoaErrorCode::coderReadCorrupt));
  }
}

}  // namespace
