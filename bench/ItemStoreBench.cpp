// Item store costs: apply(patch:) creating 100,000 children of one folder beside a bare
// prepared-statement insert of the same rows into the same schema in one transaction (the
// reference), change and paged enumeration of those rows, and lookup by cloud identifier.
// Times are wall-clock: writes run on the database's writer queue, not on the timed thread.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "common/detail/ItemStorageQueries.hpp"

using namespace tarnix::common;
namespace fs = std::filesystem;

namespace {

constexpr int kRows = 100000;
constexpr const char* kDomain = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";

fs::path benchFolder(const std::string& name) {
  static int counter = 0;
  auto folder = fs::temp_directory_path() / ("tarnix-bench-" + std::to_string(getpid())) /
                (name + std::to_string(++counter));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

SyncItem child(int i) {
  SyncItem item;
  const std::string id = "child-" + std::to_string(i);
  item.itemIdentifier = SyncFileIdentifier{id};
  item.parentItemIdentifier = SyncFolderIdentifier{"root"};
  item.cloudIdentifier = CloudItemIdentifier(CloudGroupIdentifier{"c" + id});
  item.filename = id + ".txt";
  item.permission = SyncItemPermission::editor;
  item.uploadDate = tarnix::base::dateFromMillisecondsSince1970(1700000000000 + i);
  item.contentModificationDate = item.uploadDate;
  item.contentVersion = CloudEntryIdentifier{"e" + id};
  item.contentSize = i;
  item.author = "ann";
  return item;
}

struct Store {
  std::unique_ptr<DriveDatabase> database;
  std::unique_ptr<SyncItemStorage> storage;
};

Store makeStore(const std::string& name) {
  Store store;
  store.database = std::move(*DriveDatabase::open(benchFolder(name), kDomain));
  store.storage = std::move(*SyncItemStorage::make(store.database->dbQueue(), "", nullptr));
  SyncItem root;
  root.itemIdentifier = SyncFolderIdentifier{"root"};
  root.filename = "root";
  (void)store.storage->setRootItem(root);
  return store;
}

SyncItemListPatch creationPatch() {
  SyncItemListPatch patch;
  patch.createdItems.reserve(kRows);
  for (int i = 0; i < kRows; ++i) patch.createdItems.push_back(child(i));
  return patch;
}

void BM_BareInsertReference(benchmark::State& state) {
  const auto patch = creationPatch();
  for (auto _ : state) {
    state.PauseTiming();
    auto store = makeStore("bare");
    const auto path = store.database->path();
    store = {};
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, DriveDatabase::kWriterCacheSize, nullptr, nullptr, nullptr);
    state.ResumeTiming();
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Items (itemIdentifier, itemRealm, parentItemIdentifier, "
                       "cloudIdentifier, filename, rank, permission, flags, author, uploadDate, "
                       "metadataVersion, contentVersion, contentSize, contentModificationDate, "
                       "historySize, typeAndCreator) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                       -1, &insert, nullptr);
    std::int64_t rank = 1;
    for (const auto& item : patch.createdItems) {
      const auto id = item.itemIdentifier.description();
      const auto parent = item.parentItemIdentifier.description();
      const auto cloud = item.cloudIdentifier->description();
      const auto date = tarnix::base::formatISO8601(item.uploadDate);
      sqlite3_bind_text(insert, 1, id.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 2, 0);
      sqlite3_bind_text(insert, 3, parent.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 4, cloud.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 5, item.filename.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 6, ++rank);
      sqlite3_bind_int64(insert, 7, static_cast<std::int64_t>(item.permission));
      sqlite3_bind_int64(insert, 8, item.flags.rawValue);
      sqlite3_bind_text(insert, 9, item.author->c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 10, date.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 11, item.metadataVersion);
      sqlite3_bind_text(insert, 12, item.contentVersion->rawValue.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 13, item.contentSize);
      sqlite3_bind_text(insert, 14, date.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int64(insert, 15, item.historySize);
      sqlite3_bind_int64(insert, 16, 0);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_BareInsertReference)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_ApplyPatchCreating100k(benchmark::State& state) {
  const auto patch = creationPatch();
  for (auto _ : state) {
    state.PauseTiming();
    auto store = makeStore("apply");
    state.ResumeTiming();
    if (!store.storage->apply(patch, false)) state.SkipWithError("apply failed");
    state.PauseTiming();
    store = {};
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}
BENCHMARK(BM_ApplyPatchCreating100k)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

Store& populated() {
  static Store store = [] {
    auto made = makeStore("populated");
    (void)made.storage->apply(creationPatch(), false);
    return made;
  }();
  return store;
}

// The enumeration queries must walk an index in the order they return rows; a temporary
// B-tree means every batch or page sorts the whole folder again.
std::string sortedByTemporaryTree(Store& store, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(store.database->path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* plan = nullptr;
  sqlite3_prepare_v2(db, (std::string("EXPLAIN QUERY PLAN ") + sql).c_str(), -1, &plan, nullptr);
  std::string found;
  while (plan && sqlite3_step(plan) == SQLITE_ROW) {
    std::string detail = reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
    if (detail.find("TEMP B-TREE") != std::string::npos) found = detail;
  }
  sqlite3_finalize(plan);
  sqlite3_close(db);
  return found;
}

void checkPlan(benchmark::State& state, Store& store, const char* sql) {
  if (auto sorted = sortedByTemporaryTree(store, sql); !sorted.empty()) {
    state.SkipWithError(("query plan sorts: " + sorted).c_str());
  }
}

void BM_ChangeEnumeration(benchmark::State& state) {
  auto& store = populated();
  checkPlan(state, store, tarnix::common::detail::kChildChanges);
  std::int64_t rows = 0;
  for (auto _ : state) {
    SyncAnchor anchor{0};
    while (true) {
      auto batch = store.storage->enumerateChanges(SyncFolderIdentifier{"root"}, anchor, 1000);
      if (!batch) {
        state.SkipWithError("enumeration failed");
        break;
      }
      rows += static_cast<std::int64_t>(batch->changeCount);
      anchor = batch->lastRank;
      if (!batch->moreComing) break;
    }
  }
  state.SetItemsProcessed(rows);
}
BENCHMARK(BM_ChangeEnumeration)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PagedEnumeration(benchmark::State& state) {
  auto& store = populated();
  checkPlan(state, store, tarnix::common::detail::kChildrenPage);
  std::int64_t rows = 0;
  for (auto _ : state) {
    std::optional<SyncListingPageMarker> marker;
    do {
      auto page = store.storage->enumerateItems(SyncFolderIdentifier{"root"}, marker, 1000);
      if (!page) {
        state.SkipWithError("enumeration failed");
        break;
      }
      rows += static_cast<std::int64_t>(page->items.size());
      marker = page->output.nextPage;
    } while (marker);
  }
  state.SetItemsProcessed(rows);
}
BENCHMARK(BM_PagedEnumeration)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_LookupByCloudIdentifier(benchmark::State& state) {
  auto& store = populated();
  std::mt19937 random(42);
  std::uniform_int_distribution<int> pick(0, kRows - 1);
  for (auto _ : state) {
    const CloudItemIdentifier identifier(
        CloudGroupIdentifier{"cchild-" + std::to_string(pick(random))});
    auto found = store.storage->findByCloudIdentifier(identifier);
    if (!found || !*found) state.SkipWithError("lookup failed");
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LookupByCloudIdentifier)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
