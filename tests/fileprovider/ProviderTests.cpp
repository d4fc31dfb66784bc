#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "SeededDrive.hpp"
#include "base/JSONValue.hpp"
#include "common/Database.hpp"
#include "common/Feature.hpp"
#include "fileprovider/DummyProvider.hpp"
#include "fileprovider/FileProviderSuppressionsHandler.hpp"
#include "fileprovider/Provider.hpp"
#include "support/LineClient.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
using namespace tarnix::testing;
namespace fp = tarnix::platform::fileprovider;

namespace {

// Every answer a domain served by the stand-by provider gives.
void expectEveryCallRefused(fp::ReplicatedExtension& domain) {
  const fp::ItemIdentifier root = fp::ItemIdentifier::rootContainer();
  const auto cannotSync = [](const std::optional<fp::Error>& error) {
    return error && error->is(fp::FileProviderErrorCode::cannotSynchronize);
  };
  int answered = 0;
  domain.item(root, {}, [&](fp::ItemPtr item, std::optional<fp::Error> error) {
    EXPECT_EQ(item, nullptr);
    EXPECT_TRUE(cannotSync(error));
    ++answered;
  });
  domain.fetchContents(root, std::nullopt, {},
                       [&](auto file, fp::ItemPtr, std::optional<fp::Error> error) {
                         EXPECT_FALSE(file);
                         EXPECT_TRUE(cannotSync(error));
                         ++answered;
                       });
  domain.fetchPartialContents(root, {}, {}, {0, 10}, 4096, fp::FetchContentsOptions::none,
                              [&](auto, fp::ItemPtr, fp::DeliveredRange, fp::MaterializationFlags,
                                  std::optional<fp::Error> error) {
                                EXPECT_TRUE(cannotSync(error));
                                ++answered;
                              });
  fp::ItemProperties properties;
  properties.itemIdentifier = fp::ItemIdentifier("new");
  properties.parentItemIdentifier = root;
  properties.filename = "a.txt";
  auto itemTemplate = fp::ItemSnapshot::make(properties);
  const auto changeRefused = [&](fp::ItemPtr item, fp::ItemFields, bool,
                                 std::optional<fp::Error> error) {
    EXPECT_EQ(item, nullptr);
    EXPECT_TRUE(cannotSync(error));
    ++answered;
  };
  domain.createItem(itemTemplate, fp::ItemFields::filename, std::nullopt,
                    fp::CreateItemOptions::none, {}, changeRefused);
  domain.modifyItem(itemTemplate, {}, fp::ItemFields::filename, std::nullopt,
                    fp::ModifyItemOptions::none, {}, changeRefused);
  domain.deleteItem(root, {}, fp::DeleteItemOptions::none, {}, [&](std::optional<fp::Error> error) {
    EXPECT_TRUE(cannotSync(error));
    ++answered;
  });
  for (const auto& container : {root, fp::ItemIdentifier::workingSet(), fp::ItemIdentifier("x")}) {
    auto enumerator = domain.enumerator(container, {});
    ASSERT_FALSE(enumerator);
    EXPECT_TRUE(enumerator.error().is(fp::FileProviderErrorCode::cannotSynchronize));
  }
  int thumbnails = 0;
  domain.fetchThumbnails(
      {root, fp::ItemIdentifier("file/a")}, {64, 64},
      [&](const fp::ItemIdentifier&, std::optional<fp::Data> data, std::optional<fp::Error> error) {
        EXPECT_FALSE(data);
        EXPECT_TRUE(error && error->is(fp::CocoaErrorCode::xpcConnectionReplyInvalid));
        ++thumbnails;
      },
      [&](std::optional<fp::Error> error) {
        EXPECT_TRUE(error && error->is(fp::CocoaErrorCode::xpcConnectionReplyInvalid));
        ++answered;
      });
  EXPECT_EQ(thumbnails, 2);
  domain.performAction("com.tarnix.action.lock", {root}, [&](std::optional<fp::Error> error) {
    EXPECT_TRUE(error && error->is(fp::CocoaErrorCode::xpcConnectionReplyInvalid));
    ++answered;
  });
  domain.supportedServiceSources(root, [&](auto sources, std::optional<fp::Error> error) {
    EXPECT_TRUE(sources.empty());
    EXPECT_FALSE(error);
    ++answered;
  });
  EXPECT_EQ(answered, 9);
  EXPECT_EQ(domain.domainVersion(), fp::DomainVersion());
  const auto info = domain.userInfo();
  EXPECT_EQ(info.size(), 1u);
  EXPECT_TRUE(info.contains("deploymentEnvironment"));
  domain.invalidate();
}

}  // namespace

TEST(ProviderStart, FailuresLeaveADomainThatRefusesEveryCall) {
  struct Case {
    const char* name;
    std::string domain;
    bool newerDatabase;
    const char* reason;
    const char* logLine;
  };
  const Case cases[] = {
      {"unknown domain", "not-a-drive", false, kStartFailureReason,
       "Unknown NSFileProviderDomain identifier"},
      {"default domain", "NSFileProviderDomainDefaultIdentifier", false, kStartFailureReason,
       "Received NSFileProviderDomainDefaultIdentifier from system"},
      {"drive not in the repository", "16fd2706-8baf-433b-82eb-8c7fada847da", false,
       kStartFailureReason, "Initializing File Provider extension failed"},
      {"database from a newer build", kHostDrive, true, kMigrationFailureReason,
       "Opening drive database failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FrameworkHost host;
    seedDrive(host, {});
    if (c.newerDatabase) {
      auto db = Database::open(host.driveDirectory() / "Metadata.db");
      ASSERT_TRUE(db);
      ASSERT_TRUE((*db)->execute("INSERT INTO migrations VALUES ('v99')"));
    }
    auto& wrapper = *host.start(c.domain);
    EXPECT_TRUE(std::dynamic_pointer_cast<DummyProvider>(wrapper.wrappedProvider()));
    const auto disconnections = host.manager().disconnections();
    ASSERT_EQ(disconnections.size(), 1u);
    EXPECT_EQ(disconnections[0].reason, c.reason);
    EXPECT_EQ(disconnections[0].options, fp::DomainDisconnectionOptions::temporary);
    EXPECT_TRUE(host.manager().resolvedErrors().empty());
    EXPECT_EQ(host.logs().count(c.logLine), 1u);
    EXPECT_EQ(host.logs().count("Initializing File Provider extension failed"), 1u);
    expectEveryCallRefused(wrapper);
  }
}

// An extension whose every call throws, as a fault deep inside a provider would.
class ThrowingExtension final : public fp::ReplicatedExtension {
 public:
  [[noreturn]] static void fail() { throw std::runtime_error("disk on fire"); }
  void invalidate() override { fail(); }
  void importDidFinish(std::function<void()>) override { fail(); }
  fp::ProgressPtr item(const fp::ItemIdentifier&, const fp::Request&, ItemCompletion) override {
    fail();
  }
  fp::ProgressPtr fetchContents(const fp::ItemIdentifier&, const std::optional<fp::ItemVersion>&,
                                const fp::Request&, FetchContentsCompletion) override {
    fail();
  }
  fp::ProgressPtr fetchPartialContents(const fp::ItemIdentifier&, const fp::ItemVersion&,
                                       const fp::Request&, fp::ByteRange, std::int64_t,
                                       fp::FetchContentsOptions,
                                       FetchPartialContentsCompletion) override {
    fail();
  }
  fp::ProgressPtr createItem(fp::ItemPtr, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::CreateItemOptions,
                             const fp::Request&, ChangeItemCompletion) override {
    fail();
  }
  fp::ProgressPtr modifyItem(fp::ItemPtr, const fp::ItemVersion&, fp::ItemFields,
                             const std::optional<std::filesystem::path>&, fp::ModifyItemOptions,
                             const fp::Request&, ChangeItemCompletion) override {
    fail();
  }
  fp::ProgressPtr deleteItem(const fp::ItemIdentifier&, const fp::ItemVersion&,
                             fp::DeleteItemOptions, const fp::Request&, ErrorCompletion) override {
    fail();
  }
  std::expected<fp::EnumeratorPtr, fp::Error> enumerator(const fp::ItemIdentifier&,
                                                         const fp::Request&) override {
    fail();
  }
  fp::ProgressPtr fetchThumbnails(const std::vector<fp::ItemIdentifier>&, fp::ThumbnailSize,
                                  PerThumbnailCompletion, ErrorCompletion) override {
    fail();
  }
  fp::ProgressPtr performAction(const fp::ActionIdentifier&, const std::vector<fp::ItemIdentifier>&,
                                ErrorCompletion) override {
    fail();
  }
  fp::ProgressPtr supportedServiceSources(const fp::ItemIdentifier&,
                                          ServiceSourcesCompletion) override {
    fail();
  }
  void setInteractionSuppressed(bool, const std::string&) override { fail(); }
  bool isInteractionSuppressed(const std::string&) override { fail(); }
  fp::DomainVersion domainVersion() override { fail(); }
  tarnix::base::JSONValue userInfo() override { fail(); }
};

// The wrapper decorates any extension: what the wrapped one throws becomes one failed completion
// (Cocoa 4101 wrapping the failure) or a neutral answer, never an exception.
TEST(FileProviderWrapperGuard, AThrowingExtensionAnswersEveryCallWithoutThrowing) {
  FileProviderWrapper wrapper(fp::Domain{fp::DomainIdentifier("d"), "Drive"},
                              std::make_shared<ThrowingExtension>(), tarnix::base::Logger::null());
  const fp::ItemIdentifier root = fp::ItemIdentifier::rootContainer();
  const auto wrapped = [](const std::optional<fp::Error>& error) {
    return error && error->is(fp::CocoaErrorCode::xpcConnectionReplyInvalid) &&
           error->underlyingError() &&
           error->underlyingError()->description().find("disk on fire") != std::string::npos;
  };
  int answered = 0;
  EXPECT_TRUE(wrapper.item(root, {}, [&](fp::ItemPtr item, std::optional<fp::Error> error) {
    EXPECT_EQ(item, nullptr);
    EXPECT_TRUE(wrapped(error));
    ++answered;
  }));
  EXPECT_TRUE(
      wrapper.fetchPartialContents(root, {}, {}, {0, 10}, 4096, fp::FetchContentsOptions::none,
                                   [&](auto file, fp::ItemPtr, fp::DeliveredRange delivered,
                                       fp::MaterializationFlags, std::optional<fp::Error> error) {
                                     EXPECT_FALSE(file);
                                     EXPECT_EQ(delivered, fp::DeliveredRange{});
                                     EXPECT_TRUE(wrapped(error));
                                     ++answered;
                                   }));
  wrapper.importDidFinish([&] { ++answered; });
  EXPECT_EQ(answered, 3);
  auto enumerator = wrapper.enumerator(root, {});
  ASSERT_FALSE(enumerator);
  EXPECT_TRUE(wrapped(enumerator.error()));
  EXPECT_NO_THROW(wrapper.setInteractionSuppressed(true, "MoveItemsIntoTarnix"));
  EXPECT_FALSE(wrapper.isInteractionSuppressed("MoveItemsIntoTarnix"));
  EXPECT_EQ(wrapper.userInfo(), deploymentUserInfo());
  EXPECT_NO_THROW(wrapper.domainVersion());
  EXPECT_NO_THROW(wrapper.invalidate());
}

TEST(ProviderStart, WithoutProcessGlobalsTheDomainStandsBy) {
  auto manager =
      std::make_shared<FakeManager>(fp::Domain{fp::DomainIdentifier(kHostDrive), "Acme"});
  FileProviderWrapper wrapper(manager->domain(), manager, nullptr);
  ASSERT_EQ(manager->disconnections().size(), 1u);
  EXPECT_EQ(manager->disconnections()[0].reason, kStartFailureReason);
  expectEveryCallRefused(wrapper);
}

class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    seedDrive(host_, {seedItem(SyncFileIdentifier{"a1"}, kSeedRoot, "notes.txt"),
                      seedItem(SyncFolderIdentifier{"d1"}, kSeedRoot, "Docs")});
    host_.start();
    provider_ = std::dynamic_pointer_cast<Provider>(host_.wrapper().wrappedProvider());
    ASSERT_TRUE(provider_) << "the domain did not start";
  }
  void TearDown() override { host_.wrapper().invalidate(); }

  FrameworkHost host_;
  std::shared_ptr<Provider> provider_;
};

TEST_F(ProviderTest, StartReportsTheStandByStateResolved) {
  const auto resolved = host_.manager().resolvedErrors();
  ASSERT_EQ(resolved.size(), 1u);
  EXPECT_TRUE(resolved[0].is(fp::FileProviderErrorCode::cannotSynchronize));
  EXPECT_TRUE(host_.manager().disconnections().empty());
  EXPECT_EQ(host_.logs().count("Initializing File Provider extension done"), 1u);
  EXPECT_EQ(host_.logs().count("File provider initialised. (0.1.0)"), 1u);
  EXPECT_EQ(host_.wrapper().userInfo().size(), 1u);
  EXPECT_TRUE(host_.wrapper().userInfo()["deploymentEnvironment"].is_string());
}

TEST_F(ProviderTest, ItemLookupsGoThroughTheItemStore) {
  const auto root = host_.lookUp(fp::ItemIdentifier::rootContainer());
  ASSERT_TRUE(root.item) << root.error->description();
  EXPECT_EQ(root.item->filename(), "Team");
  EXPECT_EQ(root.item->itemIdentifier(), fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(root.item->userInfo()["specialItemKind"], "root");

  const auto file = host_.lookUp(fp::ItemIdentifier("file/a1"));
  ASSERT_TRUE(file.item);
  EXPECT_EQ(file.item->filename(), "notes.txt");
  EXPECT_EQ(file.item->parentItemIdentifier(), fp::ItemIdentifier::rootContainer());

  struct Case {
    const char* identifier;
    std::size_t invalidLogs;
  };
  for (const auto& c : {Case{"file/missing", 0}, Case{"garbage", 1}}) {
    const auto missing = host_.lookUp(fp::ItemIdentifier(c.identifier));
    EXPECT_EQ(missing.item, nullptr);
    ASSERT_TRUE(missing.error);
    EXPECT_TRUE(missing.error->is(fp::FileProviderErrorCode::noSuchItem)) << c.identifier;
    EXPECT_EQ(missing.error->stringValue(fp::Error::kNonExistentItemIdentifierKey), c.identifier);
  }
  EXPECT_EQ(host_.logs().count("Invalid item ID given by system to item()"), 1u);
}

TEST_F(ProviderTest, EnumeratorsForTrashWorkingSetAndUnparsableContainers) {
  const auto trash = host_.wrapper().enumerator(fp::ItemIdentifier::trashContainer(), {});
  ASSERT_FALSE(trash);
  EXPECT_TRUE(trash.error().is(fp::CocoaErrorCode::featureUnsupported));
  const auto junk = host_.wrapper().enumerator(fp::ItemIdentifier("junk"), {});
  ASSERT_FALSE(junk);
  EXPECT_TRUE(junk.error().is(fp::FileProviderErrorCode::noSuchItem));
  const auto workingSet = host_.wrapper().enumerator(fp::ItemIdentifier::workingSet(), {});
  ASSERT_TRUE(workingSet);
  EXPECT_EQ(workingSet->get(), provider_->workingSetEnumerator().get());
  const auto folder = host_.enumerate(fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(folder.items.size(), 2u);
}

TEST_F(ProviderTest, OnlyTheRootOffersTheProviderInstanceServiceWhichAnswersOverItsSocket) {
  std::vector<fp::ServiceSourcePtr> rootSources;
  host_.wrapper().supportedServiceSources(
      fp::ItemIdentifier::rootContainer(),
      [&](std::vector<fp::ServiceSourcePtr> sources, std::optional<fp::Error>) {
        rootSources = std::move(sources);
      });
  ASSERT_EQ(rootSources.size(), 3u);
  EXPECT_EQ(rootSources[0]->serviceName(), "com.tarnix.Locking");
  EXPECT_EQ(rootSources[1]->serviceName(), "com.tarnix.ExtensionInstance");
  EXPECT_EQ(rootSources[2]->serviceName(), "com.tarnix.Listing");
  for (const auto* other : {"file/a1", "folder/d1"}) {
    host_.wrapper().supportedServiceSources(
        fp::ItemIdentifier(other), [&](std::vector<fp::ServiceSourcePtr> sources, auto) {
          ASSERT_EQ(sources.size(), 2u) << other;
          EXPECT_EQ(sources[0]->serviceName(), "com.tarnix.Locking") << other;
          EXPECT_EQ(sources[1]->serviceName(), "com.tarnix.Listing") << other;
        });
  }

  const auto endpoint = rootSources[1]->makeListenerEndpoint();
  ASSERT_TRUE(endpoint) << endpoint.error().description();
  EXPECT_EQ(rootSources[1]->makeListenerEndpoint(), endpoint) << "one listener per source";
  LineClient client(endpoint->socketPath);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.ask(R"({"id":1,"method":"isImportComplete"})"),
            tarnix::base::parseJSON(R"({"id":1,"result":true})").value());
  EXPECT_EQ(client.ask(R"({"id":2,"method":"getImportProgress"})")["result"],
            tarnix::base::parseJSON(R"({"itemsToImport":0,"itemsImported":0})").value());
  const auto action = client.ask(
      R"({"id":3,"method":"performAction","params":{"actionIdentifier":"x","itemIdentifiers":["file/a1"]}})");
  EXPECT_EQ(action["id"], 3);
  EXPECT_EQ(action["error"]["domain"], "com.tarnix.UserActionError");
  EXPECT_EQ(action["error"]["message"], "Invalid action requested by system.");
  for (const auto* bad : {"not json", R"({"id":4,"method":"fly"})",
                          R"({"id":5,"method":"performAction","params":{"itemIdentifiers":7}})"}) {
    const auto answer = client.ask(bad);
    EXPECT_TRUE(answer.contains("error")) << bad;
  }
  EXPECT_EQ(client.ask(R"({"id":6,"method":"isImportComplete"})")["result"], true)
      << "the connection survives bad requests";
}

TEST_F(ProviderTest, DomainVersionBumpsOnRequestAndOnFeatureOverrideChanges) {
  const auto first = host_.wrapper().domainVersion();
  EXPECT_EQ(first, fp::DomainVersion());
  provider_->bumpDomainVersion();
  const auto second = host_.wrapper().domainVersion();
  EXPECT_GT(second, first);
  EXPECT_EQ(host_.logs().count("Bumping domain version from: " + first.description()), 1u);
  const auto signalled = host_.manager().signalledContainers();
  EXPECT_NE(std::ranges::find(signalled, fp::ItemIdentifier::workingSet()), signalled.end());

  UserDefaultsFeatureManager overrides(host_.globals()->appGroup()->defaults());
  ASSERT_TRUE(overrides.disable(Feature::recents));
  EXPECT_TRUE(eventually([&] { return host_.wrapper().domainVersion() > second; }));
  EXPECT_GE(host_.logs().count("featureOverrides have been updated"), 1u);
}

TEST_F(ProviderTest, AlertSuppressionIsStoredPerKnownId) {
  auto& wrapper = host_.wrapper();
  EXPECT_FALSE(wrapper.isInteractionSuppressed("MoveItemsIntoTarnix"));
  wrapper.setInteractionSuppressed(true, "MoveItemsIntoTarnix");
  EXPECT_TRUE(wrapper.isInteractionSuppressed("MoveItemsIntoTarnix"));
  EXPECT_EQ(host_.globals()->appGroup()->defaults()->value("alertSuppressions.MoveItemsIntoTarnix"),
            tarnix::base::JSONValue(true));
  wrapper.setInteractionSuppressed(true, "SomethingElse");
  EXPECT_FALSE(wrapper.isInteractionSuppressed("SomethingElse"));
  EXPECT_EQ(host_.logs().count("Unrecognized suppressionId given by system."), 2u);
  EXPECT_FALSE(host_.globals()->appGroup()->defaults()->value("alertSuppressions.SomethingElse"));
}

TEST_F(ProviderTest, ChangesToSettingsReadAtStartEndTheProcessWithStatusZero) {
  host_.globals()->appGroup()->preferences()->setLogLevel(tarnix::base::LoggerLevel::trace);
  EXPECT_TRUE(eventually([&] { return !host_.exits().empty(); }));
  EXPECT_EQ(host_.exits().front(), 0);
  EXPECT_EQ(host_.logs().count("Re-launching due to log-level update"), 1u);
  ASSERT_TRUE(
      host_.globals()->appGroup()->defaults()->set("offlineEndpoints", "tcp://127.0.0.1:1"));
  EXPECT_TRUE(eventually([&] {
    return host_.logs().count("Re-launching due to Sync service endpoints changed") == 1;
  }));
}

TEST_F(ProviderTest, InvalidationStopsTheServicesAndIsLogged) {
  host_.wrapper().invalidate();
  EXPECT_EQ(host_.logs().count("File provider invalidated."), 1u);
  EXPECT_EQ(host_.logs().count("Invalidated File Provider extension"), 1u);
}

namespace tarnix::testing {
namespace {

struct ChangeAnswer {
  fp::ItemPtr item;
  std::optional<fp::Error> error;
};

// Every case is answered before anything reaches the cloud: the drive's cloud host answers
// nothing, so a request would fail with a transport error instead.
TEST_F(ProviderTest, ChangeRequestsAreCheckedBeforeTheSyncService) {
  auto& domain = host_.wrapper();
  const auto root = fp::ItemIdentifier::rootContainer();
  auto templateOf = [&](std::string id, fp::ItemIdentifier parent, std::string name,
                        std::string_view type = fp::kContentTypeFolder) {
    fp::ItemProperties properties;
    properties.itemIdentifier = fp::ItemIdentifier(std::move(id));
    properties.parentItemIdentifier = std::move(parent);
    properties.filename = std::move(name);
    properties.contentType = std::string(type);
    return fp::ItemSnapshot::make(properties);
  };
  auto answer = [](auto start) {
    std::promise<ChangeAnswer> promise;
    start([&](fp::ItemPtr item, fp::ItemFields, bool, std::optional<fp::Error> error) {
      promise.set_value({std::move(item), std::move(error)});
    });
    auto future = promise.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
  };
  auto create = [&](fp::ItemPtr itemTemplate) {
    return answer([&](auto done) {
      domain.createItem(itemTemplate, fp::ItemFields::filename, std::nullopt,
                        fp::CreateItemOptions::none, {}, done);
    });
  };
  auto modify = [&](fp::ItemPtr item, fp::ItemFields fields,
                    fp::ModifyItemOptions options = fp::ModifyItemOptions::none) {
    return answer(
        [&](auto done) { domain.modifyItem(item, {}, fields, std::nullopt, options, {}, done); });
  };
  struct Case {
    const char* log;
    ChangeAnswer answered;
    bool itemExpected;
  };
  const auto notes = templateOf("file/a1", root, "notes.txt", fp::kContentTypeItem);
  const Case cases[] = {
      {"Invalid parent ID given by system to createItem()",
       create(templateOf("n1", fp::ItemIdentifier("garbage"), "New")), false},
      {"Creation of temporary file/folder rejected",
       create(templateOf("n2", root, ".spotlight-v100")), false},
      {"Ignoring symbolic link",
       create(templateOf("n3", root, "link", fp::kContentTypeSymbolicLink)), true},
      {"Contents are missing when creating file of public.item type",
       create(templateOf("n4", root, "a.txt", fp::kContentTypeItem)), false},
      {"Unknown item ID given to modifyItem()",
       modify(templateOf("garbage", root, "x"), fp::ItemFields::filename), false},
      {"Empty filename given by system",
       modify(templateOf("file/a1", root, ""), fp::ItemFields::filename), false},
      {".contents set in changedFields, but no contents URL passed",
       modify(notes, fp::ItemFields::contents), false},
      {"Modification of temporary file/folder rejected",
       modify(templateOf("file/a1", root, "notes.txt~"), fp::ItemFields::filename), false},
      {".mayAlreadyExist option is not supported (modifyItem)",
       modify(notes, fp::ItemFields::lastUsedDate, fp::ModifyItemOptions::mayAlreadyExist), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host_.logs().count(c.log), 1u) << c.log;
    EXPECT_EQ(c.answered.item != nullptr, c.itemExpected) << c.log;
    EXPECT_EQ(c.answered.error.has_value(), !c.itemExpected) << c.log;
  }

  std::promise<std::optional<fp::Error>> invalid;
  domain.deleteItem(fp::ItemIdentifier("garbage"), {}, fp::DeleteItemOptions::none, {},
                    [&](std::optional<fp::Error> error) { invalid.set_value(std::move(error)); });
  auto refused = invalid.get_future().get();
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->is(fp::FileProviderErrorCode::noSuchItem));
  EXPECT_EQ(host_.logs().count("Invalid item ID given by system to deleteItem()"), 1u);
  // An item the store no longer has is deleted already.
  std::promise<std::optional<fp::Error>> gone;
  domain.deleteItem(fp::ItemIdentifier("file/missing"), {}, fp::DeleteItemOptions::none, {},
                    [&](std::optional<fp::Error> error) { gone.set_value(std::move(error)); });
  EXPECT_FALSE(gone.get_future().get());
}

}  // namespace
}  // namespace tarnix::testing
