// Which items get thumbnails, what the cloud is asked for, how answers and failures reach the
// framework, and the order of the handlers. The cloud is a fake; items and configuration are
// real stores.

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <mutex>

#include "common/DriveDatabase.hpp"
#include "fileprovider/thumbnails/ThumbnailLoader.hpp"
#include "platform/PlatformTestSupport.hpp"
#include "support/TempDir.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
namespace fp = tarnix::platform::fileprovider;
namespace t = tarnix::testing;

namespace {

constexpr const char* kThumbnailDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
const SyncFolderIdentifier kThumbnailRoot{"00000000-0000-4000-8000-00000000r00t"};

class FakeConfigurationSource final : public DriveConfigurationSource {
 public:
  std::expected<CloudConfiguration, DriveRepositoryError> configuration(
      const std::string&) override {
    std::lock_guard lock(mutex_);
    return value_;
  }
  std::expected<std::vector<std::string>, DriveRepositoryError> allDriveIdentifiers() override {
    return std::vector<std::string>{kThumbnailDrive};
  }
  void setExtensions(std::vector<std::string> extensions) {
    std::lock_guard lock(mutex_);
    value_.thumbnailExtensions = std::move(extensions);
  }

 private:
  std::mutex mutex_;
  CloudConfiguration value_;
};

/// Answers by file name: an image, no thumbnail, or a failure; records what it was asked.
class FakeCloud final : public ThumbnailCloudClient {
 public:
  struct Asked {
    std::string filename;
    std::optional<std::string> entryID;
    std::int64_t width, height;
    bool operator==(const Asked&) const = default;
  };

  tarnix::cloudfs::CloudFSSessionTask downloadThumbnail(
      const SyncItem& file, std::int64_t width, std::int64_t height,
      SyncCloudClient::Completion<std::optional<std::string>> completion) override {
    {
      std::lock_guard lock(mutex_);
      asked_.push_back(
          {file.filename,
           file.contentVersion ? std::optional(file.contentVersion->rawValue) : std::nullopt, width,
           height});
    }
    if (file.filename.starts_with("big")) {
      completion(std::optional<std::string>());
    } else if (file.filename.starts_with("busy")) {
      completion(std::unexpected(SyncCloudError(SyncError(SyncError::Code::throttledByServer))));
    } else if (file.filename.starts_with("gone")) {
      completion(std::unexpected(SyncCloudError(SyncError::noSuchItem(file.itemIdentifier))));
    } else {
      completion(std::optional<std::string>("image of " + file.filename));
    }
    return {};
  }
  std::vector<Asked> asked() {
    std::lock_guard lock(mutex_);
    auto out = std::move(asked_);
    asked_.clear();
    return out;
  }

 private:
  std::mutex mutex_;
  std::vector<Asked> asked_;
};

SyncItem stored(SyncItemIdentifier identifier, std::string name, std::string entry = "e1") {
  SyncItem item;
  const bool folder = identifier.isFolder();
  item.cloudIdentifier =
      folder ? CloudItemIdentifier(CloudFolderIdentifier{"c-" + identifier.rawValue()})
             : CloudItemIdentifier(CloudGroupIdentifier{"c-" + identifier.rawValue()});
  if (!folder) item.contentVersion = CloudEntryIdentifier{std::move(entry)};
  item.itemIdentifier = std::move(identifier);
  item.parentItemIdentifier = kThumbnailRoot;
  item.filename = std::move(name);
  item.permission = SyncItemPermission::editor;
  return item;
}

/// One answer the framework got.
struct Answer {
  std::optional<fp::Data> data;
  std::optional<fp::Error> error;
};

class ThumbnailLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto database = DriveDatabase::open(dir_.path(), kThumbnailDrive);
    ASSERT_TRUE(database) << database.error().description();
    database_ = std::move(*database);
    auto storage = SyncItemStorage::make(database_->dbQueue(), "/Shared/Team", nullptr);
    ASSERT_TRUE(storage) << storage.error().description();
    storage_ = std::shared_ptr<SyncItemStorage>(std::move(*storage));
    SyncItem root = stored(kThumbnailRoot, "Team");
    root.parentItemIdentifier = SyncFolderIdentifier::zero();
    ASSERT_TRUE(storage_->setRootItem(root));
    SyncItemListPatch patch;
    patch.createdItems = {
        stored(SyncFileIdentifier{"photo"}, "Photo.JPG", "e17"),
        stored(SyncFileIdentifier{"scan"}, "scan.final.png"),
        stored(SyncFileIdentifier{"notes"}, "notes.txt"),
        stored(SyncFileIdentifier{"dotfile"}, ".png"),
        stored(SyncFileIdentifier{"noext"}, "README"),
        stored(SyncFileIdentifier{"trailing"}, "photo."),
        stored(SyncFolderIdentifier{"album"}, "album.jpg"),
        stored(SyncFileIdentifier{"big"}, "big.heic"),
        stored(SyncFileIdentifier{"busy"}, "busy.jpg"),
        stored(SyncFileIdentifier{"gone"}, "gone.jpg"),
    };
    ASSERT_TRUE(storage_->apply(patch, false));

    source_->setExtensions({"JPG", ".png", "heic", ""});
    configuration_ = DriveConfigurationProvider::make(source_, kThumbnailDrive, center_, nullptr,
                                                      tarnix::base::Logger::null());
    configuration_->start();
    syncLoader_ =
        SyncThumbnailLoader::make(storage_, cloud_, configuration_, tarnix::base::Logger::null());
    syncLoader_->start();
    converter_ = std::make_shared<const FileProviderConverter>(
        Drive{}, storage_, nullptr, kThumbnailRoot, std::make_shared<FeatureList>(), nullptr,
        nullptr);
    loader_ =
        std::make_unique<ThumbnailLoader>(syncLoader_, converter_, tarnix::base::Logger::null());
    ASSERT_TRUE(t::eventually([&] {
      return syncLoader_->allowedFilenameExtensions() ==
             std::vector<std::string>{"jpg", "png", "heic"};
    }));
  }
  void TearDown() override {
    syncLoader_->stop();
    configuration_->stop();
  }

  /// Runs one fetchThumbnails call to its end: every answer, and the order in which the
  /// handlers ran ("done" for the completion).
  std::map<std::string, Answer> fetch(const std::vector<std::string>& identifiers,
                                      fp::ThumbnailSize size = {120, 80},
                                      std::vector<std::string>* order = nullptr) {
    std::vector<fp::ItemIdentifier> items;
    for (const auto& text : identifiers) items.emplace_back(text);
    auto answers = std::make_shared<std::map<std::string, Answer>>();
    auto calls = std::make_shared<std::vector<std::string>>();
    std::promise<void> finished;
    auto progress = loader_->fetchThumbnails(
        items, size,
        [answers, calls](const fp::ItemIdentifier& identifier, std::optional<fp::Data> data,
                         std::optional<fp::Error> error) {
          calls->push_back(identifier.rawValue());
          (*answers)[identifier.rawValue()] = {std::move(data), std::move(error)};
        },
        [calls, &finished](std::optional<fp::Error> error) {
          EXPECT_FALSE(error);
          calls->push_back("done");
          finished.set_value();
        });
    if (finished.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "fetchThumbnails never completed";
      std::abort();
    }
    syncLoader_->callbackQueue()->sync([] {});  // nothing may follow the completion
    EXPECT_EQ(progress->completedUnitCount(), static_cast<std::int64_t>(identifiers.size()));
    if (order) *order = *calls;
    return *answers;
  }

  t::TempDir dir_{"tarnix-thumbs"};
  std::unique_ptr<DriveDatabase> database_;
  std::shared_ptr<SyncItemStorage> storage_;
  std::shared_ptr<FakeConfigurationSource> source_ = std::make_shared<FakeConfigurationSource>();
  std::shared_ptr<tarnix::platform::InProcessNotificationCenter> center_ =
      std::make_shared<tarnix::platform::InProcessNotificationCenter>();
  std::shared_ptr<DriveConfigurationProvider> configuration_;
  std::shared_ptr<FakeCloud> cloud_ = std::make_shared<FakeCloud>();
  std::shared_ptr<SyncThumbnailLoader> syncLoader_;
  std::shared_ptr<const FileProviderConverter> converter_;
  std::unique_ptr<ThumbnailLoader> loader_;
};

}  // namespace

TEST_F(ThumbnailLoaderTest, OnlyFilesWithAnAllowedExtensionAreAskedFor) {
  struct Case {
    const char* identifier;
    std::optional<std::string> data;
    // none: no error; else the error's domain and code
    std::optional<std::pair<std::string_view, std::int64_t>> error;
  };
  const auto noSuchItem = std::pair(fp::kFileProviderErrorDomain, std::int64_t(-1005));
  const auto wrapped = std::pair(fp::kCocoaErrorDomain, std::int64_t(4101));
  const Case cases[] = {
      {"file/photo", "image of Photo.JPG", std::nullopt},      // upper-case extension
      {"file/scan", "image of scan.final.png", std::nullopt},  // the last extension counts
      {"file/notes", std::nullopt, std::nullopt},              // not allowed
      {"file/dotfile", std::nullopt, std::nullopt},            // a hidden name, no extension
      {"file/noext", std::nullopt, std::nullopt},
      {"file/trailing", std::nullopt, std::nullopt},
      {"folder/album", std::nullopt, std::nullopt},     // folders never
      {"file/big", std::nullopt, std::nullopt},         // the server makes none
      {"file/busy", std::nullopt, wrapped},             // a cloud failure
      {"file/gone", std::nullopt, noSuchItem},          // gone from the cloud
      {"file/unknown", std::nullopt, noSuchItem},       // not stored
      {"not-an-identifier", std::nullopt, noSuchItem},  // not ours
  };
  std::vector<std::string> identifiers;
  for (const auto& c : cases) identifiers.emplace_back(c.identifier);
  auto answers = fetch(identifiers);
  ASSERT_EQ(answers.size(), std::size(cases));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier);
    const auto& answer = answers[c.identifier];
    EXPECT_EQ(answer.data, c.data);
    ASSERT_EQ(answer.error.has_value(), c.error.has_value())
        << (answer.error ? answer.error->description() : "");
    if (c.error) {
      EXPECT_TRUE(answer.error->is(c.error->first, c.error->second));
    }
  }
  const auto& throttled = answers["file/busy"].error;
  ASSERT_TRUE(throttled->underlyingError());
  EXPECT_EQ(throttled->underlyingError()->domain(),
            bridgedError(SyncError(SyncError::Code::throttledByServer)).domain());

  // Only allowed files were asked for, each once, with its version, in the rounded box.
  auto asked = cloud_->asked();
  std::ranges::sort(asked, {}, &FakeCloud::Asked::filename);
  const std::vector<FakeCloud::Asked> expected{{"Photo.JPG", "e17", 128, 128},
                                               {"big.heic", "e1", 128, 128},
                                               {"busy.jpg", "e1", 128, 128},
                                               {"gone.jpg", "e1", 128, 128},
                                               {"scan.final.png", "e1", 128, 128}};
  EXPECT_EQ(asked, expected);
}

TEST_F(ThumbnailLoaderTest, EveryItemIsAnsweredOnceBeforeTheCompletion) {
  std::vector<std::string> order;
  const std::vector<std::string> identifiers{"file/photo", "not-an-identifier", "folder/album",
                                             "file/busy",  "file/unknown",      "file/photo"};
  fetch(identifiers, {64, 64}, &order);
  ASSERT_EQ(order.size(), identifiers.size() + 1);
  EXPECT_EQ(order.back(), "done");
  auto answered = std::vector(order.begin(), order.end() - 1);
  auto wanted = identifiers;
  std::ranges::sort(answered);
  std::ranges::sort(wanted);
  EXPECT_EQ(answered, wanted);

  // No identifiers: the completion alone.
  fetch({}, {64, 64}, &order);
  EXPECT_EQ(order, std::vector<std::string>{"done"});
}

TEST_F(ThumbnailLoaderTest, FollowsTheConfiguredExtensions) {
  fetch({"file/notes", "file/photo"});
  ASSERT_EQ(cloud_->asked().size(), 1u);

  source_->setExtensions({"TXT"});
  center_->post(kDriveRepositoryDidChangeDrive, kThumbnailDrive);
  ASSERT_TRUE(t::eventually(
      [&] { return syncLoader_->allowedFilenameExtensions() == std::vector<std::string>{"txt"}; }));
  auto answers = fetch({"file/notes", "file/photo"});
  EXPECT_EQ(answers["file/notes"].data, "image of notes.txt");
  EXPECT_EQ(answers["file/photo"].data, std::nullopt);
  auto asked = cloud_->asked();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].filename, "notes.txt");

  // An empty list turns thumbnails off.
  source_->setExtensions({});
  center_->post(kDriveRepositoryDidChangeDrive, kThumbnailDrive);
  ASSERT_TRUE(t::eventually([&] { return syncLoader_->allowedFilenameExtensions().empty(); }));
  fetch({"file/notes", "file/photo"});
  EXPECT_TRUE(cloud_->asked().empty());
}

TEST(ThumbnailSizing, BoxesAreSquarePowersOfTwoWithinBounds) {
  struct Case {
    double width, height;
    std::int64_t side;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {0, 0, 64},       {16, 16, 64},    {64, 64, 64},    {64.5, 10, 128},
      {10, 200, 256},   {256, 256, 256}, {300, 120, 512}, {1024, 1024, 1024},
      {5000, 10, 1024}, {-40, -40, 64},  {nan, 100, 128}, {inf, 100, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_EQ(thumbnailDimensions(c.width, c.height), (ThumbnailDimensions{c.side, c.side}));
  }
}

TEST(ThumbnailSizing, ExtensionsOfNames) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"a.JPG", "jpg"},     {"a.b.Png", "png"}, {"a", std::nullopt}, {".png", std::nullopt},
      {"a.", std::nullopt}, {"..png", "png"},   {"", std::nullopt},  {"ä.HEIC", "heic"},
  };
  for (const auto& [name, extension] : cases)
    EXPECT_EQ(lowercasedExtension(name), extension) << name;
}
