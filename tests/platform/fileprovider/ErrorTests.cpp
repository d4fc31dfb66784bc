#include "platform/fileprovider/Error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace tarnix::platform::fileprovider;
using tarnix::base::LoggerMetadata;
using tarnix::base::LoggerMetadataValue;

namespace {

ItemPtr itemNamed(const std::string& identifier) {
  ItemProperties properties;
  properties.itemIdentifier = ItemIdentifier(identifier);
  properties.parentItemIdentifier = ItemIdentifier::rootContainer();
  properties.filename = "report.txt";
  return ItemSnapshot::make(properties);
}

TEST(ErrorTest, CodesHaveTheFrameworkValues) {
  struct Row {
    Error error;
    std::string_view domain;
    std::int64_t code;
  };
  const Row rows[] = {
      {Error(FileProviderErrorCode::notAuthenticated), kFileProviderErrorDomain, -1000},
      {Error(FileProviderErrorCode::filenameCollision), kFileProviderErrorDomain, -1001},
      {Error(FileProviderErrorCode::syncAnchorExpired), kFileProviderErrorDomain, -1002},
      {Error(FileProviderErrorCode::pageExpired), kFileProviderErrorDomain, -1002},
      {Error(FileProviderErrorCode::insufficientQuota), kFileProviderErrorDomain, -1003},
      {Error(FileProviderErrorCode::serverUnreachable), kFileProviderErrorDomain, -1004},
      {Error(FileProviderErrorCode::noSuchItem), kFileProviderErrorDomain, -1005},
      {Error(FileProviderErrorCode::deletionRejected), kFileProviderErrorDomain, -1006},
      {Error(FileProviderErrorCode::directoryNotEmpty), kFileProviderErrorDomain, -1007},
      {Error(FileProviderErrorCode::cannotSynchronize), kFileProviderErrorDomain, -2005},
      {Error(CocoaErrorCode::fileReadNoPermission), kCocoaErrorDomain, 257},
      {Error(CocoaErrorCode::userCancelled), kCocoaErrorDomain, 3072},
      {Error(CocoaErrorCode::xpcConnectionReplyInvalid), kCocoaErrorDomain, 4101},
      {Error::unsupportedFeature(), kCocoaErrorDomain, 3328},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error.description());
    EXPECT_EQ(row.error.domain(), row.domain);
    EXPECT_EQ(row.error.code(), row.code);
    EXPECT_TRUE(row.error.is(row.domain, row.code));
    EXPECT_EQ(row.error.isFileProviderError(), row.domain == kFileProviderErrorDomain);
  }
  EXPECT_FALSE(Error(CocoaErrorCode::userCancelled).is(FileProviderErrorCode::notAuthenticated));
  EXPECT_FALSE(Error("OtherDomain", -1005).is(FileProviderErrorCode::noSuchItem));
}

TEST(ErrorTest, ItemConstructorsCarryWhatTheyAreAbout) {
  auto missing = Error::forNonExistentItem(ItemIdentifier("file/42"));
  EXPECT_TRUE(missing.is(FileProviderErrorCode::noSuchItem));
  EXPECT_EQ(missing.stringValue(Error::kNonExistentItemIdentifierKey), "file/42");

  auto item = itemNamed("file/7");
  auto rejected = Error::forRejectedDeletion(item);
  EXPECT_TRUE(rejected.is(FileProviderErrorCode::deletionRejected));
  EXPECT_EQ(rejected.itemValue(Error::kItemKey), item);
  EXPECT_EQ(rejected.itemValue(Error::kCollidingItemKey), nullptr);

  auto collision = Error::forCollision(item);
  EXPECT_TRUE(collision.is(FileProviderErrorCode::filenameCollision));
  EXPECT_EQ(collision.itemValue(Error::kCollidingItemKey), item);
  // The key holds an item, not text.
  EXPECT_EQ(collision.stringValue(Error::kCollidingItemKey), std::nullopt);
}

TEST(ErrorTest, LocalizedDescriptionPrefersUserInfoThenReasonThenCode) {
  struct Row {
    Error error;
    std::string expected;
  };
  const Row rows[] = {
      {Error("D", 1,
             {{std::string(Error::kLocalizedDescriptionKey), "Given text."},
              {std::string(Error::kLocalizedFailureReasonKey), "Ignored."}}),
       "Given text."},
      {Error("D", 1, {{std::string(Error::kLocalizedFailureReasonKey), "Disk is full."}}),
       "The operation could not be completed. Disk is full."},
      {Error(FileProviderErrorCode::noSuchItem), "The item does not exist."},
      {Error(CocoaErrorCode::userCancelled), "The operation was cancelled."},
      {Error("Tarnix.SyncError", 12),
       "The operation could not be completed. (Tarnix.SyncError error 12.)"},
      {Error(FileProviderErrorCode::providerNotFound),
       "The operation could not be completed. (NSFileProviderErrorDomain error -2001.)"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.error.localizedDescription(), row.expected);
}

TEST(ErrorTest, SystemErrorsKeepErrnoAndMessage) {
  auto error = Error::fromErrorCode(std::make_error_code(std::errc::no_space_on_device));
  EXPECT_TRUE(error.is("NSPOSIXErrorDomain", ENOSPC));
  EXPECT_EQ(error.localizedDescription(), std::generic_category().message(ENOSPC));
}

TEST(ErrorTest, WrappingKeepsUnderlyingDescriptionAndSuggestion) {
  Error sync("Tarnix.SyncError", 3,
             {{std::string(Error::kLocalizedDescriptionKey), "Sign in again."},
              {std::string(Error::kLocalizedRecoverySuggestionKey), "Open Tarnix."}});
  auto wrapped = Error::wrapping(sync);
  EXPECT_TRUE(wrapped.is(CocoaErrorCode::xpcConnectionReplyInvalid));
  ASSERT_NE(wrapped.underlyingError(), nullptr);
  EXPECT_EQ(*wrapped.underlyingError(), sync);
  EXPECT_EQ(wrapped.localizedDescription(), "Sign in again.");
  EXPECT_EQ(wrapped.localizedRecoverySuggestion(), "Open Tarnix.");

  auto plain = Error::wrapping(Error("Tarnix.SyncError", 4));
  EXPECT_EQ(plain.localizedDescription(),
            "The operation could not be completed. (Tarnix.SyncError error 4.)");
  EXPECT_FALSE(plain.userInfo().contains(Error::kLocalizedRecoverySuggestionKey));
  EXPECT_EQ(plain.description(),
            "Error Domain=NSCocoaErrorDomain Code=4101 \"The operation could not be completed. "
            "(Tarnix.SyncError error 4.)\" Underlying=(Error Domain=Tarnix.SyncError Code=4 "
            "\"The operation could not be completed. (Tarnix.SyncError error 4.)\")");
}

TEST(ErrorTest, RendersForLogsWithUnderlyingAndItemsAsIdentifiers) {
  Error inner("Tarnix.SyncError", 3, {{"path", "/a"}});
  Error outer(CocoaErrorCode::xpcConnectionReplyInvalid,
              {{std::string(Error::kUnderlyingErrorKey), std::make_shared<const Error>(inner)},
               {std::string(Error::kLocalizedDescriptionKey), "Failed."},
               {std::string(Error::kCollidingItemKey), itemNamed("folder/9")},
               {"retry", true},
               {"attempt", std::int64_t{2}}});

  LoggerMetadata innerDictionary{
      {"domain", "Tarnix.SyncError"}, {"code", 3}, {"userInfo", LoggerMetadata{{"path", "/a"}}}};
  LoggerMetadata outerDictionary{
      {"domain", "NSCocoaErrorDomain"},
      {"code", 4101},
      {"underlying", LoggerMetadataValue(innerDictionary)},
      {"userInfo",
       LoggerMetadata{
           {"NSFileProviderErrorCollidingItem", "folder/9"}, {"attempt", 2}, {"retry", true}}}};
  EXPECT_EQ(loggerMetadataValue(outer),
            (LoggerMetadataValue{"Failed.", LoggerMetadataValue(outerDictionary)}));
  // Without a description the value is the dictionary alone.
  EXPECT_EQ(loggerMetadataValue(inner), LoggerMetadataValue(innerDictionary));
}

}  // namespace
