// Folder listings applied to a fresh item store the way the listing service applies them (the
// cloud client's folderItems, readStoredListingState, computeListingChanges, then one patch), with
// the children of each listing chosen by the input: items move between folders, into their own
// subtrees (which the store must refuse), appear and vanish; path lookups run between the listings.
// After every step the alive tree has no cycle, every alive item's path leads back to it, and a
// refused listing is a typed error. One input running longer than kInputLimit aborts, so a hang is
// reported as a crash.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "cloudfs/responses/ListingResponse.hpp"
#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "fileprovider/cloud/SyncCloudClient.hpp"
#include "fileprovider/listing/ListingPatch.hpp"
#include "fileprovider/listing/ListingService.hpp"

namespace {

using namespace tarnix;

constexpr auto kInputLimit = std::chrono::seconds(5);
constexpr const char* kDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";
// Items the input moves about: folders first, then files.
constexpr int kFolders = 6;
constexpr int kFiles = 3;
constexpr int kItems = kFolders + kFiles;
constexpr std::size_t kMaxSteps = 64;

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "ItemStoreParentMovesFuzz: %s\n", what);
  std::abort();
}

// Aborts the process when one input runs longer than kInputLimit.
class Watchdog {
 public:
  Watchdog() : thread_([this] { watch(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  void begin() {
    std::lock_guard lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + kInputLimit;
    changed_.notify_all();
  }
  void end() {
    std::lock_guard lock(mutex_);
    deadline_.reset();
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      if (deadline_ && std::chrono::steady_clock::now() > *deadline_) {
        std::fprintf(stderr, "ItemStoreParentMovesFuzz: one input ran longer than %lld s\n",
                     static_cast<long long>(kInputLimit.count()));
        std::abort();
      }
      changed_.wait_for(lock, std::chrono::milliseconds(100));
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool stopping_ = false;
  std::thread thread_;
};

std::string folderCloudID(int index) {
  return "cf-" + std::to_string(index);
}
std::string fileCloudID(int index) {
  return "cg-" + std::to_string(index);
}
std::string itemName(int index) {
  return index < kFolders ? "D" + std::to_string(index) : "f" + std::to_string(index - kFolders);
}
common::CloudItemIdentifier cloudIdentifier(int index) {
  if (index < kFolders) return common::CloudFolderIdentifier{folderCloudID(index)};
  return common::CloudGroupIdentifier{fileCloudID(index - kFolders)};
}

class Drive {
 public:
  explicit Drive(const std::filesystem::path& folder) {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder, ignored);
    auto opened = common::DriveDatabase::open(folder, kDomain);
    check(opened.has_value(), "the drive database does not open");
    database_ = std::move(*opened);
    auto made = common::SyncItemStorage::make(database_->dbQueue(), "/Team",
                                              std::make_shared<base::Logger>(base::Logger::null()));
    check(made.has_value(), "the item store cannot be made");
    storage_ = std::move(*made);
    common::SyncItem root;
    root.itemIdentifier = common::SyncFolderIdentifier{"root"};
    root.parentItemIdentifier = common::SyncFolderIdentifier::zero();
    root.cloudIdentifier = common::CloudFolderIdentifier{"cf-root"};
    root.filename = "Team";
    root.permission = common::SyncItemPermission::editor;
    check(storage_->setRootItem(root).has_value(), "the root cannot be stored");
    client_ = std::make_shared<fileprovider::SyncCloudClient>(
        nullptr, nullptr, base::Logger::null(), storage_, common::Drive{});
  }

  common::SyncItemStorage& storage() { return *storage_; }

  // The alive item of a pool index (or the root for -1).
  std::optional<common::SyncItem> stored(int index) {
    if (index < 0) {
      auto root = storage_->rootItem();
      check(root.has_value(), "the root is gone");
      return *root;
    }
    auto found = storage_->optionalItem(cloudIdentifier(index));
    check(found.has_value(), "a read failed");
    return *found;
  }

  // Lists `folder` with the pool items of `children` as the listing service applies a listing.
  void list(const common::SyncItem& folder, std::uint32_t children, int version) {
    cloudfs::ListingResponse response;
    response.folderID = folder.cloudIdentifier->rawValue();
    response.permission = "editor";
    for (int i = 0; i < kItems; ++i) {
      if ((children & (1u << i)) == 0) continue;
      if (i < kFolders) {
        cloudfs::ListingResponse::Folder entry;
        entry.name = itemName(i);
        entry.folderID = folderCloudID(i);
        response.folders.push_back(std::move(entry));
      } else {
        cloudfs::ListingResponse::File entry;
        entry.name = itemName(i);
        entry.groupID = fileCloudID(i - kFolders);
        entry.entryID = "e" + std::to_string(version);
        entry.size = version;
        response.files.push_back(std::move(entry));
      }
    }
    auto listing = client_->folderItems(folder, response, "v" + std::to_string(version));

    auto stored = fileprovider::readStoredListingState(*storage_, folder, listing);
    check(stored.has_value(), "the stored state of a listed folder cannot be read");
    auto changes = fileprovider::computeListingChanges(stored->folder, std::move(listing),
                                                       stored->children, stored->known, 0);
    check(changes.has_value(), "a well-formed listing is refused as invalid");
    changes->patch.movedAwayItems = changes->vanishedItems;
    const auto moves = movesOf(folder, children);
    auto written = storage_->apply(changes->patch, true);
    if (moves == Moves::aboveItself) {
      check(!written && written.error().isParentCycle(),
            "a listing that puts a folder inside its own subtree is not refused as a cycle");
    } else if (moves == Moves::plain) {
      check(written.has_value(), "a listing without a cycle is refused");
    } else if (!written) {
      check(written.error().isParentCycle(), "a folder listed in itself fails without a cycle");
    }
  }

  enum class Moves { plain, intoItself, aboveItself };
  // Whether the listing of `folder` holding `children` names the folder itself or one of the
  // folders it lies in (the moves that would close a cycle).
  Moves movesOf(const common::SyncItem& folder, std::uint32_t children) {
    std::set<std::string> above;
    auto parent = common::SyncItemIdentifier(folder.parentItemIdentifier);
    for (int depth = 0; depth <= kItems + 1; ++depth) {
      auto item = storage_->optionalItem(parent);
      check(item.has_value(), "a parent cannot be read");
      if (!*item || !(*item)->cloudIdentifier) break;
      above.insert((*item)->cloudIdentifier->rawValue());
      if ((*item)->itemIdentifier == stored(-1)->itemIdentifier) break;
      parent = common::SyncItemIdentifier((*item)->parentItemIdentifier);
    }
    Moves moves = Moves::plain;
    for (int i = 0; i < kFolders; ++i) {
      if ((children & (1u << i)) == 0) continue;
      if (above.contains(folderCloudID(i))) return Moves::aboveItself;
      if (folder.cloudIdentifier->rawValue() == folderCloudID(i)) moves = Moves::intoItself;
    }
    return moves;
  }

  // Every alive pool item hangs below the root without a cycle, and its path finds it again.
  void checkTree() {
    const auto root = stored(-1);
    for (int i = 0; i < kItems; ++i) {
      auto item = stored(i);
      if (!item) continue;
      std::set<std::string> seen{item->itemIdentifier.rawValue()};
      auto parent = common::SyncItemIdentifier(item->parentItemIdentifier);
      bool reachedRoot = false;
      for (int depth = 0; depth <= kItems + 1; ++depth) {
        if (parent == root->itemIdentifier) {
          reachedRoot = true;
          break;
        }
        check(seen.insert(parent.rawValue()).second, "the alive tree has a parent cycle");
        auto above = storage_->optionalItem(parent);
        check(above.has_value(), "a parent cannot be read");
        // An alive item under a tombstone is left to the deletion of the subtree; stop here.
        if (!*above) break;
        parent = common::SyncItemIdentifier((*above)->parentItemIdentifier);
      }
      if (!reachedRoot) continue;
      auto path = storage_->queryCloudPath(item->itemIdentifier);
      check(path.has_value(), "an alive item below the root has no path");
      auto found = storage_->findItem(*path);
      check(found.has_value(), "a path lookup failed");
      check(*found && (*found)->itemIdentifier == item->itemIdentifier,
            "an item's path does not lead back to it");
    }
  }

  // Looks up a path of pool names (which may name nothing, or a cycle's members).
  void lookUp(const std::uint8_t* names, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) path += "/" + itemName(names[i] % kItems);
    auto found = storage_->findItem(path);
    check(found.has_value(), "a path lookup failed");
    if (*found) {
      auto back = storage_->queryCloudPath((*found)->itemIdentifier);
      check(back.has_value(), "a found item has no path");
    }
  }

 private:
  std::unique_ptr<common::DriveDatabase> database_;
  std::shared_ptr<common::SyncItemStorage> storage_;
  std::shared_ptr<fileprovider::SyncCloudClient> client_;
};

std::filesystem::path scratchFolder() {
  static const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("tarnix-fuzz-item-store-" + std::to_string(::getpid()));
  return folder;
}

}  // namespace

// Each step is three bytes. A listing: the first byte's low bits not both set, then which folder
// (the root or a pool folder), then which pool items the listing holds (a bit per item, the
// ninth in the first byte's top bit). A lookup: the low bits set, then one or two names.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Watchdog watchdog;
  watchdog.begin();
  {
    Drive drive(scratchFolder());
    std::size_t steps = 0;
    for (std::size_t at = 0; at + 3 <= size && steps < kMaxSteps; at += 3, ++steps) {
      const std::uint8_t what = data[at];
      if ((what & 3) == 3) {
        drive.lookUp(data + at + 1, 1 + ((what >> 2) & 1));
        continue;
      }
      const int folderIndex = data[at + 1] % (kFolders + 1) - 1;  // -1: the root
      auto folder = drive.stored(folderIndex);
      if (!folder) continue;  // the service lists only folders it stores
      const std::uint32_t children = data[at + 2] | (static_cast<std::uint32_t>(what >> 7) << 8);
      drive.list(*folder, children, static_cast<int>(steps));
      drive.checkTree();
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(scratchFolder(), ignored);
  watchdog.end();
  return 0;
}
