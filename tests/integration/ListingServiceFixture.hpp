#pragma once
// A drive database, its item store and the online listing service over the emulator, for tests
// that list folders the way the provider does. The store logs to `sink_`; the drive's root is
// for each test to store.

#include <memory>

#include "common/DriveDatabase.hpp"
#include "fileprovider/listing/ListingService.hpp"
#include "integration/CloudClientFixture.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {

class ListingServiceTest : public CloudClientTest {
 protected:
  void SetUp() override {
    auto database =
        common::DriveDatabase::open(dir_.path(), "2f6f4b1e-8d3a-4c55-a0f1-5b8e7d9c1a20");
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = common::SyncItemStorage::make(
        database_->dbQueue(), "/Shared", std::make_shared<base::Logger>(recordingLogger(sink_)));
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::move(*storage);
    fileprovider::ListingService::Collaborators collaborators;
    collaborators.itemStorage = storage_;
    collaborators.cloudClient = client();
    collaborators.metadataStorage = std::make_shared<fileprovider::ListingMetadataStorage>(
        database_->dbQueue(), base::Logger::null());
    service_ = std::make_shared<fileprovider::ListingService>(std::move(collaborators),
                                                              base::Logger::null());
  }

  TempDir dir_{"tarnix-listing"};
  std::shared_ptr<RecordingLogSink> sink_ = std::make_shared<RecordingLogSink>();
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<fileprovider::ListingService> service_;
};

}  // namespace tarnix::testing
