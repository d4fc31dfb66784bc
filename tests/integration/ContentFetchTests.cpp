// Content fetching through the provider's framework entry points against the emulator over
// TLS: whole files, byte ranges, the entry-id check, interrupted and cut-short transfers and
// their resumption, and a failing server tried again before the caller hears of it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "../fileprovider/FrameworkHost.hpp"
#include "base/Hash.hpp"
#include "base/Uuid.hpp"
#include "common/AnalyticsSender.hpp"
#include "common/DriveDatabase.hpp"
#include "fileprovider/content/SyncCloudDownloads.hpp"
#include "integration/CloudClientFixture.hpp"
#include "support/RunTarnix.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {
namespace {

using common::SyncItem;

const common::SyncFolderIdentifier kRoot{"5f0c6b1e-8d1a-4c55-9a0e-0000000f3tch"};
constexpr const char* kDownloadPath = "^/api/v1/fs-content-download/ids/file/";

std::string randomContent(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string content(size, '\0');
  for (auto& byte : content) byte = static_cast<char>(generator() & 0xff);
  return content;
}

struct Fetched {
  std::optional<std::filesystem::path> url;
  fp::ItemPtr item;
  std::optional<fp::Error> error;
};

struct FetchedRange {
  std::optional<std::filesystem::path> url;
  fp::ItemPtr item;
  fp::ByteRange range;
  /// Where `range` starts in the delivered file.
  std::int64_t fileOffset = -1;
  std::optional<fp::Error> error;
};

class ContentFetchTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    // The provider's transport trusts the emulator the way a deployment trusts its cloud.
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }

  void SetUp() override {
    folderName_ = "Fetch-" + base::makeUuid();
    auto folder = makeFolder(folderAt("/Shared"), folderName_);
    root_.itemIdentifier = kRoot;
    root_.filename = folderName_;
    root_.cloudIdentifier = folder.cloudIdentifier;
    root_.permission = common::SyncItemPermission::owner;
    host_ = std::make_unique<FrameworkHost>("/Shared/" + folderName_, emulator().host());
    host_->storeCredentials(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"));
  }

  void TearDown() override {
    host_.reset();
    CloudClientTest::TearDown();
  }

  SyncItem addFile(const std::string& name, const std::string& content,
                   common::SyncItemPermission permission = common::SyncItemPermission::editor) {
    auto file = uploadFile("/Shared/" + folderName_ + "/" + name, content, root_);
    file.permission = permission;
    return file;
  }

  /// Stores the root and `items`, then starts the domain.
  void start(const std::vector<SyncItem>& items) {
    seed(items);
    host_->start();
    received();
  }

  /// Stores the root and `items` in the drive's database.
  void seed(const std::vector<SyncItem>& items) {
    {
      auto database = common::DriveDatabase::open(host_->driveDirectory(), kHostDrive);
      ASSERT_TRUE(database) << database.error().description();
      auto storage =
          common::SyncItemStorage::make((*database)->dbQueue(), "/Shared/" + folderName_, nullptr);
      ASSERT_TRUE(storage);
      ASSERT_TRUE((*storage)->setRootItem(root_));
      common::SyncItemListPatch patch;
      patch.createdItems = items;
      ASSERT_TRUE((*storage)->apply(patch, false));
    }
  }

  /// The tarnix programme on the host's container.
  ProgramRun tarnix(const std::string& arguments) {
    return runTarnix(arguments, "TARNIX_HOME='" + host_->containerRoot().string() +
                                    "' TARNIX_CA_FILE='" + emulator().caFile().string() + "'");
  }

  static fp::ItemIdentifier identifier(const SyncItem& item) {
    return fp::ItemIdentifier(item.itemIdentifier.description());
  }

  Fetched fetch(const SyncItem& item, std::optional<fp::ItemVersion> version = std::nullopt) {
    auto promise = std::make_shared<std::promise<Fetched>>();
    host_->wrapper().fetchContents(
        identifier(item), version, {},
        [promise](std::optional<std::filesystem::path> url, fp::ItemPtr fetched,
                  std::optional<fp::Error> error) {
          promise->set_value({std::move(url), std::move(fetched), std::move(error)});
        });
    auto future = promise->get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) std::abort();
    return future.get();
  }

  FetchedRange fetchRange(const SyncItem& item, fp::ByteRange range, std::int64_t alignment) {
    auto promise = std::make_shared<std::promise<FetchedRange>>();
    host_->wrapper().fetchPartialContents(
        identifier(item), fp::ItemVersion{}, {}, range, alignment, fp::FetchContentsOptions::none,
        [promise](std::optional<std::filesystem::path> url, fp::ItemPtr fetched,
                  fp::DeliveredRange delivered, fp::MaterializationFlags,
                  std::optional<fp::Error> error) {
          promise->set_value({std::move(url), std::move(fetched), delivered.range,
                              delivered.fileOffset, std::move(error)});
        });
    auto future = promise->get_future();
    if (future.wait_for(std::chrono::seconds(60)) != std::future_status::ready) std::abort();
    return future.get();
  }

  std::vector<ReceivedRequest> downloads() {
    std::vector<ReceivedRequest> out;
    for (auto& request : received()) {
      if (request.path.starts_with("/api/v1/fs-content-download/ids/file/")) {
        out.push_back(std::move(request));
      }
    }
    return out;
  }

  /// Files the provider left in the temporary folder under `prefix`.
  std::vector<std::filesystem::path> temporaryFiles(const std::string& prefix) const {
    std::vector<std::filesystem::path> out;
    std::error_code ec;
    for (const auto& entry :
         std::filesystem::directory_iterator(host_->containerRoot() / "tmp", ec)) {
      if (entry.path().filename().string().starts_with(prefix)) out.push_back(entry.path());
    }
    return out;
  }

  std::string folderName_;
  SyncItem root_;
  std::unique_ptr<FrameworkHost> host_;
};

TEST_F(ContentFetchTest, WholeFileArrivesIdenticalThroughTheProvider) {
  const auto content = randomContent(3 * 1024 * 1024 + 17, 1);
  auto file = addFile("report.bin", content);
  start({file});

  auto fetched = fetch(file);
  ASSERT_FALSE(fetched.error) << fetched.error->description();
  ASSERT_TRUE(fetched.url);
  EXPECT_TRUE(fetched.url->filename().string().starts_with("dl-full"));
  EXPECT_EQ(base::sha512Hex(readFile(*fetched.url)), base::sha512Hex(content));
  ASSERT_TRUE(fetched.item);
  EXPECT_EQ(fetched.item->documentSize(), static_cast<std::int64_t>(content.size()));
  EXPECT_TRUE((host_->logs().count("Downloading item done") > 0u));

  auto requests = downloads();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path,
            "/api/v1/fs-content-download/ids/file/" + file.cloudIdentifier->rawValue());
  ASSERT_EQ(requests[0].query.size(), 1u);
  EXPECT_EQ(requests[0].query[0],
            (std::pair<std::string, std::string>{"entry_id", file.contentVersion->rawValue}));
  EXPECT_FALSE(requests[0].header("range"));
}

TEST_F(ContentFetchTest, RangesAreRoundedOutToTheAlignment) {
  const auto content = randomContent(20000, 2);
  auto file = addFile("ranges.bin", content);
  start({file});
  struct Case {
    fp::ByteRange asked;
    std::int64_t alignment;
    std::string rangeHeader;
    fp::ByteRange delivered;
  };
  const Case cases[] = {
      {{100, 50}, 0, "bytes=100-149", {100, 50}},
      {{100, 50}, 1, "bytes=100-149", {100, 50}},
      {{100, 50}, 4096, "bytes=0-4095", {0, 4096}},
      {{5000, 10}, 4096, "bytes=4096-8191", {4096, 4096}},
      {{4095, 2}, 4096, "bytes=0-8191", {0, 8192}},
      // The server ends the range at the end of the file.
      {{19990, 10}, 16384, "bytes=16384-32767", {16384, 20000 - 16384}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rangeHeader + " align " + std::to_string(c.alignment));
    auto fetched = fetchRange(file, c.asked, c.alignment);
    ASSERT_FALSE(fetched.error) << fetched.error->description();
    ASSERT_TRUE(fetched.url);
    EXPECT_TRUE(fetched.url->filename().string().starts_with("dl-part"));
    EXPECT_EQ(fetched.range, c.delivered);
    // The file holds the range alone, from its first byte.
    EXPECT_EQ(fetched.fileOffset, 0);
    EXPECT_EQ(readFile(*fetched.url), content.substr(static_cast<std::size_t>(c.delivered.location),
                                                     static_cast<std::size_t>(c.delivered.length)));
    auto requests = downloads();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].header("range"), c.rangeHeader);
  }
}

TEST_F(ContentFetchTest, AWholeFileAnswerToARangeIsTheWholeFile) {
  const auto content = randomContent(10000, 3);
  auto file = addFile("whole.bin", content);
  start({file});
  addFault({{"path", kDownloadPath}, {"action", "ignoreRange"}, {"count", 1}});

  auto fetched = fetchRange(file, {4096, 100}, 4096);
  ASSERT_FALSE(fetched.error) << fetched.error->description();
  EXPECT_EQ(fetched.range, (fp::ByteRange{0, 10000}));
  EXPECT_EQ(fetched.fileOffset, 0);
  EXPECT_EQ(readFile(*fetched.url), content);
  EXPECT_TRUE((host_->logs().count("Partial download did download entire file") > 0u));
}

TEST_F(ContentFetchTest, AnotherEntityTagThanTheVersionAskedForFails) {
  auto file = addFile("versioned.txt", "first version");
  start({file});
  for (bool partial : {false, true}) {
    SCOPED_TRACE(partial ? "range" : "whole file");
    addFault({{"path", kDownloadPath},
              {"action", "headers"},
              {"headers", {{"ETag", "999999"}}},
              {"count", 1}});
    std::optional<fp::Error> error;
    if (partial) {
      auto fetched = fetchRange(file, {0, 5}, 0);
      error = fetched.error;
      EXPECT_FALSE(fetched.url);
    } else {
      auto fetched = fetch(file);
      error = fetched.error;
      EXPECT_FALSE(fetched.url);
    }
    // Status 200 with another entity tag: the mismatch travels inside Cocoa 4101.
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->is(fp::CocoaErrorCode::xpcConnectionReplyInvalid)) << error->description();
    auto underlying = error->underlyingError();
    ASSERT_TRUE(underlying);
    EXPECT_EQ(underlying->domain(), "Common.SyncError");
  }
  EXPECT_TRUE((host_->logs().count("Entry ID mismatch on download") > 0u));
  EXPECT_TRUE(temporaryFiles("dl-").empty());
}

// A body cut short is not handed over: the download goes on from what arrived, with a range,
// before the caller hears of anything.
TEST_F(ContentFetchTest, ACutShortBodyIsResumedWithARangeBeforeTheCallerHearsOfIt) {
  const auto content = randomContent(4 * 1024 * 1024, 4);
  auto file = addFile("big.bin", content);
  start({file});
  for (const char* action : {"truncate", "reset"}) {
    SCOPED_TRACE(action);
    addFault({{"path", kDownloadPath}, {"action", action}, {"count", 1}});
    auto fetched = fetch(file);
    ASSERT_FALSE(fetched.error) << fetched.error->description();
    EXPECT_EQ(base::sha512Hex(readFile(*fetched.url)), base::sha512Hex(content));
    std::filesystem::remove(*fetched.url);
    auto requests = downloads();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_FALSE(requests[0].header("range"));
    auto range = requests[1].header("range");
    // A reset may discard what was on its way: then there is nothing to resume from.
    if (std::string(action) == "reset" && !range) continue;
    ASSERT_TRUE(range);
    ASSERT_TRUE(range->starts_with("bytes=") && range->ends_with("-")) << *range;
    auto offset = std::stoll(range->substr(6));
    EXPECT_GT(offset, 0);
    EXPECT_LT(offset, static_cast<long long>(content.size()));
    EXPECT_EQ(requests[1].query, requests[0].query);
  }
  EXPECT_TRUE((host_->logs().count("Download resumed") > 0u));

  // Nothing is left to resume from once the file is whole.
  auto again = fetch(file);
  ASSERT_FALSE(again.error);
  auto third = downloads();
  ASSERT_EQ(third.size(), 1u);
  EXPECT_FALSE(third[0].header("range"));
}

// A server that keeps breaking the transfer off fails the fetch after the bounded attempts,
// as a fault of the server (never as an unreachable server); the next fetch goes on from what
// arrived.
TEST_F(ContentFetchTest, AServerThatKeepsBreakingOffFailsAfterTheAttemptsAndTheNextFetchResumes) {
  const auto content = randomContent(2 * 1024 * 1024, 9);
  auto file = addFile("flaky.bin", content);
  start({file});
  addFault({{"path", kDownloadPath}, {"action", "truncate"}, {"count", -1}});

  auto cut = fetch(file);
  ASSERT_TRUE(cut.error) << "a cut-short body must never be handed over";
  EXPECT_FALSE(cut.url);
  EXPECT_FALSE(cut.error->is(fp::FileProviderErrorCode::serverUnreachable))
      << cut.error->description();
  auto underlying = cut.error->underlyingError();
  ASSERT_TRUE(underlying) << cut.error->description();
  EXPECT_EQ(underlying->domain(), "NSURLErrorDomain");
  EXPECT_EQ(underlying->code(), -1005);
  EXPECT_TRUE(temporaryFiles("dl-full").empty());
  EXPECT_EQ(downloads().size(), 4u) << "four attempts in all";

  admin(base::HTTPMethod::delete_, "/__admin/faults");
  auto resumed = fetch(file);
  ASSERT_FALSE(resumed.error) << resumed.error->description();
  EXPECT_EQ(base::sha512Hex(readFile(*resumed.url)), base::sha512Hex(content));
  auto requests = downloads();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].header("range"));
}

// An unavailable server is asked again after the "Retry-After" it gives, for whole files and
// ranges; one that stays unavailable fails the fetch as a fault of the server.
TEST_F(ContentFetchTest, AnUnavailableServerIsAskedAgainAfterItsRetryAfter) {
  const auto content = randomContent(100000, 10);
  auto file = addFile("busy.bin", content);
  start({file});

  addFault({{"path", kDownloadPath},
            {"action", "status"},
            {"status", 503},
            {"retryAfter", "1"},
            {"count", 1}});
  auto whole = fetch(file);
  ASSERT_FALSE(whole.error) << whole.error->description();
  EXPECT_EQ(readFile(*whole.url), content);
  std::filesystem::remove(*whole.url);
  EXPECT_EQ(downloads().size(), 2u);

  addFault({{"path", kDownloadPath},
            {"action", "status"},
            {"status", 503},
            {"retryAfter", "1"},
            {"count", 1}});
  auto range = fetchRange(file, {4096, 100}, 4096);
  ASSERT_FALSE(range.error) << range.error->description();
  EXPECT_EQ(range.range, (fp::ByteRange{4096, 4096}));
  EXPECT_EQ(readFile(*range.url), content.substr(4096, 4096));
  auto requests = downloads();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("range"), requests[1].header("range"));

  addFault({{"path", kDownloadPath},
            {"action", "status"},
            {"status", 503},
            {"retryAfter", "0"},
            {"count", -1}});
  auto failed = fetch(file);
  ASSERT_TRUE(failed.error);
  auto underlying = failed.error->underlyingError();
  ASSERT_TRUE(underlying) << failed.error->description();
  EXPECT_EQ(underlying->domain(), "Common.SyncError");
  EXPECT_EQ(underlying->code(),
            static_cast<std::int64_t>(common::SyncError::Code::badServerResponse));
  EXPECT_EQ(downloads().size(), 4u);
  EXPECT_TRUE(temporaryFiles("dl-full").empty());
}

TEST_F(ContentFetchTest, AnAuthenticationFailureWhileResumingStartsFromScratch) {
  const auto content = randomContent(2 * 1024 * 1024, 5);
  auto file = addFile("auth.bin", content);
  start({file});
  // The cut is resumed at once; the resumed request is refused.
  addFault({{"path", kDownloadPath}, {"action", "truncate"}, {"count", 1}});
  addFault({{"path", kDownloadPath}, {"action", "status"}, {"status", 401}, {"count", 1}});
  auto fetched = fetch(file);
  ASSERT_FALSE(fetched.error) << fetched.error->description();
  EXPECT_EQ(base::sha512Hex(readFile(*fetched.url)), base::sha512Hex(content));
  EXPECT_TRUE(
      (host_->logs().count("Auth error while resuming download (auto-start from scratch)") > 0u));
  auto requests = downloads();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_FALSE(requests[0].header("range"));
  EXPECT_TRUE(requests[1].header("range"));
  EXPECT_FALSE(requests[2].header("range"));
}

TEST_F(ContentFetchTest, RefusalsAndMissingFilesBecomeFrameworkErrors) {
  auto readable = addFile("gone.txt", "soon deleted");
  auto hidden = addFile("secret.txt", "not for you", common::SyncItemPermission::nav);
  start({readable, hidden});

  auto refused = fetch(hidden);
  ASSERT_TRUE(refused.error);
  EXPECT_TRUE(refused.error->is(fp::CocoaErrorCode::fileReadNoPermission));
  auto refusedRange = fetchRange(hidden, {0, 1}, 0);
  ASSERT_TRUE(refusedRange.error);
  EXPECT_TRUE(refusedRange.error->is(fp::CocoaErrorCode::fileReadNoPermission));
  EXPECT_TRUE(downloads().empty()) << "a refused read sends nothing";

  SyncItem neverStored;
  neverStored.itemIdentifier = common::SyncFileIdentifier::make();
  auto unknown = fetch(neverStored);
  ASSERT_TRUE(unknown.error);
  EXPECT_TRUE(unknown.error->is(fp::FileProviderErrorCode::noSuchItem));

  addFault({{"path", kDownloadPath}, {"action", "status"}, {"status", 404}, {"count", 1}});
  auto missing = fetch(readable);
  ASSERT_TRUE(missing.error);
  EXPECT_TRUE(missing.error->is(fp::FileProviderErrorCode::noSuchItem))
      << missing.error->description();
  EXPECT_TRUE((host_->logs().count("Requested file is no longer available on server") > 0u));
  EXPECT_TRUE(temporaryFiles("dl-").empty());
}

TEST_F(ContentFetchTest, CatFetchesDownThePathThroughTheProvider) {
  const auto content = randomContent(300000, 8);
  auto sub = makeFolder(root_, "Sub");
  sub.permission = common::SyncItemPermission::editor;
  auto deep = uploadFile("/Shared/" + folderName_ + "/Sub/deep.bin", content, sub);
  deep.permission = common::SyncItemPermission::viewer;
  auto notes = addFile("Notes.txt", "line one\nline two\n");
  seed({sub, deep, notes});
  TempDir out("tarnix-get");

  auto cat = tarnix("cat Acme Sub/deep.bin > '" + (out.path() / "cat").string() + "'");
  ASSERT_EQ(cat.status, 0) << cat.output;
  EXPECT_EQ(base::sha512Hex(readFile(out.path() / "cat")), base::sha512Hex(content));

  // Nothing fetched stays behind in the container.
  for (const auto& entry : std::filesystem::directory_iterator(host_->containerRoot() / "tmp")) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("dl-")) << entry.path();
  }

  struct Failure {
    std::string arguments;
    std::string message;
  };
  const Failure failures[] = {
      {"cat Acme Sub/missing.bin", "Sub/missing.bin: no such item"},
      {"get Acme Sub", "Sub: is a folder"},
      {"get Acme Sub/missing.bin", "Sub/missing.bin: no such item"},
      {"cat Nowhere Notes.txt", "Nowhere"},
  };
  for (const auto& failure : failures) {
    auto run = tarnix(failure.arguments);
    EXPECT_NE(run.status, 0) << failure.arguments;
    EXPECT_NE(run.output.find(failure.message), std::string::npos) << run.output;
  }
}

// The cloud client on its own: the fast-access endpoint's fallback and the analytics events.
class CloudDownloadTest : public CloudClientTest {
 protected:
  void SetUp() override {
    parent_ = makeFolder(folderAt("/Shared"), "Downloads-" + base::makeUuid());
    path_ = "/Shared/" + parent_.filename;
  }

  template <class T, class Start>
  static fileprovider::SyncCloudResult<T> wait(Start start) {
    return run<T>(std::move(start));
  }

  SyncItem parent_;
  std::string path_;
  TempDir scratch_{"tarnix-downloads"};
  std::shared_ptr<common::RecordingAnalyticsSender> analytics_ =
      std::make_shared<common::RecordingAnalyticsSender>();
};

TEST_F(CloudDownloadTest, AFastAccessMissFallsBackToTheCloudAndIsRemembered) {
  const auto content = randomContent(50000, 6);
  auto file = uploadFile(path_ + "/hybrid.bin", content, parent_);
  // The emulator stands for both the fast-access endpoint and the cloud.
  auto sut = std::make_shared<fileprovider::SyncCloudDownloads>(
      client(), fileprovider::DownloadConfiguration{scratch_.path() / "resume", analytics_,
                                                    emulator().host()});
  received();
  addFault({{"path", kDownloadPath}, {"action", "status"}, {"status", 404}, {"count", 1}});

  auto first = wait<fileprovider::PartialFetchOutputContext>([&](auto done) {
    sut->fetchPartialContents({0, 100}, file, scratch_.path() / "one", 0, std::nullopt, true,
                              std::move(done));
  });
  ASSERT_TRUE(first) << first.error().description();
  EXPECT_EQ(first->range, (cloudfs::ByteRange{0, 100}));
  EXPECT_EQ(readFile(scratch_.path() / "one"), content.substr(0, 100));
  EXPECT_EQ(log_.second->entries("File not found on Hybrid").size(), 1u);
  EXPECT_EQ(received().size(), 2u);
  EXPECT_EQ(sut->zephyrCache().mode(file.itemIdentifier),
            fileprovider::ZephyrFileMode::versionNotFound(*file.contentVersion));

  // That version now comes from the cloud at once.
  auto second = wait<fileprovider::PartialFetchOutputContext>([&](auto done) {
    sut->fetchPartialContents({0, 100}, file, scratch_.path() / "two", 0, std::nullopt, true,
                              std::move(done));
  });
  ASSERT_TRUE(second);
  EXPECT_EQ(received().size(), 1u);
  EXPECT_EQ(log_.second->entries("File not found on Hybrid").size(), 1u);
}

TEST_F(CloudDownloadTest, EveryDownloadStartIsAnAnalyticsEventSayingWhetherItResumed) {
  const auto content = randomContent(3 * 1024 * 1024, 7);
  auto file = uploadFile(path_ + "/events.bin", content, parent_);
  auto sut = std::make_shared<fileprovider::SyncCloudDownloads>(
      client(),
      fileprovider::DownloadConfiguration{scratch_.path() / "resume", analytics_, std::nullopt});
  // The cut-short attempt is followed by a resumed one within the same download.
  addFault({{"path", kDownloadPath}, {"action", "truncate"}, {"count", 1}});
  auto download = [&](const std::string& name) {
    return wait<SyncItem>([&](auto done) {
      sut->downloadFile(file, scratch_.path() / name, std::nullopt, fp::FetchContentsOptions::none,
                        std::move(done));
    });
  };
  auto whole = download("whole");
  ASSERT_TRUE(whole) << whole.error().description();
  EXPECT_EQ(base::sha512Hex(readFile(scratch_.path() / "whole")), base::sha512Hex(content));
  EXPECT_EQ(sut->runningDownloads(), 0u);
  // The resume record is gone with the download it served.
  EXPECT_TRUE(std::filesystem::is_empty(scratch_.path() / "resume"));

  auto events = analytics_->events();
  ASSERT_EQ(events.size(), 2u);
  for (const auto& event : events) EXPECT_EQ(event.name, "file_download");
  EXPECT_EQ(events[0].properties["resumable_data_used"], false);
  EXPECT_EQ(events[0].properties["atOffset"], 0);
  EXPECT_EQ(events[1].properties["resumable_data_used"], true);
  EXPECT_GT(events[1].properties["atOffset"].get<std::int64_t>(), 0);
  EXPECT_EQ(events[1].properties["expectedBytes"], static_cast<std::int64_t>(content.size()));
}

}  // namespace
}  // namespace tarnix::testing
