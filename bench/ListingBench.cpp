// End-to-end listing of one 100,000-file cloud folder from the emulator (in this process, over
// TLS on loopback) into the item store and back out page by page, with the time split into
//   network  the listing request until its whole body has arrived,
//   decode   the JSON body into a listing and sync items,
//   store    the comparison with the stored children (patch) and the one-transaction write,
//   bare     the reference: a prepared-statement insert of the same rows, every column, into a
//            fresh store of the same schema in one transaction, on a plain SQLite connection
//            with the store's settings,
//   total    the listing service doing network, decode and store on a fresh store,
//   read     paging the items out of the store as enumerators do (1000 per page).
// Store and bare run `rounds` times each, alternating on fresh stores; the medians are shown,
// with their ratio (the goal: store within 2x of bare).
// Usage: ListingBench [files] [rounds]   (default 100000 files, 3 rounds)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "cloudfs/CloudFSSession.hpp"
#include "cloudfs/requests/ListingRequest.hpp"
#include "cloudfs/responses/ListingResponse.hpp"
#include "common/DriveDatabase.hpp"
#include "common/SyncItemStorage.hpp"
#include "emulator/Emulator.hpp"
#include "fileprovider/listing/ListingPatch.hpp"
#include "fileprovider/listing/ListingService.hpp"

using namespace tarnix;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kDrive = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

struct NoErrors final : cloudfs::DriveCloudErrorHandler {
  void authenticationDidExpire() override {}
};

struct Store {
  std::unique_ptr<common::DriveDatabase> database;
  std::shared_ptr<common::SyncItemStorage> storage;
  common::SyncItem root;
};

Store makeStore(const fs::path& folder, const std::string& startPath) {
  fs::create_directories(folder);
  Store store;
  store.database = std::move(*common::DriveDatabase::open(folder, kDrive));
  store.storage = std::shared_ptr<common::SyncItemStorage>(
      std::move(*common::SyncItemStorage::make(store.database->dbQueue(), startPath, nullptr)));
  store.root.itemIdentifier = common::SyncFolderIdentifier{"root"};
  store.root.filename = "scale";
  store.root.isMaterialized = false;
  store.root = *store.storage->setRootItem(store.root);
  return store;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  std::exit(1);
}

void exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
    fail(std::string(sql) + ": " + sqlite3_errmsg(db));
  }
}

void bindText(sqlite3_stmt* s, int i, const std::optional<std::string>& text) {
  if (text) {
    sqlite3_bind_text(s, i, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(s, i);
  }
}

void bindDate(sqlite3_stmt* s, int i, const std::optional<base::Date>& date) {
  bindText(s, i, date ? std::optional(base::formatISO8601(*date)) : std::nullopt);
}

// The reference for the store part: the rows the listing creates, inserted as they are into a
// fresh store of the same schema, every column bound straight from the item, ranks counted here.
Clock::duration bareInsert(const fs::path& folder, const std::string& startPath,
                           const std::vector<common::SyncItem>& rows) {
  fs::path path;
  {
    auto store = makeStore(folder, startPath);
    path = store.database->path();
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) fail("opening the reference store failed");
  // The settings of the store's own connection.
  exec(db, "PRAGMA journal_mode = WAL");
  exec(db, "PRAGMA synchronous = NORMAL");
  exec(db, "PRAGMA foreign_keys = ON");
  exec(db, common::DriveDatabase::kWriterCacheSize);
  const auto start = Clock::now();
  exec(db, "BEGIN IMMEDIATE");
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db,
                         "INSERT INTO Items VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
                         "?12, ?13, ?14, ?15, ?16, ?17, ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, "
                         "?26, ?27, ?28, ?29, ?30, ?31, ?32, ?33)",
                         -1, &insert, nullptr) != SQLITE_OK) {
    fail(sqlite3_errmsg(db));
  }
  std::int64_t rank = 1;  // the root's
  for (const auto& item : rows) {
    bindText(insert, 1, item.itemIdentifier.description());
    sqlite3_bind_int64(insert, 2, static_cast<std::int64_t>(item.itemRealm));
    bindText(insert, 3, item.parentItemIdentifier.description());
    bindText(
        insert, 4,
        item.cloudIdentifier ? std::optional(item.cloudIdentifier->description()) : std::nullopt);
    bindText(insert, 5, item.filename);
    sqlite3_bind_int64(insert, 6, ++rank);
    sqlite3_bind_int64(insert, 7, static_cast<std::int64_t>(item.permission));
    bindDate(insert, 8, item.creationDate);
    sqlite3_bind_int64(insert, 9, item.flags.rawValue);
    bindText(insert, 10, item.author);
    bindDate(insert, 11, item.uploadDate);
    sqlite3_bind_int64(insert, 12, item.metadataVersion);
    bindText(insert, 13,
             item.contentVersion ? std::optional(item.contentVersion->rawValue) : std::nullopt);
    sqlite3_bind_int64(insert, 14, item.contentSize);
    bindDate(insert, 15, item.contentModificationDate);
    bindText(insert, 16, item.contentChecksum);
    sqlite3_bind_int64(insert, 17, item.historySize);
    bindDate(insert, 18, item.lastUsedDate);
    if (item.tagData) {
      sqlite3_bind_blob(insert, 19, item.tagData->data(), static_cast<int>(item.tagData->size()),
                        SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(insert, 19);
    }
    if (item.fileSystemFlags) {
      sqlite3_bind_int64(insert, 20, *item.fileSystemFlags);
    } else {
      sqlite3_bind_null(insert, 20);
    }
    sqlite3_bind_int64(insert, 21, std::bit_cast<std::int64_t>(item.typeAndCreator));
    sqlite3_bind_int(insert, 22, item.isSkipped);
    sqlite3_bind_int(insert, 23, item.isAncestorSkipped);
    sqlite3_bind_int(insert, 24, item.hasStandardUserAccess);
    sqlite3_bind_int(insert, 25, item.isProjectFolder);
    sqlite3_bind_int(insert, 26, item.isDocumentRoom);
    sqlite3_bind_int(insert, 27, 0);
    sqlite3_bind_int64(insert, 28, item.revision);
    sqlite3_bind_int(insert, 29, item.isMaterialized);
    bindText(insert, 30, item.systemItemIdentifier);
    bindText(insert, 31,
             item.lastFailedUploadBaseVersion
                 ? std::optional(item.lastFailedUploadBaseVersion->rawValue)
                 : std::nullopt);
    bindText(insert, 32, item.lastFailedUploadChecksum);
    bindDate(insert, 33, item.cfsContentModificationDateOverride);
    if (sqlite3_step(insert) != SQLITE_DONE) fail(sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  exec(db, "COMMIT");
  const auto elapsed = Clock::now() - start;
  sqlite3_close(db);
  return elapsed;
}

Clock::duration median(std::vector<Clock::duration> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const fs::path dir =
      fs::temp_directory_path() / ("tarnix-listing-bench-" + std::to_string(getpid()));
  fs::remove_all(dir);

  std::printf("seeding the emulator with %ld files...\n", files);
  emulator::EmulatorOptions options;
  options.dataDir = dir / "cloud";
  options.seed = "scale:" + std::to_string(files);
  auto opened = emulator::Emulator::open(options);
  if (!opened) fail(opened.error());
  auto& cloud = **opened;
  std::thread server([&] { cloud.run(false); });

  common::Drive drive;
  drive.identifier = kDrive;
  drive.domain = "localhost:" + std::to_string(cloud.port());
  drive.userName = "alice";
  drive.authentication = common::AccountAuthentication::oauth("alice-token", "refresh");
  drive.cloudStartPath = "/Shared/scale-" + std::to_string(files);
  cloudfs::TarnixURLSession::Configuration configuration;
  configuration.additionalCAFile = cloud.tls().caCertificate;
  configuration.downloadDirectory = dir;
  auto urlSession = std::make_shared<cloudfs::TarnixURLSession>(
      base::Logger::null(), cloudfs::TarnixUserAgent("bench", "1.0.0", "1"), "bench", nullptr,
      configuration);
  auto factory = std::make_shared<cloudfs::CloudFSSessionFactory>(urlSession, base::Logger::null());

  // Network: the listing body as it arrives.
  auto session = factory->makeSession(drive);
  cloudfs::ListingByPathRequest request(drive.cloudStartPath);
  request.includeChecksum = true;
  request.includeUploadedBy = true;
  request.includeCollaboration = true;
  session->data(request, cloudfs::TarnixURLRequestOptions::none()).wait();  // warm the connection
  auto start = Clock::now();
  auto answer = session->data(request, cloudfs::TarnixURLRequestOptions::none()).get();
  const auto network = Clock::now() - start;
  if (!answer || answer->second.statusCode != 200) fail("the listing failed");

  // Decode: body to listing to items.
  Store decodeStore = makeStore(dir / "decode", drive.cloudStartPath);
  auto client = std::make_shared<fileprovider::SyncCloudClient>(
      factory, std::make_shared<NoErrors>(), base::Logger::null(), nullptr, drive);
  start = Clock::now();
  auto listing = cloudfs::ListingResponse::decode({answer->second, answer->first, std::nullopt});
  if (!listing) fail("the listing did not decode");
  auto items = client->folderItems(decodeStore.root, *listing, "v1");
  const auto decode = Clock::now() - start;

  // Store: the patch against the (empty) stored children and its one transaction, beside the
  // bare insert of the rows it creates.
  std::vector<Clock::duration> patchTimes, writeTimes, storeTimes, bareTimes;
  std::size_t created = 0;
  for (int round = 0; round < rounds; ++round) {
    Store store = makeStore(dir / ("store" + std::to_string(round)), drive.cloudStartPath);
    auto listed = items;  // the listing service hands its listing over
    start = Clock::now();
    auto changes = fileprovider::computeListingChanges(store.root, std::move(listed), {}, {}, 0);
    if (!changes) fail("the listing is invalid");
    const auto patched = Clock::now();
    auto written = store.storage->apply(changes->patch, true, nullptr);
    if (!written) fail(written.error().description());
    const auto end = Clock::now();
    patchTimes.push_back(patched - start);
    writeTimes.push_back(end - patched);
    storeTimes.push_back(end - start);
    created = changes->patch.createdItems.size();
    store = {};
    bareTimes.push_back(bareInsert(dir / ("bare" + std::to_string(round)), drive.cloudStartPath,
                                   changes->patch.createdItems));
    fs::remove_all(dir / ("store" + std::to_string(round)));
    fs::remove_all(dir / ("bare" + std::to_string(round)));
  }
  const auto storePart = median(storeTimes);
  const auto barePart = median(bareTimes);

  // Total: the listing service end to end on a fresh store.
  Store serviceStore = makeStore(dir / "service", drive.cloudStartPath);
  fileprovider::ListingService::Collaborators collaborators;
  collaborators.itemStorage = serviceStore.storage;
  collaborators.cloudClient = std::make_shared<fileprovider::SyncCloudClient>(
      factory, std::make_shared<NoErrors>(), base::Logger::null(), serviceStore.storage, drive);
  collaborators.metadataStorage = std::make_shared<fileprovider::ListingMetadataStorage>(
      serviceStore.database->dbQueue(), base::Logger::null());
  auto service = std::make_shared<fileprovider::ListingService>(std::move(collaborators),
                                                                base::Logger::null());
  std::promise<fileprovider::ListingResult<fileprovider::ListingMetadata>> done;
  start = Clock::now();
  service->refreshListing(serviceStore.root,
                          [&](auto result) { done.set_value(std::move(result)); });
  auto outcome = done.get_future().get();
  const auto total = Clock::now() - start;
  if (!outcome) fail(outcome.error().description());

  // Read: the folder's children page by page.
  start = Clock::now();
  std::optional<common::SyncListingPageMarker> marker;
  std::size_t read = 0;
  for (;;) {
    auto page = serviceStore.storage->enumerateItems(*serviceStore.root.itemIdentifier.folder(),
                                                     marker, 1000);
    if (!page) fail(page.error().description());
    read += page->items.size();
    if (!page->output.nextPage) break;
    marker = page->output.nextPage;
  }
  const auto readPart = Clock::now() - start;
  if (read != static_cast<std::size_t>(files)) fail("the store holds " + std::to_string(read));

  std::printf("files    %ld (body %zu bytes)\n", files, answer->first.size());
  std::printf("network  %8.1f ms\n", ms(network));
  std::printf("decode   %8.1f ms\n", ms(decode));
  std::printf(
      "store    %8.1f ms   (patch %.1f ms + one-transaction write %.1f ms; medians of %d)\n",
      ms(storePart), ms(median(patchTimes)), ms(median(writeTimes)), rounds);
  std::printf(
      "bare     %8.1f ms   (prepared-statement insert of the same %zu rows, one transaction)\n",
      ms(barePart), created);
  std::printf("ratio    %8.2f     (store / bare; goal at most 2)\n", ms(storePart) / ms(barePart));
  std::printf("total    %8.1f ms   (listing service, network + decode + store)\n", ms(total));
  std::printf("read     %8.1f ms   (%zu items in pages of 1000)\n", ms(readPart), read);

  urlSession.reset();
  cloud.stop();
  server.join();
  fs::remove_all(dir);
  return 0;
}
