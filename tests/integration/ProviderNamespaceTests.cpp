// Namespace changes through the provider's framework entry points against the emulator, on a
// drive that starts empty: a new folder, renames and moves, deletions, and the checks that keep
// a deletion from removing what nobody saw.

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <set>

#include "../fileprovider/FrameworkHost.hpp"
#include "base/Uuid.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "integration/CloudClientFixture.hpp"

namespace tarnix::testing {
namespace {

using namespace std::chrono_literals;

struct Changed {
  fp::ItemPtr item;
  std::optional<fp::Error> error;
};

class ProviderNamespaceTest : public CloudClientTest {
 protected:
  static void SetUpTestSuite() {
    CloudClientTest::SetUpTestSuite();
    ::setenv("TARNIX_CA_FILE", emulator().caFile().c_str(), 1);
  }

  void SetUp() override {
    name_ = "Namespace-" + base::makeUuid();
    folder_ = makeFolder(folderAt("/Shared"), name_);
    host_ = std::make_unique<FrameworkHost>(path(""), emulator().host());
    host_->storeCredentials(
        common::AccountAuthentication::oauth(EmulatorProcess::kAliceToken, "refresh"));
    host_->start();
  }
  void TearDown() override {
    host_.reset();
    CloudClientTest::TearDown();
  }

  std::string path(const std::string& below) const {
    return "/Shared/" + name_ + (below.empty() ? "" : "/" + below);
  }

  /// The names the cloud lists in the folder at `below`; none when it has no such folder.
  std::optional<std::set<std::string>> cloudNames(const std::string& below) {
    auto future = client()->cfsSession()->data(cloudfs::ListingByPathRequest(path(below)),
                                               cloudfs::TarnixURLRequestOptions::none());
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    auto answer = future.get();
    if (!answer || answer->second.statusCode == 404) return std::nullopt;
    auto listing = cloudfs::ListingResponse::decode({answer->second, answer->first, std::nullopt});
    if (!listing) return std::nullopt;
    std::set<std::string> names;
    for (const auto& file : listing->files) names.insert(file.name);
    for (const auto& folder : listing->folders) names.insert(folder.name);
    return names;
  }

  /// The children of `container`, listed from the cloud first as a presented folder is.
  std::vector<fp::ItemPtr> children(const fp::ItemIdentifier& container) {
    auto enumerator = host_->wrapper().enumerator(container, {});
    EXPECT_TRUE(enumerator);
    if (!enumerator) return {};
    std::promise<std::optional<fp::Error>> listed;
    (*enumerator)->waitForPresentationListing([&](std::optional<fp::Error> error) {
      listed.set_value(std::move(error));
    });
    auto future = listed.get_future();
    EXPECT_EQ(future.wait_for(30s), std::future_status::ready);
    (*enumerator)->invalidate();
    return host_->enumerate(container).items;
  }
  fp::ItemPtr child(const fp::ItemIdentifier& container, const std::string& name) {
    for (auto& item : children(container))
      if (item->filename() == name) return item;
    ADD_FAILURE() << "no child " << name;
    return nullptr;
  }

  Changed wait(const std::function<void(fp::ReplicatedExtension::ChangeItemCompletion)>& start) {
    auto promise = std::make_shared<std::promise<Changed>>();
    start([promise](fp::ItemPtr item, fp::ItemFields, bool, std::optional<fp::Error> error) {
      promise->set_value({std::move(item), std::move(error)});
    });
    auto future = promise->get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }
  Changed createFolder(const fp::ItemIdentifier& parent, const std::string& name) {
    fp::ItemProperties properties;
    properties.itemIdentifier = fp::ItemIdentifier("host-" + base::makeUuid());
    properties.parentItemIdentifier = parent;
    properties.filename = name;
    properties.contentType = std::string(fp::kContentTypeFolder);
    return wait([&](auto done) {
      host_->wrapper().createItem(fp::ItemSnapshot::make(properties),
                                  fp::ItemFields::filename | fp::ItemFields::parentItemIdentifier,
                                  std::nullopt, {}, {}, done);
    });
  }
  Changed move(const fp::ItemPtr& item, std::optional<fp::ItemIdentifier> parent,
               std::optional<std::string> name) {
    auto properties = fp::ItemProperties::of(*item);
    auto fields = fp::ItemFields::none;
    if (parent) {
      properties.parentItemIdentifier = *parent;
      fields |= fp::ItemFields::parentItemIdentifier;
    }
    if (name) {
      properties.filename = *name;
      fields |= fp::ItemFields::filename;
    }
    return wait([&](auto done) {
      host_->wrapper().modifyItem(fp::ItemSnapshot::make(properties), item->itemVersion(), fields,
                                  std::nullopt, {}, {}, done);
    });
  }
  std::optional<fp::Error> remove(const fp::ItemPtr& item, bool recursive) {
    std::promise<std::optional<fp::Error>> done;
    host_->wrapper().deleteItem(
        item->itemIdentifier(), item->itemVersion(),
        recursive ? fp::DeleteItemOptions::recursive : fp::DeleteItemOptions::none, {},
        [&](std::optional<fp::Error> error) { done.set_value(std::move(error)); });
    auto future = done.get_future();
    if (future.wait_for(30s) != std::future_status::ready) std::abort();
    return future.get();
  }

  std::string name_;
  common::SyncItem folder_;
  std::unique_ptr<FrameworkHost> host_;
};

TEST_F(ProviderNamespaceTest, FoldersAreCreatedRenamedMovedAndDeletedOnTheCloud) {
  const auto root = fp::ItemIdentifier::rootContainer();
  uploadFile(path("notes.txt"), "notes", folder_);
  EXPECT_EQ(children(root).size(), 1u);

  auto created = createFolder(root, "Projects");
  ASSERT_FALSE(created.error) << created.error->description();
  ASSERT_TRUE(created.item);
  EXPECT_EQ(created.item->filename(), "Projects");
  EXPECT_EQ(cloudNames(""), (std::set<std::string>{"notes.txt", "Projects"}));

  auto notes = child(root, "notes.txt");
  ASSERT_TRUE(notes);
  auto renamed = move(notes, std::nullopt, "minutes.txt");
  ASSERT_FALSE(renamed.error) << renamed.error->description();
  auto moved = move(renamed.item, created.item->itemIdentifier(), "2024 minutes.txt");
  ASSERT_FALSE(moved.error) << moved.error->description();
  EXPECT_EQ(cloudNames(""), std::set<std::string>{"Projects"});
  EXPECT_EQ(cloudNames("Projects"), std::set<std::string>{"2024 minutes.txt"});

  // A folder with the cloud's children goes in one request, recursive.
  auto projects = child(root, "Projects");
  ASSERT_TRUE(projects);
  EXPECT_TRUE(remove(projects, false).has_value());
  received();
  EXPECT_FALSE(remove(projects, true)) << "recursive deletion refused";
  EXPECT_EQ(cloudNames(""), std::set<std::string>{});
  std::size_t deletions = 0;
  for (const auto& request : received()) deletions += request.method == "DELETE";
  EXPECT_EQ(deletions, 1u);
  EXPECT_TRUE(children(root).empty());
}

TEST_F(ProviderNamespaceTest, AFolderWithChildrenOnlyOnTheCloudIsNotDeletedAsEmpty) {
  const auto root = fp::ItemIdentifier::rootContainer();
  auto archive = createFolder(root, "Archive");
  ASSERT_FALSE(archive.error) << archive.error->description();
  // Someone else adds a file the drive has never listed.
  uploadFile(path("Archive/kept.txt"), "kept", folderAt(path("Archive")));

  auto refused = remove(archive.item, false);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->is(fp::FileProviderErrorCode::directoryNotEmpty)) << refused->description();
  EXPECT_EQ(cloudNames("Archive"), std::set<std::string>{"kept.txt"});
  // The listing before the check brought the file in.
  EXPECT_EQ(children(archive.item->itemIdentifier()).size(), 1u);

  // Renaming onto a name that breaks the cloud's rules is refused before sending.
  received();
  auto invalid = move(archive.item, std::nullopt, "bad:name");
  EXPECT_TRUE(invalid.error);
  for (const auto& request : received()) EXPECT_NE(request.method, "POST") << request.path;
}

}  // namespace
}  // namespace tarnix::testing
