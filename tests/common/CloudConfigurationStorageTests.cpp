#include "common/CloudConfigurationStorage.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using tarnix::common::CloudConfigurationStorage;
using tarnix::common::CloudConfigurationWithData;
using tarnix::platform::FileError;
using tarnix::platform::FileManager;
namespace t = tarnix::testing;

namespace {
constexpr const char* kCachedAccount = "0F8FAD5B-D9CB-469F-A165-70867728950E";
constexpr const char* kAccountFile = "0f8fad5b-d9cb-469f-a165-70867728950e";

std::string document(bool offline, const char* extra = "") {
  return std::string(
             R"({"canKeelvaultBeSourceForTx": false, "upgradeNotificationsEnabled": false,)") +
         R"("canUsersMarkFoldersForOfflineAccess": )" + (offline ? "true" : "false") +
         R"(, "redEnabled": false, "localReadEventsBlacklistMac": [], "connectedFoldersEnabled": true,)" +
         R"("connectedFoldersInShared": false, "connectedFoldersOnExternalDevice": false)" + extra +
         "}";
}

/// The local file system, counting reads and failing writes on request.
class CountingFileManager final : public FileManager {
 public:
  int reads = 0;
  bool failWrites = false;
  /// Runs once, after the next read took the file's bytes and before it returns them: what
  /// another thread does while a read is on its way.
  std::function<void()> whileReading;
  std::expected<std::string, FileError> contents(const std::filesystem::path& path) override {
    ++reads;
    auto read = FileManager::local()->contents(path);
    if (auto hook = std::exchange(whileReading, nullptr)) hook();
    return read;
  }
  std::expected<void, FileError> writeAtomically(const std::filesystem::path& path,
                                                 std::string_view bytes) override {
    if (failWrites) return std::unexpected(FileError{FileError::Code::ioFailure, "disk full"});
    return FileManager::local()->writeAtomically(path, bytes);
  }
  std::expected<void, FileError> remove(const std::filesystem::path& path) override {
    return FileManager::local()->remove(path);
  }
  std::expected<std::vector<std::string>, FileError> fileNames(
      const std::filesystem::path& folder) override {
    return FileManager::local()->fileNames(folder);
  }
};

class CloudConfigurationStorageTest : public ::testing::Test {
 protected:
  t::TempDir dir{"tarnix-configurations"};
  std::shared_ptr<CountingFileManager> files = std::make_shared<CountingFileManager>();
  std::shared_ptr<t::RecordingLogSink> sink = std::make_shared<t::RecordingLogSink>();
  CloudConfigurationStorage storage{dir / "CloudConfigurations", files, t::recordingLogger(sink)};
  std::filesystem::path file = dir / "CloudConfigurations" / kAccountFile;
};
}  // namespace

TEST_F(CloudConfigurationStorageTest, ReadsTheFileOncePerTimestamp) {
  t::writeFile(file, document(true));
  ASSERT_TRUE(storage.configuration(kCachedAccount, "t1"));
  auto second = storage.configuration(kCachedAccount, "t1");
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->canMarkFoldersForOffline);
  EXPECT_EQ(files->reads, 1);

  t::writeFile(file, document(false));
  EXPECT_TRUE(
      storage.configuration(kCachedAccount, "t1")->canMarkFoldersForOffline);  // still cached
  EXPECT_FALSE(storage.configuration(kCachedAccount, "t2")->canMarkFoldersForOffline);
  EXPECT_EQ(files->reads, 2);
}

TEST_F(CloudConfigurationStorageTest, MissingOrUndecodableFilesFailAndAreLogged) {
  EXPECT_FALSE(storage.configuration(kCachedAccount, "t1"));
  t::writeFile(file, R"({"redEnabled": true})");
  EXPECT_FALSE(storage.configuration(kCachedAccount, "t1"));
  EXPECT_EQ(sink->count("Reading cloud configuration failed"), 2u);
  EXPECT_FALSE(storage.configuration("../../etc/passwd", "t1"));
}

TEST_F(CloudConfigurationStorageTest, UpdateWritesTheRawBytesOnlyWhenTheConfigurationChanged) {
  auto raw = document(true, R"(, "unknownKey": [1, 2, 3])");
  auto first = CloudConfigurationWithData::decode(raw);
  ASSERT_TRUE(first);
  EXPECT_EQ(storage.update(*first, kCachedAccount, "t1"), true);
  EXPECT_EQ(t::readFile(file), raw);  // exactly as sent, unknown keys included

  auto same = CloudConfigurationWithData::decode(document(true));
  EXPECT_EQ(storage.update(*same, kCachedAccount, "t2"), false);
  EXPECT_EQ(t::readFile(file), raw);

  EXPECT_EQ(storage.configurationRaw(kCachedAccount)->at("unknownKey").size(), 3u);
  EXPECT_EQ(storage.all().size(), 1u);
  EXPECT_EQ(files->reads, 1);  // configurationRaw only
}

TEST_F(CloudConfigurationStorageTest, AFailedWriteIsReportedAndLeavesNoStaleCacheEntry) {
  t::writeFile(file, document(false));
  ASSERT_TRUE(storage.configuration(kCachedAccount, "t1"));
  files->failWrites = true;
  auto changed = CloudConfigurationWithData::decode(document(true));
  EXPECT_FALSE(storage.update(*changed, kCachedAccount, "t2"));
  EXPECT_EQ(sink->count("Saving cloud configuration failed"), 1u);
  // The file still holds the old document, and so does what readers get.
  EXPECT_FALSE(storage.configuration(kCachedAccount, "t2")->canMarkFoldersForOffline);
}

TEST_F(CloudConfigurationStorageTest, RemoveAndReload) {
  t::writeFile(file, document(true));
  t::writeFile(dir / "CloudConfigurations" / "not-an-account", "{}");
  ASSERT_TRUE(storage.forceCacheReload());
  EXPECT_EQ(storage.all().size(), 1u);
  ASSERT_TRUE(storage.removeConfiguration(kCachedAccount));
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_TRUE(storage.all().empty());
  EXPECT_FALSE(storage.removeConfiguration(kCachedAccount));
  EXPECT_EQ(sink->count("Removing cloud configuration failed"), 1u);
}

// A read takes the file outside the cache's queue. Whatever lands while it reads (an update of
// the document, its removal) is newer than what the read found, and stays.
TEST_F(CloudConfigurationStorageTest, AReadNeverReplacesANewerEntry) {
  enum class Race { update, remove };
  enum class Reader { configuration, forceCacheReload };
  struct Case {
    const char* name;
    Reader reader;
    Race race;
  };
  const Case cases[] = {
      {"read for a timestamp, then an update", Reader::configuration, Race::update},
      {"read for a timestamp, then a removal", Reader::configuration, Race::remove},
      {"reload, then an update", Reader::forceCacheReload, Race::update},
      {"reload, then a removal", Reader::forceCacheReload, Race::remove},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    t::TempDir folder{"tarnix-configurations"};
    auto fileManager = std::make_shared<CountingFileManager>();
    CloudConfigurationStorage racing{folder / "CloudConfigurations", fileManager,
                                     tarnix::base::Logger::null()};
    const auto accountFile = folder / "CloudConfigurations" / kAccountFile;
    t::writeFile(accountFile, document(false));  // the older document
    auto newer = CloudConfigurationWithData::decode(document(true));
    ASSERT_TRUE(newer);
    fileManager->whileReading = [&] {
      if (c.race == Race::update) {
        EXPECT_EQ(racing.update(*newer, kCachedAccount, "t2"), true);
      } else {
        EXPECT_TRUE(racing.removeConfiguration(kCachedAccount));
      }
    };
    if (c.reader == Reader::configuration) {
      auto read = racing.configuration(kCachedAccount, "t1");
      ASSERT_TRUE(read);
      EXPECT_FALSE(read->canMarkFoldersForOffline);  // the caller gets what it read
    } else {
      ASSERT_TRUE(racing.forceCacheReload());
    }
    const int readsBefore = fileManager->reads;
    if (c.race == Race::update) {
      ASSERT_EQ(racing.all().size(), 1u);
      EXPECT_TRUE(racing.all().begin()->second.canMarkFoldersForOffline);
      auto cached = racing.configuration(kCachedAccount, "t2");
      ASSERT_TRUE(cached);
      EXPECT_TRUE(cached->canMarkFoldersForOffline);
      EXPECT_EQ(fileManager->reads, readsBefore) << "the newer entry should have been cached";
    } else {
      EXPECT_TRUE(racing.all().empty());
      EXPECT_FALSE(racing.configuration(kCachedAccount, "t1"));
    }
  }
}
