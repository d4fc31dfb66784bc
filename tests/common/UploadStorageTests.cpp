// The upload records of the drive database: acknowledged chunks and failed new files, through a
// drive database opened (and migrated) as the provider opens it.

#include <gtest/gtest.h>

#include "common/ChunkUploadStorage.hpp"
#include "common/DriveDatabase.hpp"
#include "common/NewFileFailedUploadStorage.hpp"
#include "support/TempDir.hpp"

namespace {

using namespace tarnix::common;
using namespace std::chrono_literals;

const tarnix::base::Date kStart = tarnix::base::dateFromMillisecondsSince1970(1'700'000'000'123);

class UploadStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto database = DriveDatabase::open(dir_.path(), "8d2e4f6a-1b3c-4d5e-9f70-a1b2c3d4e5f6");
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
  }

  UploadChunk chunk(const SyncItemIdentifier& item, std::int64_t number,
                    tarnix::base::Date started = kStart) {
    UploadChunk c;
    c.chunkNumber = number;
    c.itemIdentifier = item.description();
    c.uploadId = "session";
    c.lastModifiedDate = kStart - 10s;
    c.firstChunkUploadTime = started;
    c.chunkChecksum = "sum" + std::to_string(number);
    c.chunkSize = 1 << 20;
    c.fullFileContentChecksum = "whole";
    return c;
  }

  tarnix::testing::TempDir dir_;
  std::unique_ptr<DriveDatabase> database_;
};

TEST_F(UploadStorageTest, ChunksComeBackInOrderAndGoAsAsked) {
  ChunkUploadStorage storage(database_->dbQueue());
  const SyncItemIdentifier item = SyncFileIdentifier::make();
  const SyncItemIdentifier other = SyncFileIdentifier::make();
  for (std::int64_t n : {3, 1, 4, 2}) ASSERT_TRUE(storage.saveUploadChunk(chunk(item, n)));
  ASSERT_TRUE(storage.saveUploadChunk(chunk(other, 1)));
  auto again = chunk(item, 2);
  again.chunkChecksum = "replaced";
  ASSERT_TRUE(storage.saveUploadChunk(again));

  auto all = storage.getAllChunks(item);
  ASSERT_TRUE(all);
  ASSERT_EQ(all->size(), 4u);
  EXPECT_EQ(all->at(0), chunk(item, 1)) << "every field survives the round trip";
  EXPECT_EQ(all->at(1).chunkChecksum, "replaced");
  EXPECT_EQ(storage.retrieveChecksumOfAllChunks(item),
            (std::vector<std::string>{"sum1", "replaced", "sum3", "sum4"}));

  ASSERT_TRUE(storage.removeMissingChunks(item, {2, 4, 9}));
  auto left = storage.getAllChunks(item);
  ASSERT_TRUE(left);
  ASSERT_EQ(left->size(), 2u);
  EXPECT_EQ(left->at(1).chunkNumber, 3);

  EXPECT_EQ(storage.removeAllChunks(item), true);
  EXPECT_EQ(storage.removeAllChunks(item), false);
  EXPECT_EQ(storage.getAllChunks(other)->size(), 1u) << "other items keep their sessions";
}

TEST_F(UploadStorageTest, SessionsOfADayOrMoreAreSwept) {
  ChunkUploadStorage storage(database_->dbQueue());
  const SyncItemIdentifier old = SyncFileIdentifier::make();
  const SyncItemIdentifier young = SyncFileIdentifier::make();
  ASSERT_TRUE(storage.saveUploadChunk(chunk(old, 1, kStart)));
  ASSERT_TRUE(storage.saveUploadChunk(chunk(old, 2, kStart)));
  ASSERT_TRUE(storage.saveUploadChunk(chunk(young, 1, kStart + 1min)));

  EXPECT_EQ(storage.removeRetiredChunks(kStart + 24h - 1s, 24h), 0);
  EXPECT_EQ(storage.removeRetiredChunks(kStart + 24h, 24h), 2);
  EXPECT_TRUE(storage.getAllChunks(old)->empty());
  EXPECT_EQ(storage.getAllChunks(young)->size(), 1u);
}

TEST_F(UploadStorageTest, FailedNewFilesMatchTheirNameWithoutCase) {
  NewFileFailedUploadStorage storage(database_->dbQueue());
  const SyncFolderIdentifier parent{"parent-1"};
  ASSERT_TRUE(storage.add({parent, "Report.docx", "abc"}));
  ASSERT_TRUE(storage.add({parent, "REPORT.DOCX", "def"})) << "replaces the row of that name";

  auto found = storage.entry(parent, "report.docx");
  ASSERT_TRUE(found);
  ASSERT_TRUE(*found);
  EXPECT_EQ((*found)->checksum, "def");
  EXPECT_FALSE(*storage.entry(SyncFolderIdentifier{"parent-2"}, "report.docx"));

  ASSERT_TRUE(storage.remove(parent, "Report.Docx"));
  EXPECT_FALSE(*storage.entry(parent, "Report.docx"));
}

}  // namespace
