#include <gtest/gtest.h>

#include "support/RunTarnix.hpp"
#include "support/TempDir.hpp"

using tarnix::testing::runTarnix;
using tarnix::testing::TempDir;

TEST(DbCommand, MigratePrintsAppliedMigrationsAndCheckReportsRanks) {
  TempDir dir;
  const auto file = dir / "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f" / "Metadata.db";
  tarnix::testing::writeFile(file, "");
  auto first = runTarnix("db migrate " + file.string());
  EXPECT_EQ(first.status, 0) << first.output;
  EXPECT_TRUE(first.output.starts_with("v1\nv4\n")) << first.output;
  EXPECT_TRUE(first.output.ends_with("v22\nv23\n")) << first.output;
  EXPECT_EQ(runTarnix("db migrate " + file.string()).output, "No migrations applied\n");
  auto check = runTarnix("db check " + file.string());
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_NE(check.output.find("integrity: ok"), std::string::npos) << check.output;
  EXPECT_NE(check.output.find("largest rank group: none"), std::string::npos) << check.output;
}

TEST(DbCommand, DamagedOrMissingFilesFailNamingTheFile) {
  TempDir dir;
  const auto damaged = dir / "Metadata.db";
  tarnix::testing::writeFile(damaged, std::string(2048, 'z'));
  for (const char* command : {"db check ", "db migrate "}) {
    auto run = runTarnix(command + damaged.string());
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(damaged.string()), std::string::npos) << run.output;
  }
  EXPECT_EQ(tarnix::testing::readFile(damaged), std::string(2048, 'z'));
  auto missing = runTarnix("db check " + (dir / "none.db").string());
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("no such file"), std::string::npos);
}
