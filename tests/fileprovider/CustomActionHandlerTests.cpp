// Context-menu actions: each identifier reaches its service with the part of the selection it
// accepts, unknown identifiers and actions without meaning here fail with clear texts, and the
// record handed to the desktop application survives JSON.
#include <gtest/gtest.h>

#include <future>

#include "fileprovider/actions/CustomActionHandler.hpp"
#include "support/CapturingLogSink.hpp"

namespace tarnix::fileprovider {
namespace {

namespace fp = platform::fileprovider;
using common::SyncFileIdentifier;
using common::SyncFolderIdentifier;
using common::SyncItemIdentifier;

const std::string kActions = "com.tarnix.DesktopApp.FileProviderActions";

class RecordingFinderSupport final : public FinderSupportService {
 public:
  void executeAction(const std::string& json,
                     std::function<void(std::optional<fp::Error>)> reply) override {
    received.push_back(json);
    reply(std::nullopt);
  }
  std::vector<std::string> received;
};

class CustomActionHandlerTest : public ::testing::Test {
 protected:
  CustomActionHandlerTest() {
    services_.syncItemIdentifier = [](const fp::ItemIdentifier& identifier) {
      return SyncItemIdentifier::fromPrefixed(identifier.rawValue());
    };
    services_.lock = [this](const auto& files, auto completion) {
      lockedFiles_.push_back(files);
      completion(std::nullopt);
    };
    services_.forceRefresh = [this](const auto& folders, auto completion) {
      refreshed_.push_back(folders);
      completion(std::nullopt);
    };
    common::Drive drive;
    drive.identifier = "11111111-2222-4333-8444-555555555555";
    contextMenu_ = std::make_shared<ContextMenuActionsHandler>(drive, nullptr, log_.first);
  }

  std::optional<fp::Error> perform(const std::string& identifier,
                                   const std::vector<std::string>& items) {
    auto handler = std::make_shared<CustomActionHandler>(services_, contextMenu_, log_.first);
    std::vector<fp::ItemIdentifier> identifiers;
    for (const auto& item : items) identifiers.emplace_back(item);
    std::promise<std::optional<fp::Error>> done;
    handler->performAction(identifier, identifiers, [&](auto error) { done.set_value(error); });
    auto future = done.get_future();
    if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready) std::abort();
    return future.get();
  }
  std::size_t logged(const std::string& message) const {
    return log_.second->entries(message).size();
  }

  std::pair<base::Logger, std::shared_ptr<testing::CapturingLogSink>> log_ =
      testing::CapturingLogSink::makeLogger();
  CustomActionHandler::Services services_;
  std::shared_ptr<ContextMenuActionsHandler> contextMenu_;
  std::vector<std::vector<SyncFileIdentifier>> lockedFiles_;
  std::vector<std::vector<SyncFolderIdentifier>> refreshed_;
};

TEST_F(CustomActionHandlerTest, EachActionGetsThePartOfTheSelectionItAccepts) {
  auto error = perform(kActions + ".Lock", {"file/a", "folder/f", "file/b", "junk"});
  EXPECT_FALSE(error);
  ASSERT_EQ(lockedFiles_.size(), 1u);
  EXPECT_EQ(lockedFiles_[0], (std::vector<SyncFileIdentifier>{{"a"}, {"b"}}));
  EXPECT_EQ(logged("Expected file identifier but got a different one in Lock"), 1u);
  EXPECT_EQ(logged("Unknown itemIdentifier given by system in Lock"), 1u);
  EXPECT_EQ(logged("Performing action"), 1u);

  EXPECT_FALSE(perform(kActions + ".Debug.ForceRefresh", {"folder/f", "file/a"}));
  ASSERT_EQ(refreshed_.size(), 1u);
  EXPECT_EQ(refreshed_[0], (std::vector<SyncFolderIdentifier>{{"f"}}));
  EXPECT_EQ(logged("Expected folder identifier but got a different one in ForceRefresh"), 1u);
}

TEST_F(CustomActionHandlerTest, UnknownAndUnavailableActionsSaySo) {
  struct Case {
    std::string identifier;
    std::string description;
  };
  const std::vector<Case> cases = {
      {kActions + ".Fly", "Invalid action requested by system."},
      {kActions, "Invalid action requested by system."},
      {"com.other.App.FileProviderActions.Lock", "Invalid action requested by system."},
      {kActions + ".CopyLink", "copyLink is not available on Linux."},
      {kActions + ".ViewOnline", "viewOnline is not available on Linux."},
      {kActions + ".Unlock", "Unlock is not available on Linux."},
      {kActions + ".Subscribe", "Keeping folders offline is not available in this version."},
      {kActions + ".Debug.Crawl", "Crawl is not available on Linux."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.identifier);
    auto error = perform(c.identifier, {"file/a", "folder/f"});
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "com.tarnix.UserActionError");
    EXPECT_EQ(error->localizedDescription(), c.description);
    EXPECT_TRUE(error->localizedRecoverySuggestion());
  }
  EXPECT_EQ(logged("Unknown action identifier"), 3u);
}

TEST_F(CustomActionHandlerTest, ForwardedActionsReachTheDesktopApplicationAsOneRecord) {
  auto finder = std::make_shared<RecordingFinderSupport>();
  contextMenu_->setFinderSupportService(finder);
  EXPECT_FALSE(perform(kActions + ".CopyLink", {"file/a", "folder/f", "junk"}));
  ASSERT_EQ(finder->received.size(), 1u);
  auto json = base::parseJSON(finder->received[0]).value();
  EXPECT_EQ(json["driveIdentifier"], "11111111-2222-4333-8444-555555555555");
  EXPECT_EQ(json["type"], "copyLink");
  ASSERT_EQ(json["selection"].size(), 2u);
  EXPECT_EQ(json["selection"][0]["fileProvider"]["itemIdentifier"], "file/a");
  EXPECT_EQ(json["selection"][1]["fileProvider"]["itemIdentifier"], "folder/f");
}

TEST(ContextMenuActionTest, RoundTripsThroughJSONWithEveryItemKind) {
  ContextMenuAction action;
  action.driveIdentifier = "d";
  action.type = ActionType::duplicate;
  action.selection = {
      ContextMenuAction::FileProviderItem{SyncItemIdentifier(SyncFileIdentifier{"x"})},
      ContextMenuAction::ConnectedFolderItem{"file:///home/u/Work"},
      ContextMenuAction::NbdaItem{"file:///mnt/cache/a.txt"}};
  auto decoded = ContextMenuAction::decode(action.json());
  ASSERT_TRUE(decoded) << decoded.error();
  EXPECT_EQ(*decoded, action);
  EXPECT_EQ(action.json()["selection"][2]["nbda"]["localUrl"], "file:///mnt/cache/a.txt");

  for (const auto* bad : {R"({"nbda": {"localUrl": "a"}, "fileProvider": {}})", R"({})"}) {
    auto json = action.json();
    json["selection"] = base::JSONValue::array({base::parseJSON(bad).value()});
    auto refused = ContextMenuAction::decode(json);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Invalid number of keys found, expected one.");
  }
  auto unknownType = action.json();
  unknownType["type"] = "teleport";
  EXPECT_FALSE(ContextMenuAction::decode(unknownType));
}

}  // namespace
}  // namespace tarnix::fileprovider
