#include <gtest/gtest.h>

#include "common/Feature.hpp"
#include "fileprovider/items/FileProviderItem.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
namespace fp = tarnix::platform::fileprovider;

namespace {

constexpr std::int64_t kMe = 42;
constexpr std::int64_t kSomeoneElse = 7;

SyncItem makeItem(bool folder, SyncItemPermission permission) {
  SyncItem item;
  if (folder) {
    item.itemIdentifier = SyncFolderIdentifier{"f1"};
  } else {
    item.itemIdentifier = SyncFileIdentifier{"a1"};
  }
  item.parentItemIdentifier = SyncFolderIdentifier{"root"};
  item.filename = "Report.docx";
  item.permission = permission;
  return item;
}

CloudLockInfo lockBy(std::int64_t user, bool collaboration = false) {
  CloudLockInfo lock;
  lock.identifier = user;
  lock.firstName = "Grace";
  lock.lastName = "Hopper";
  if (collaboration) lock.collaborationToken = "token";
  return lock;
}

std::shared_ptr<FeatureList> features(std::map<std::string, FeatureOverrideState> overrides) {
  auto list = std::make_shared<FeatureList>();
  list->initialize(std::move(overrides));
  return list;
}

FileProviderItem wrap(SyncItem item, std::shared_ptr<const FeatureList> featureList = nullptr,
                      fp::ItemIdentifier identifier = fp::ItemIdentifier("file/a1")) {
  return FileProviderItem(std::move(item), std::move(identifier),
                          fp::ItemIdentifier::rootContainer(), nullptr, kMe, std::nullopt,
                          featureList ? featureList : features({}));
}

struct CapabilityCase {
  const char* name;
  bool folder;
  SyncItemPermission permission;
  bool fixedFolder;
  std::optional<CloudLockInfo> lock;
  SyncItemRealm realm;
  std::uint32_t expected;
};

}  // namespace

TEST(FileProviderItemCapabilities, FollowPermissionFixedFoldersLocksAndRealm) {
  using P = SyncItemPermission;
  const auto online = SyncItemRealm::online;
  const CapabilityCase cases[] = {
      {"owner file", false, P::owner, false, std::nullopt, online, 111},
      {"full file", false, P::full, false, std::nullopt, online, 111},
      {"editor file: no move or delete", false, P::editor, false, std::nullopt, online, 75},
      {"viewer file: read and evict", false, P::viewer, false, std::nullopt, online, 65},
      {"nav file: not even reading", false, P::nav, false, std::nullopt, online, 64},
      {"nav folder keeps reading", true, P::nav, false, std::nullopt, online, 65},
      {"none folder loses reading", true, P::none, false, std::nullopt, online, 64},
      {"fixed folder with full", true, P::full, true, std::nullopt, online, 67},
      {"fixed folder with owner", true, P::owner, true, std::nullopt, online, 111},
      {"file locked by another user", false, P::full, false, lockBy(kSomeoneElse), online, 109},
      {"file locked by me", false, P::full, false, lockBy(kMe), online, 111},
      {"collaboration lock by me", false, P::owner, false, lockBy(kMe, true), online, 67},
      {"offline viewer may edit", false, P::viewer, false, std::nullopt, SyncItemRealm::offline,
       67},
      {"offline nav may write but not read", false, P::nav, false, std::nullopt,
       SyncItemRealm::offline, 66},
  };
  for (const auto& c : cases) {
    auto item = makeItem(c.folder, c.permission);
    if (c.fixedFolder) item.flags = SyncItemFlags::isFixedFolder;
    item.lockInfo = c.lock;
    item.itemRealm = c.realm;
    EXPECT_EQ(fp::rawValue(itemCapabilities(item, kMe)), c.expected) << c.name;
    EXPECT_FALSE(fp::contains(itemCapabilities(item, kMe), fp::ItemCapabilities::allowsTrashing))
        << c.name;
  }
}

TEST(FileProviderItem, PropertiesOfFilesAndFolders) {
  auto file = makeItem(false, SyncItemPermission::editor);
  file.contentSize = 1234;
  file.contentVersion = CloudEntryIdentifier{"entry-9"};
  file.metadataVersion = 5;
  file.typeAndCreator = 0x1111111122222222ULL;
  file.tagData = Bytes{1, 2, 3};
  const auto item = wrap(file);
  EXPECT_EQ(item.contentType(), fp::kContentTypeItem);
  EXPECT_EQ(item.documentSize(), 1234);
  EXPECT_EQ(item.itemVersion(), (fp::ItemVersion{"entry-9", "5"}));
  EXPECT_EQ(item.tagData(), fp::Data("\x01\x02\x03"));
  // Halves swapped: the stored high half becomes the type.
  ASSERT_TRUE(item.typeAndCreator());
  EXPECT_EQ(item.typeAndCreator()->type, 0x11111111u);
  EXPECT_EQ(item.typeAndCreator()->creator, 0x22222222u);
  EXPECT_EQ(item.contentPolicy(), fp::ContentPolicy::inherited);

  const auto folder =
      wrap(makeItem(true, SyncItemPermission::owner), nullptr, fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(folder.contentType(), fp::kContentTypeFolder);
  EXPECT_EQ(folder.documentSize(), std::nullopt);
  EXPECT_EQ(folder.contentPolicy(), fp::ContentPolicy::downloadLazily);
  EXPECT_EQ(folder.typeAndCreator(), std::nullopt);
}

TEST(FileProviderItem, SubscribedItemsDownloadEagerlyOnlyWithTheFeature) {
  auto item = makeItem(false, SyncItemPermission::editor);
  item.subscriptionState = OfflineFolderState::subscribed;
  EXPECT_EQ(wrap(item).contentPolicy(), fp::ContentPolicy::downloadEagerlyAndKeepDownloaded);
  auto off =
      features({{Feature::materializeSyncedItems.name(), FeatureOverrideState::disableFeature}});
  EXPECT_EQ(wrap(item, off).contentPolicy(), fp::ContentPolicy::inherited);
}

TEST(FileProviderItem, UserInfoCarriesLockPermissionRealmAndState) {
  auto item = makeItem(false, SyncItemPermission::full);
  item.lockInfo = lockBy(kSomeoneElse, true);
  item.itemRealm = SyncItemRealm::offline;
  item.subscriptionState = OfflineFolderState::stamping;
  const auto info = wrap(item).userInfo();
  EXPECT_EQ(info["lockOwner"], "Grace Hopper");
  EXPECT_EQ(info["currentUserOwnsLock"], false);
  EXPECT_EQ(info["isCollaborationLock"], true);
  EXPECT_EQ(info["tarnixPermission"], "full");
  EXPECT_EQ(info["realm"], "offline");
  EXPECT_EQ(info["subscriptionState"], "stamping");
  EXPECT_EQ(info["isShortcut"], false);
  EXPECT_FALSE(info.contains("specialItemKind"));

  const auto plain = wrap(makeItem(false, SyncItemPermission::viewer)).userInfo();
  EXPECT_FALSE(plain.contains("lockOwner"));
  EXPECT_FALSE(plain.contains("subscriptionState"));
  EXPECT_EQ(plain["realm"], "online");

  const FileProviderItem root(makeItem(true, SyncItemPermission::owner),
                              fp::ItemIdentifier::rootContainer(),
                              fp::ItemIdentifier::rootContainer(), nullptr, kMe,
                              SpecialItemKind::privateFolder, features({}));
  EXPECT_EQ(root.userInfo()["specialItemKind"], "private");
}

TEST(FileProviderItem, AnUnknownHolderOrAnUnknownUserNeverOwnsTheLock) {
  const std::string bundle(kExtensionBundleIdentifier);
  constexpr auto kUnknown = CloudLockInfo::kUnknownUser;
  struct Case {
    const char* name;
    std::int64_t holder;
    std::int64_t currentUser;
    bool owns;
  };
  const Case cases[] = {
      {"holder not named yet, user not known", kUnknown, kUnknown, false},
      {"holder not named yet, user known", kUnknown, kMe, false},
      {"holder named, user not known", kSomeoneElse, kUnknown, false},
      {"somebody else's", kSomeoneElse, kMe, false},
      {"the user's own", kMe, kMe, true},
  };
  for (const auto& c : cases) {
    auto syncItem = makeItem(false, SyncItemPermission::full);
    syncItem.lockInfo = lockBy(c.holder);
    const FileProviderItem item(syncItem, fp::ItemIdentifier("file/a1"),
                                fp::ItemIdentifier::rootContainer(), nullptr, c.currentUser,
                                std::nullopt, features({}));
    EXPECT_EQ(item.userInfo()["currentUserOwnsLock"], c.owns) << c.name;
    EXPECT_EQ(fp::contains(item.capabilities(), fp::ItemCapabilities::allowsWriting), c.owns)
        << c.name;
    EXPECT_EQ(item.decorations(),
              std::vector<std::string>{bundle + (c.owns ? ".isSelfLocked" : ".isLocked")})
        << c.name;
  }
}

TEST(FileProviderItem, DecorationsFollowTheirFeatureGates) {
  const std::string bundle(kExtensionBundleIdentifier);
  using S = FeatureOverrideState;
  struct Case {
    const char* name;
    std::optional<CloudLockInfo> lock;
    std::map<std::string, S> overrides;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"someone else's lock", lockBy(kSomeoneElse), {}, {bundle + ".isLocked"}},
      {"my lock", lockBy(kMe), {}, {bundle + ".isSelfLocked"}},
      {"collaboration", lockBy(kSomeoneElse, true), {}, {bundle + ".isUnderCoediting"}},
      {"collaboration without cspp+",
       lockBy(kSomeoneElse, true),
       {{Feature::csppPlus.name(), S::disableFeature}},
       {}},
      {"locking features off",
       lockBy(kSomeoneElse),
       {{Feature::manualLocking.name(), S::disableFeature},
        {Feature::automaticLocking.name(), S::disableFeature}},
       {}},
      {"no lock", std::nullopt, {}, {}},
  };
  for (const auto& c : cases) {
    auto item = makeItem(false, SyncItemPermission::editor);
    item.lockInfo = c.lock;
    EXPECT_EQ(wrap(item, features(c.overrides)).decorations(), c.expected) << c.name;
  }

  auto project = makeItem(true, SyncItemPermission::editor);
  project.isProjectFolder = true;
  project.isDocumentRoom = true;
  EXPECT_EQ(
      wrap(project, features({{Feature::visualIndicatorsForSpecialFolders.name(), S::enableFeature},
                              {Feature::documentRoom.name(), S::enableFeature}}))
          .decorations(),
      (std::vector<std::string>{bundle + ".projectFolderV1", bundle + ".documentRoom"}));
  EXPECT_EQ(wrap(project,
                 features({{Feature::visualIndicatorsForSpecialFolders.name(), S::disableFeature},
                           {Feature::documentRoom.name(), S::disableFeature}}))
                .decorations(),
            std::vector<std::string>{});

  auto offline = makeItem(true, SyncItemPermission::editor);
  offline.subscriptionState = OfflineFolderState::creating;
  EXPECT_TRUE(wrap(offline).decorations().empty()) << "online items have no sync decoration";
  offline.itemRealm = SyncItemRealm::offline;
  EXPECT_EQ(wrap(offline).decorations(), std::vector<std::string>{bundle + ".syncProgress"});
  offline.subscriptionState = OfflineFolderState::subscribed;
  EXPECT_EQ(wrap(offline).decorations(), std::vector<std::string>{bundle + ".syncDone"});
}
