#pragma once
// Plays the framework for tests: a shared container in a temporary folder with one account and
// one drive in its main database, the process globals over it, and a domain started for the
// drive through FileProviderWrapper. It looks items up, enumerates containers page by page and
// follows change enumeration from anchors, the way the system does.

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../platform/PlatformTestSupport.hpp"
#include "../platform/fileprovider/FakeManager.hpp"
#include "common/AccountKeychainStorage.hpp"
#include "common/DesktopAppGroup.hpp"
#include "common/DriveDatabase.hpp"
#include "common/Feature.hpp"
#include "common/FeatureList.hpp"
#include "common/MainDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/FileProviderGlobals.hpp"
#include "fileprovider/FileProviderWrapper.hpp"
#include "support/TempDir.hpp"

namespace tarnix::testing {

namespace fp = platform::fileprovider;

inline constexpr const char* kHostAccount = "0f8fad5b-d9cb-469f-a165-70867728950e";
inline constexpr const char* kHostDrive = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
inline constexpr std::int64_t kHostUser = 42;
inline constexpr auto kAnswerTimeout = std::chrono::seconds(20);

/// Collects one enumerateItems answer.
class PageObserver final : public fp::EnumerationObserver {
 public:
  explicit PageObserver(std::optional<std::int64_t> suggested = std::nullopt)
      : suggested_(suggested) {}
  void didEnumerateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    items_.insert(items_.end(), items.begin(), items.end());
  }
  void finishEnumeratingUpToPage(std::optional<fp::Page> nextPage) override {
    done_.set_value({std::move(nextPage), std::nullopt});
  }
  void finishEnumeratingWithError(fp::Error error) override {
    done_.set_value({std::nullopt, std::move(error)});
  }
  std::optional<std::int64_t> suggestedPageSize() const override { return suggested_; }

  struct Outcome {
    std::optional<fp::Page> nextPage;
    std::optional<fp::Error> error;
  };
  /// The finish call (fails the test when none comes in time).
  Outcome wait() {
    auto future = done_.get_future();
    if (future.wait_for(kAnswerTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "the enumerator never finished";
      return {std::nullopt, fp::Error(fp::CocoaErrorCode::userCancelled)};
    }
    return future.get();
  }
  std::vector<fp::ItemPtr> items() const {
    std::lock_guard lock(mutex_);
    return items_;
  }

 private:
  std::optional<std::int64_t> suggested_;
  mutable std::mutex mutex_;
  std::vector<fp::ItemPtr> items_;
  std::promise<Outcome> done_;
};

/// Collects one enumerateChanges answer.
class ChangeObserver final : public fp::ChangeObserver {
 public:
  explicit ChangeObserver(std::optional<std::int64_t> suggested = std::nullopt)
      : suggested_(suggested) {}
  void didUpdateItems(std::vector<fp::ItemPtr> items) override {
    std::lock_guard lock(mutex_);
    updated_.insert(updated_.end(), items.begin(), items.end());
  }
  void didDeleteItemsWithIdentifiers(std::vector<fp::ItemIdentifier> identifiers) override {
    std::lock_guard lock(mutex_);
    deleted_.insert(deleted_.end(), identifiers.begin(), identifiers.end());
  }
  void finishEnumeratingChangesUpToSyncAnchor(fp::SyncAnchor anchor, bool moreComing) override {
    done_.set_value({std::move(anchor), moreComing, std::nullopt});
  }
  void finishEnumeratingWithError(fp::Error error) override {
    done_.set_value({std::nullopt, false, std::move(error)});
  }
  std::optional<std::int64_t> suggestedBatchSize() const override { return suggested_; }

  struct Outcome {
    std::optional<fp::SyncAnchor> anchor;
    bool moreComing = false;
    std::optional<fp::Error> error;
  };
  Outcome wait() {
    auto future = done_.get_future();
    if (future.wait_for(kAnswerTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "the change enumeration never finished";
      return {std::nullopt, false, fp::Error(fp::CocoaErrorCode::userCancelled)};
    }
    return future.get();
  }
  std::vector<fp::ItemPtr> updated() const {
    std::lock_guard lock(mutex_);
    return updated_;
  }
  std::vector<fp::ItemIdentifier> deleted() const {
    std::lock_guard lock(mutex_);
    return deleted_;
  }

 private:
  std::optional<std::int64_t> suggested_;
  mutable std::mutex mutex_;
  std::vector<fp::ItemPtr> updated_;
  std::vector<fp::ItemIdentifier> deleted_;
  std::promise<Outcome> done_;
};

/// Everything a change enumeration from one anchor delivered until nothing more was coming.
struct FollowedChanges {
  std::vector<fp::ItemPtr> updated;
  std::vector<fp::ItemIdentifier> deleted;
  fp::SyncAnchor anchor;
  int batches = 0;
  std::optional<fp::Error> error;
};

/// Everything an enumeration from the initial page delivered, page by page.
struct EnumeratedContainer {
  std::vector<fp::ItemPtr> items;
  std::vector<std::size_t> pageSizes;
  std::optional<fp::Error> error;
};

class FrameworkHost {
 public:
  /// Makes the container with the account and the drive (cloud start path `cloudStartPath`)
  /// on the cloud host `domain`: by default a loopback port where nothing answers, so that
  /// listings the provider starts fail at once and never leave the machine.
  explicit FrameworkHost(std::string cloudStartPath = "/Shared/Team",
                         std::string domain = "127.0.0.1:1")
      : sink_(std::make_shared<RecordingLogSink>()), logger_(recordingLogger(sink_)) {
    std::filesystem::create_directories(dir_.path() / "Tarnix");
    auto database =
        common::MainDatabase::open(dir_.path() / "Tarnix" / "Main.db", base::Logger::null());
    if (!database) {
      ADD_FAILURE() << database.error().message;
      return;
    }
    auto run = [&](const char* sql, const std::vector<common::SQLValue>& values) {
      auto done = (*database)->execute(sql, values);
      if (!done) ADD_FAILURE() << done.error().message;
    };
    run("INSERT INTO Accounts(accountIdentifier, domain, userName, email, workgroupIdentifier, "
        "userIdentifier, cloudConfigurationTimestamp, authenticationTimestamp) "
        "VALUES(?,?,?,?,?,?,?,?)",
        {kHostAccount, domain, "ada", "ada@example.com", "wg-1", kHostUser, "c1",
         "2024-01-01T00:00:00.000Z"});
    run("INSERT INTO Drives(driveIdentifier, accountIdentifier, label, cloudStartPath, "
        "shouldBeConnected, isConnected) VALUES(?,?,?,?,1,1)",
        {kHostDrive, kHostAccount, "Acme", cloudStartPath});
  }

  /// Stores the account's credentials, as the desktop application does at sign-in.
  void storeCredentials(const common::AccountAuthentication& authentication) {
    common::AccountKeychainStorage keychain(
        std::make_shared<platform::KeychainItemStore>(dir_.path() / "Tarnix" / "Credentials"),
        base::Logger::null());
    auto stored =
        keychain.setAuthentication(authentication, "2024-01-01T00:00:00.000Z", kHostAccount);
    if (!stored) ADD_FAILURE() << "storing the credentials failed";
  }

  const std::filesystem::path& containerRoot() const { return dir_.path(); }
  std::filesystem::path driveDirectory() const {
    return dir_.path() / "Tarnix" / "Drives" / kHostDrive;
  }
  RecordingLogSink& logs() { return *sink_; }
  /// The statuses the process was asked to exit with.
  std::vector<int> exits() const {
    std::lock_guard lock(exits_->mutex);
    return exits_->statuses;
  }

  /// The network monitor is off unless a test asks for it before the globals are made: the
  /// default cloud host never answers, and a monitor would report every domain unreachable.
  void enableNetworkMonitor() { networkMonitor_ = true; }
  /// Drives do not follow the cloud's change feed unless a test asks for it before the globals
  /// are made: its listings in the background would race with what tests assert of listings.
  void followCloudChanges() { followCloudChanges_ = true; }
  /// The clock the drives' services measure time by (the system's unless set before the
  /// globals are made).
  void setClock(std::shared_ptr<base::Clock> clock) { clock_ = std::move(clock); }

  /// The process globals (made once), with `features` as the feature list.
  std::shared_ptr<fileprovider::FileProviderGlobals> globals(
      std::shared_ptr<common::FeatureList> features = nullptr) {
    if (globals_) return globals_;
    if (!networkMonitor_) {
      auto definitions =
          common::DesktopAppGroupDefinitions::make(dir_.path(), base::Logger::null());
      if (!definitions) {
        ADD_FAILURE() << definitions.error().message;
      } else {
        common::UserDefaultsFeatureManager(definitions->defaults)
            .disable(common::Feature::networkMonitor);
      }
    }
    fileprovider::FileProviderGlobalsConfiguration configuration;
    configuration.containerRoot = dir_.path();
    configuration.featureList =
        features ? std::move(features) : std::make_shared<common::FeatureList>();
    auto exits = exits_;
    configuration.exit = [exits](int status) {
      std::lock_guard lock(exits->mutex);
      exits->statuses.push_back(status);
    };
    configuration.logger = logger_;
    configuration.clock = clock_;
    configuration.followCloudChanges = followCloudChanges_;
    auto made = fileprovider::FileProviderGlobals::make(std::move(configuration));
    if (!made) ADD_FAILURE() << made.error().message;
    globals_ = made ? *made : nullptr;
    return globals_;
  }

  /// Starts the domain `domain` (the drive's by default).
  std::shared_ptr<fileprovider::FileProviderWrapper> start(std::string domain = kHostDrive) {
    manager_ = std::make_shared<FakeManager>(fp::Domain{fp::DomainIdentifier(domain), "Acme"},
                                             dir_.path() / "tmp");
    wrapper_ = std::make_shared<fileprovider::FileProviderWrapper>(manager_->domain(), manager_,
                                                                   globals());
    return wrapper_;
  }

  FakeManager& manager() { return *manager_; }
  fileprovider::FileProviderWrapper& wrapper() { return *wrapper_; }

  struct Lookup {
    fp::ItemPtr item;
    std::optional<fp::Error> error;
  };
  Lookup lookUp(const fp::ItemIdentifier& identifier) {
    std::promise<Lookup> answered;
    wrapper_->item(identifier, {}, [&](fp::ItemPtr item, std::optional<fp::Error> error) {
      answered.set_value({std::move(item), std::move(error)});
    });
    auto future = answered.get_future();
    if (future.wait_for(kAnswerTimeout) != std::future_status::ready) {
      ADD_FAILURE() << "item lookup never completed";
      return {};
    }
    return future.get();
  }

  /// Enumerates `container` from the initial page to the end with `suggestedPageSize`.
  EnumeratedContainer enumerate(const fp::ItemIdentifier& container,
                                std::optional<std::int64_t> suggestedPageSize = std::nullopt) {
    EnumeratedContainer result;
    auto enumerator = wrapper_->enumerator(container, {});
    if (!enumerator) {
      result.error = enumerator.error();
      return result;
    }
    fp::Page page = fp::Page::initialPageSortedByName();
    for (int guard = 0; guard < 100000; ++guard) {
      auto observer = std::make_shared<PageObserver>(suggestedPageSize);
      (*enumerator)->enumerateItems(observer, page);
      auto outcome = observer->wait();
      auto items = observer->items();
      result.pageSizes.push_back(items.size());
      result.items.insert(result.items.end(), items.begin(), items.end());
      if (outcome.error) {
        result.error = outcome.error;
        break;
      }
      if (!outcome.nextPage) break;
      page = *outcome.nextPage;
    }
    (*enumerator)->invalidate();
    return result;
  }

  /// The enumerator's present anchor.
  fp::SyncAnchor currentAnchor(const fp::EnumeratorPtr& enumerator) {
    std::promise<std::optional<fp::SyncAnchor>> answered;
    enumerator->currentSyncAnchor(
        [&](std::optional<fp::SyncAnchor> anchor) { answered.set_value(std::move(anchor)); });
    auto anchor = answered.get_future().get();
    if (!anchor) ADD_FAILURE() << "no current anchor";
    return anchor.value_or(fp::SyncAnchor{});
  }

  /// Follows change enumeration from `anchor` while more is coming.
  FollowedChanges follow(const fp::EnumeratorPtr& enumerator, fp::SyncAnchor anchor,
                         std::optional<std::int64_t> suggestedBatchSize = std::nullopt) {
    FollowedChanges result;
    result.anchor = anchor;
    for (int guard = 0; guard < 100000; ++guard) {
      auto observer = std::make_shared<ChangeObserver>(suggestedBatchSize);
      enumerator->enumerateChanges(observer, result.anchor);
      auto outcome = observer->wait();
      ++result.batches;
      auto updated = observer->updated();
      auto deleted = observer->deleted();
      result.updated.insert(result.updated.end(), updated.begin(), updated.end());
      result.deleted.insert(result.deleted.end(), deleted.begin(), deleted.end());
      if (outcome.error) {
        result.error = outcome.error;
        break;
      }
      result.anchor = *outcome.anchor;
      if (!outcome.moreComing) break;
    }
    return result;
  }

 private:
  TempDir dir_{"tarnix-fp"};
  std::shared_ptr<RecordingLogSink> sink_;
  base::Logger logger_;
  struct Exits {
    std::mutex mutex;
    std::vector<int> statuses;
  };
  std::shared_ptr<Exits> exits_ = std::make_shared<Exits>();
  bool networkMonitor_ = false;
  std::shared_ptr<base::Clock> clock_;
  std::shared_ptr<fileprovider::FileProviderGlobals> globals_;
  bool followCloudChanges_ = false;
  std::shared_ptr<FakeManager> manager_;
  std::shared_ptr<fileprovider::FileProviderWrapper> wrapper_;
};

}  // namespace tarnix::testing
