// Listing against the emulator through the provider's framework entry points: enumerators
// that present a folder make it listed from the cloud, the framework is told of the changes,
// and the store follows what is made, renamed, deleted and locked in the cloud.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "base/Uuid.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "common/AccountKeychainStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "fileprovider/FrameworkHost.hpp"
#include "fileprovider/Provider.hpp"
#include "integration/CloudClientFixture.hpp"
#include "platform/KeychainItemStore.hpp"
#include "support/LineClient.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;
using fileprovider::ListingOrigin;

constexpr const char* kListingPath = "/rest/public/v1/fsc/folders";

// A lock taken in the cloud through the file-system API.
class LockRequest final : public cloudfs::CloudFSRequestPrototype {
 public:
  explicit LockRequest(std::string groupID) : groupID_(std::move(groupID)) {}
  std::string path() const override { return "/api/v1/fs/ids/file/" + groupID_; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  cloudfs::HTTPHeaders headers() const override { return {{"Content-Type", "application/json"}}; }
  std::expected<std::optional<std::string>, cloudfs::CloudFSError> body() const override {
    return std::optional<std::string>(
        R"({"action": "lock", "lock_token": null, "lock_timeout": 300, "collaboration": null})");
  }

 private:
  std::string groupID_;
};

class ListingIntegrationTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    // The provider's URL session trusts what the process is told to trust.
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }

  void SetUp() override {
    // Each test lists a folder of its own.
    base_ = "/Shared/listing-" + base::makeUuid().substr(0, 8);
    shared_ = folderAt("/Shared");
    top_ = makeFolder(shared_, base_.substr(base_.rfind('/') + 1));
  }
  void TearDown() override {
    host_.reset();
    CloudClientTest::TearDown();
  }

  // Starts the domain of a drive whose root is the test's folder; its services measure time by
  // `clock` when one is given.
  void startDrive(std::shared_ptr<base::Clock> clock = nullptr) {
    host_ = std::make_unique<FrameworkHost>(base_, emulator().host());
    host_->setClock(std::move(clock));
    auto globals = host_->globals();
    ASSERT_TRUE(globals);
    common::AccountKeychainStorage keychain(
        std::make_shared<platform::KeychainItemStore>(globals->appGroup()->internalDataURL() /
                                                      "Credentials"),
        base::Logger::null());
    ASSERT_TRUE(keychain.setAuthentication(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"),
        "2024-01-01T00:00:00.000Z", kHostAccount));
    host_->start();
    ASSERT_TRUE(provider()) << "the domain did not start";
  }

  std::shared_ptr<fileprovider::Provider> provider() {
    return std::dynamic_pointer_cast<fileprovider::Provider>(host_->wrapper().wrappedProvider());
  }
  common::SyncItem root() {
    auto item = provider()->itemStorage()->rootItem();
    EXPECT_TRUE(item) << item.error().description();
    return item ? *item : common::SyncItem{};
  }

  // Waits until the framework was signalled `count` times in all.
  bool waitForSignals(std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (host_->manager().signalledContainers().size() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  // Lists the drive's root through the scheduler and waits for the outcome.
  fileprovider::ListingResult<void> listRoot(bool force) {
    std::promise<fileprovider::ListingResult<void>> done;
    provider()->listingScheduler()->triggerListing(
        root().itemIdentifier, ListingOrigin::enumerator, force, false,
        [&](fileprovider::ListingResult<void> result) { done.set_value(std::move(result)); });
    auto future = done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  std::vector<ReceivedRequest> listings() {
    auto all = received();
    std::erase_if(all, [](const auto& request) { return !request.path.starts_with(kListingPath); });
    return all;
  }

  std::set<std::string> names(const std::vector<fp::ItemPtr>& items) {
    std::set<std::string> out;
    for (const auto& item : items) out.insert(item->filename());
    return out;
  }

  // The stored listing bookkeeping of the root.
  std::optional<fileprovider::ListingMetadata> rootListing() {
    auto metadata = provider()->listingMetadataStorage()->metadata(*root().itemIdentifier.folder());
    EXPECT_TRUE(metadata);
    return metadata ? *metadata : std::nullopt;
  }

  // Opens the root container the way the framework does and waits for the listing it starts.
  EnumeratedContainer openRoot() {
    const auto before = host_->manager().signalledContainers().size();
    host_->enumerate(fp::ItemIdentifier::rootContainer());
    EXPECT_TRUE(waitForSignals(before + 1)) << "the framework was never told of the listing";
    return host_->enumerate(fp::ItemIdentifier::rootContainer());
  }

  std::string base_;
  common::SyncItem shared_;
  common::SyncItem top_;
  std::unique_ptr<FrameworkHost> host_;
};

TEST_F(ListingIntegrationTest, AFolderOpenedBySeveralEnumeratorsAtOnceIsListedOnce) {
  uploadFile(base_ + "/a.txt", "alpha", top_);
  uploadFile(base_ + "/b.txt", "beta", top_);
  startDrive();
  received();

  std::vector<fp::EnumeratorPtr> enumerators;
  for (int i = 0; i < 4; ++i) {
    auto made = host_->wrapper().enumerator(fp::ItemIdentifier::rootContainer(), {});
    ASSERT_TRUE(made);
    enumerators.push_back(*made);
  }
  ASSERT_TRUE(waitForSignals(1));
  auto contents = host_->enumerate(fp::ItemIdentifier::rootContainer());
  for (auto& enumerator : enumerators) enumerator->invalidate();

  EXPECT_EQ(listings().size(), 1u);
  EXPECT_EQ(names(contents.items), (std::set<std::string>{"a.txt", "b.txt"}));
  // The framework was told about the root container and the working set.
  auto signalled = host_->manager().signalledContainers();
  EXPECT_NE(std::ranges::find(signalled, fp::ItemIdentifier::rootContainer()), signalled.end());
  EXPECT_NE(std::ranges::find(signalled, fp::ItemIdentifier::workingSet()), signalled.end());
  // The root now carries its cloud identity.
  EXPECT_TRUE(root().cloudIdentifier.has_value());
}

TEST_F(ListingIntegrationTest, ARecentListingIsNotRepeatedUnlessForcedAndA304OnlyRefreshesTime) {
  uploadFile(base_ + "/a.txt", "alpha", top_);
  auto clock = base::ManualClock::make();
  startDrive(clock);
  openRoot();
  auto first = rootListing();
  ASSERT_TRUE(first);
  received();

  ASSERT_TRUE(listRoot(false));
  EXPECT_TRUE(listings().empty()) << "a folder listed moments ago was asked again";

  auto enumerator = host_->wrapper().enumerator(fp::ItemIdentifier::rootContainer(), {});
  ASSERT_TRUE(enumerator);
  const auto anchor = host_->currentAnchor(*enumerator);
  // The listing the new enumerator asked for (skipped: recent) has ended once an equal request
  // has, so that the forced listing below is one of its own.
  ASSERT_TRUE(listRoot(false));
  clock->advance(1100ms);  // the stored time has whole-second steps at least
  ASSERT_TRUE(listRoot(true));
  auto sent = listings();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].header("if-none-match"), first->version);

  auto second = rootListing();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->version, first->version);
  EXPECT_GT(second->lastSynchronizationTime, first->lastSynchronizationTime);
  auto changes = host_->follow(*enumerator, anchor);
  EXPECT_TRUE(changes.updated.empty());
  EXPECT_TRUE(changes.deleted.empty());
  (*enumerator)->invalidate();
}

TEST_F(ListingIntegrationTest, CloudChangesAppearInTheChangeEnumerationAfterTheNextListing) {
  auto renamed = uploadFile(base_ + "/rename-me.txt", "one", top_);
  auto deleted = uploadFile(base_ + "/delete-me.txt", "two", top_);
  auto locked = uploadFile(base_ + "/lock-me.txt", "three", top_);
  uploadFile(base_ + "/stays.txt", "four", top_);
  startDrive();
  openRoot();
  auto storage = provider()->itemStorage();
  auto storedDeleted = storage->optionalItem(common::CloudItemIdentifier(*deleted.cloudIdentifier));
  ASSERT_TRUE(storedDeleted && *storedDeleted);

  auto enumerator = host_->wrapper().enumerator(fp::ItemIdentifier::rootContainer(), {});
  ASSERT_TRUE(enumerator);
  const auto anchor = host_->currentAnchor(*enumerator);

  uploadFile(base_ + "/new.txt", "five", top_);
  auto sut = client();
  ASSERT_TRUE(run<common::SyncItem>([&](auto done) {
    sut->moveItem(renamed, std::nullopt, std::string("renamed.txt"), std::nullopt, done);
  }));
  ASSERT_TRUE(run<void>([&](auto done) { sut->deleteItem(deleted, std::nullopt, done); }));
  auto lock = sut->cfsSession()->data(LockRequest(locked.cloudIdentifier->rawValue()),
                                      cloudfs::TarnixURLRequestOptions::none());
  ASSERT_EQ(lock.wait_for(30s), std::future_status::ready);
  auto answer = lock.get();
  ASSERT_TRUE(answer);
  ASSERT_EQ(answer->second.statusCode, 200) << answer->first;

  ASSERT_TRUE(listRoot(true));
  auto changes = host_->follow(*enumerator, anchor);
  (*enumerator)->invalidate();
  ASSERT_FALSE(changes.error);
  EXPECT_EQ(names(changes.updated),
            (std::set<std::string>{"new.txt", "renamed.txt", "lock-me.txt"}));
  ASSERT_EQ(changes.deleted.size(), 1u);
  EXPECT_EQ(changes.deleted[0].rawValue(), (*storedDeleted)->itemIdentifier.description());

  auto lockedItem = storage->optionalItem(common::CloudItemIdentifier(*locked.cloudIdentifier));
  ASSERT_TRUE(lockedItem && *lockedItem);
  EXPECT_TRUE((*lockedItem)->lockInfo.has_value());
}

TEST_F(ListingIntegrationTest, UnwantedNamesFromTheCloudAreSkippedNeverStoredUntilRenamed) {
  uploadFile(base_ + "/.DS_Store", "x", top_);
  auto hidden = uploadFile(base_ + "/._photo.jpg", "x", top_);
  uploadFile(base_ + "/report.docx", "x", top_);
  startDrive();
  auto contents = openRoot();
  EXPECT_EQ(names(contents.items), (std::set<std::string>{"report.docx"}));
  auto count = provider()->itemStorage()->itemCount({common::SyncItemQueryConstraint::isAlive()});
  ASSERT_TRUE(count);
  EXPECT_EQ(*count, 2);  // the root and report.docx

  // The skip is not for ever: under a wanted name the same cloud item comes in.
  auto sut = client();
  ASSERT_TRUE(run<common::SyncItem>([&](auto done) {
    sut->moveItem(hidden, std::nullopt, std::string("photo.jpg"), std::nullopt, done);
  }));
  ASSERT_TRUE(listRoot(true));
  contents = host_->enumerate(fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(names(contents.items), (std::set<std::string>{"photo.jpg", "report.docx"}));
}

TEST_F(ListingIntegrationTest, ABadListingBodyStoresNothingAndLeavesTheBookkeeping) {
  uploadFile(base_ + "/kept.txt", "kept", top_);
  startDrive();
  openRoot();
  const auto before = rootListing();
  ASSERT_TRUE(before);
  auto anchor = provider()->itemStorage()->currentSyncAnchor();
  ASSERT_TRUE(anchor);

  const auto folderID = root().cloudIdentifier->rawValue();
  auto entry = [](base::JSONValue file) {
    base::JSONValue good = {{"name", "new.txt"}, {"groupId", "g-new"}, {"entryId", "e-new"},
                            {"size", 3},         {"uploaded", 1},      {"lastModified", 1},
                            {"locked", false}};
    for (auto& [key, value] : file.items()) good[key] = value;
    return good;
  };
  auto body = [&](base::JSONValue files) {
    return base::JSONValue{{"path", base_},
                           {"folderId", folderID},
                           {"permission", "OWNER"},
                           {"uploaded", 1},
                           {"lastModified", 1},
                           {"files", files},
                           {"folders", base::JSONValue::array()}};
  };
  struct Case {
    const char* name;
    base::JSONValue body;
    bool withETag;
  };
  const Case cases[] = {
      {"size of the wrong type", body({entry({{"size", "three"}})}), true},
      {"negative size",
       body({entry({}), entry({{"name", "b.txt"}, {"groupId", "g-b"}, {"size", -1}})}), true},
      {"files not a list", body("none"), true},
      {"no entity tag", body({entry({})}), false},
  };
  for (const auto& c : cases) {
    base::JSONValue rule = {{"path", "^/rest/public/v1/fsc/folders"},
                            {"action", "status"},
                            {"status", 200},
                            {"body", c.body}};
    if (c.withETag) rule["headers"] = {{"ETag", "\"bad-1\""}};
    addFault(rule);
    auto result = listRoot(true);
    ASSERT_FALSE(result) << c.name;
    ASSERT_NE(result.error().syncError(), nullptr)
        << c.name << ": " << result.error().description();
    EXPECT_EQ(result.error().syncError()->code(), common::SyncError::Code::badServerResponse)
        << c.name;
    EXPECT_EQ(rootListing(), before) << c.name;
    auto now = provider()->itemStorage()->currentSyncAnchor();
    ASSERT_TRUE(now);
    EXPECT_EQ(now->rank, anchor->rank) << c.name << ": something was stored";
  }
  auto contents = host_->enumerate(fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(names(contents.items), (std::set<std::string>{"kept.txt"}));
}

TEST_F(ListingIntegrationTest,
       TheListingServiceRefreshesAndDiscoversPathsForTheDesktopApplication) {
  auto reports = makeFolder(top_, "Reports");
  auto year = makeFolder(reports, "2024");
  uploadFile(base_ + "/Reports/2024/q1.txt", "q1", year);
  startDrive();
  openRoot();

  fp::ServiceSourcePtr listing;
  host_->wrapper().supportedServiceSources(fp::ItemIdentifier::rootContainer(),
                                           [&](std::vector<fp::ServiceSourcePtr> sources, auto) {
                                             for (auto& source : sources) {
                                               if (source->serviceName() == "com.tarnix.Listing")
                                                 listing = source;
                                             }
                                           });
  ASSERT_TRUE(listing);
  auto endpoint = listing->makeListenerEndpoint();
  ASSERT_TRUE(endpoint);
  LineClient client(endpoint->socketPath);
  ASSERT_TRUE(client.connected());

  // A path the store does not know yet is found by listing each folder on the way.
  auto unknown = client.ask(R"({"id":1,"method":"refresh","params":{"path":"/Reports/2024"}})");
  EXPECT_TRUE(unknown.contains("error")) << unknown.dump();
  auto discovered = client.ask(R"({"id":2,"method":"discover","params":{"path":"/Reports/2024"}})");
  EXPECT_EQ(discovered, base::parseJSON(R"({"id":2,"result":null})").value());
  auto file = provider()->itemStorage()->findItem("/Reports/2024/q1.txt");
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->has_value());

  received();
  auto refreshed = client.ask(R"({"id":3,"method":"refresh","params":{"path":"/Reports/2024"}})");
  EXPECT_EQ(refreshed, base::parseJSON(R"({"id":3,"result":null})").value());
  EXPECT_EQ(listings().size(), 1u) << "a refresh is a forced listing";
  auto folder = provider()->itemStorage()->findItem("/Reports");
  ASSERT_TRUE(folder && *folder);
  auto byIdentifier =
      client.ask(R"({"id":4,"method":"refreshFolderFromCloud","params":{"identifier":")" +
                 (*folder)->itemIdentifier.description() + R"("}})");
  EXPECT_EQ(byIdentifier["result"], nullptr) << byIdentifier.dump();
  EXPECT_EQ(listings().size(), 1u);
  for (const auto* bad :
       {"nonsense", R"({"id":5,"method":"refresh"})",
        R"({"id":6,"method":"refreshFolderFromCloud","params":{"identifier":"x"}})"}) {
    EXPECT_TRUE(client.ask(bad).contains("error")) << bad;
  }
}

}  // namespace
}  // namespace tarnix::testing
