#include <gtest/gtest.h>

#include "common/Feature.hpp"
#include "fileprovider/items/FileProviderConverter.hpp"

using namespace tarnix::common;
using namespace tarnix::fileprovider;
namespace fp = tarnix::platform::fileprovider;

namespace {

const SyncFolderIdentifier kRoot{"root-uuid"};

struct CountingMonitor final : ReachabilityRechecking {
  int rechecks = 0;
  void recheckReachability() override { ++rechecks; }
};

Drive makeDrive(std::string cloudStartPath) {
  Drive drive;
  drive.identifier = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
  drive.userIdentifier = 42;
  drive.cloudStartPath = std::move(cloudStartPath);
  return drive;
}

FileProviderConverter makeConverter(std::shared_ptr<CountingMonitor> monitor = nullptr,
                                    bool networkMonitorOn = true, std::string startPath = "/") {
  auto features = std::make_shared<FeatureList>();
  features->initialize(std::map<std::string, FeatureOverrideState>{
      {Feature::networkMonitor.name(), networkMonitorOn ? FeatureOverrideState::enableFeature
                                                        : FeatureOverrideState::disableFeature}});
  return FileProviderConverter(makeDrive(std::move(startPath)), nullptr, nullptr, kRoot, features,
                               std::move(monitor), nullptr);
}

SyncItem folderNamed(std::string raw, std::string name, SyncFolderIdentifier parent) {
  SyncItem item;
  item.itemIdentifier = SyncFolderIdentifier{std::move(raw)};
  item.parentItemIdentifier = std::move(parent);
  item.filename = std::move(name);
  item.permission = SyncItemPermission::owner;
  return item;
}

}  // namespace

TEST(FileProviderConverter, RootContainerMapsToTheDrivesRootFolderAndBack) {
  const auto converter = makeConverter();
  EXPECT_EQ(converter.syncItemIdentifier(fp::ItemIdentifier::rootContainer()),
            SyncItemIdentifier(kRoot));
  EXPECT_EQ(converter.itemIdentifier(kRoot), fp::ItemIdentifier::rootContainer());
  // The prefixed text of the root folder is still that folder, but it is presented as the root.
  EXPECT_EQ(converter.syncItemIdentifier(fp::ItemIdentifier("folder/root-uuid")),
            SyncItemIdentifier(kRoot));
  EXPECT_EQ(converter.itemIdentifier(SyncFileIdentifier{"x"}), fp::ItemIdentifier("file/x"));
  for (const auto* text : {"NSFileProviderWorkingSetContainerItemIdentifier",
                           "NSFileProviderTrashContainerItemIdentifier", "Folder/x", "x", ""}) {
    EXPECT_EQ(converter.syncItemIdentifier(fp::ItemIdentifier(text)), std::nullopt) << text;
  }

  auto child = folderNamed("c1", "Docs", kRoot);
  const auto item = converter.item(child);
  EXPECT_EQ(item->itemIdentifier(), fp::ItemIdentifier("folder/c1"));
  EXPECT_EQ(item->parentItemIdentifier(), fp::ItemIdentifier::rootContainer());
  const auto root = converter.item(folderNamed("root-uuid", "Team", SyncFolderIdentifier::zero()));
  EXPECT_EQ(root->itemIdentifier(), fp::ItemIdentifier::rootContainer());
  EXPECT_EQ(root->specialItemKind(), SpecialItemKind::root);
}

TEST(FileProviderConverter, TopLevelFoldersOfTheCloudRootHaveSpecialKinds) {
  const auto atRoot = makeConverter(nullptr, true, "/");
  EXPECT_EQ(atRoot.specialItemKind(folderNamed("p", "Private", kRoot)),
            SpecialItemKind::privateFolder);
  EXPECT_EQ(atRoot.specialItemKind(folderNamed("s", "shared", kRoot)), SpecialItemKind::shared);
  EXPECT_EQ(atRoot.specialItemKind(folderNamed("o", "Other", kRoot)), std::nullopt);
  const auto inTeam = makeConverter(nullptr, true, "/Shared/Team");
  EXPECT_EQ(inTeam.specialItemKind(folderNamed("p", "Private", kRoot)), std::nullopt);
  const auto inPrivate = makeConverter(nullptr, true, "/Private/");
  EXPECT_EQ(inPrivate.specialItemKind(folderNamed("d", "Drafts", kRoot)), SpecialItemKind::draft);
}

TEST(FileProviderConverter, ErrorConversionTable) {
  using Code = SyncError::Code;
  auto monitor = std::make_shared<CountingMonitor>();
  const auto converter = makeConverter(monitor);
  struct Case {
    SyncError error;
    std::string domain;
    std::int64_t code;
  };
  const std::string fpDomain(fp::kFileProviderErrorDomain);
  const std::string cocoa(fp::kCocoaErrorDomain);
  const Case cases[] = {
      {SyncError::noSuchItem(SyncFileIdentifier{"gone"}), fpDomain, -1005},
      {SyncError::deletionRejected(folderNamed("c1", "Docs", kRoot)), fpDomain, -1006},
      {SyncError::filenameCollision(folderNamed("c1", "Docs", kRoot)), fpDomain, -1001},
      {SyncError(Code::noCloudIdentifier), fpDomain, -2005},
      {SyncError(Code::pageMarkerExpired), fpDomain, -1002},
      {SyncError(Code::directoryNotEmpty), fpDomain, -1007},
      {SyncError(Code::serverUnreachable), fpDomain, -1004},
      {SyncError(Code::authenticationRequired), cocoa, 4101},
      {SyncError(Code::permissionDenied), cocoa, 4101},
      {SyncError::uploadRejected(UploadRejectionReason::filenameTooLong), cocoa, 4101},
      {SyncError(Code::throttledByServer), cocoa, 4101},
  };
  for (const auto& c : cases) {
    const auto converted = converter.convert(c.error);
    EXPECT_EQ(converted.domain(), c.domain) << c.error.description();
    EXPECT_EQ(converted.code(), c.code) << c.error.description();
    if (c.code == 4101) {
      // The sync error travels as the underlying error, with its text as the description.
      ASSERT_TRUE(converted.underlyingError()) << c.error.description();
      EXPECT_EQ(converted.underlyingError()->domain(), kSyncErrorDomain);
      EXPECT_EQ(converted.underlyingError()->code(), static_cast<std::int64_t>(c.error.code()));
      EXPECT_EQ(converted.localizedDescription(), c.error.description());
    }
  }
  EXPECT_EQ(monitor->rechecks, 1) << "an unreachable server makes the monitor check again";

  const auto missing = converter.convert(SyncError::noSuchItem(SyncFileIdentifier{"gone"}));
  EXPECT_EQ(missing.stringValue(fp::Error::kNonExistentItemIdentifierKey), "file/gone");
  const auto collision =
      converter.convert(SyncError::filenameCollision(folderNamed("c1", "Docs", kRoot)));
  ASSERT_TRUE(collision.itemValue(fp::Error::kCollidingItemKey));
  EXPECT_EQ(collision.itemValue(fp::Error::kCollidingItemKey)->filename(), "Docs");

  const auto withoutMonitor = makeConverter(monitor, false);
  EXPECT_EQ(withoutMonitor.convert(SyncError(Code::serverUnreachable)).code(), 4101);
  EXPECT_EQ(monitor->rechecks, 1);
}

TEST(FileProviderConverter, FrameworkAndSomeCocoaErrorsPassUnchanged) {
  const auto converter = makeConverter();
  struct Case {
    fp::Error error;
    bool passes;
  };
  const Case cases[] = {
      {fp::Error(fp::FileProviderErrorCode::serverUnreachable), true},
      {fp::Error(fp::FileProviderErrorCode::cannotSynchronize), true},
      {fp::Error(fp::CocoaErrorCode::userCancelled), true},
      {fp::Error(fp::CocoaErrorCode::fileReadNoPermission), true},
      {fp::Error(fp::CocoaErrorCode::featureUnsupported), false},
      {fp::Error::fromErrorCode(std::make_error_code(std::errc::no_space_on_device)), false},
      {fp::Error(fp::CocoaErrorCode::xpcConnectionReplyInvalid), false},
  };
  for (const auto& c : cases) {
    const auto converted = converter.convert(c.error);
    if (c.passes) {
      EXPECT_EQ(converted, c.error) << c.error.description();
    } else {
      EXPECT_TRUE(converted.is(fp::CocoaErrorCode::xpcConnectionReplyInvalid))
          << c.error.description();
      ASSERT_TRUE(converted.underlyingError());
      EXPECT_EQ(*converted.underlyingError(), c.error);
    }
  }
  const auto expired = converter.convert(ItemStoreError{SyncAnchorExpired{{3}, 10}});
  EXPECT_TRUE(expired.is(fp::FileProviderErrorCode::syncAnchorExpired));
  const auto database = converter.convert(ItemStoreError{
      DatabaseError{DatabaseError::Kind::corrupt, 11, "file is not a database", "/x.db"}});
  EXPECT_TRUE(database.is(fp::CocoaErrorCode::xpcConnectionReplyInvalid));
}
