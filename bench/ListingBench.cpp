// End-to-end listing of one 100,000-file cloud folder from the emulator (in this process, over
// TLS on loopback) into the item store and back out page by page, with the time split into
//   network  the listing request until its whole body has arrived,
//   decode   the JSON body into a listing and sync items,
//   store    the comparison with the stored children and the one-transaction write,
//   total    the listing service doing all three on a fresh store,
//   read     paging the 100,000 items out of the store as enumerators do (1000 per page).
// The store part compares with the item store's bare-insert reference (ItemStoreBench).
// Usage: ListingBench [files]   (default 100000)
#include <unistd.h>

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
#include "fileprovider/ListingPatch.hpp"
#include "fileprovider/ListingService.hpp"

using namespace tarnix;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kDrive = "6f1c3a51-2a4b-4e0c-9c55-1b2f3c4d5e6f";

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

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

}  // namespace

int main(int argc, char** argv) {
  const long files = argc > 1 ? std::atol(argv[1]) : 100000;
  const fs::path dir = fs::temp_directory_path() / ("tarnix-listing-bench-" + std::to_string(getpid()));
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

  // Store: the patch against the (empty) stored children and its one transaction.
  start = Clock::now();
  auto changes = fileprovider::computeListingChanges(decodeStore.root, items, {}, {}, 0);
  if (!changes) fail("the listing is invalid");
  auto written = decodeStore.storage->apply(changes->patch, true, nullptr);
  if (!written) fail(written.error().description());
  const auto storePart = Clock::now() - start;

  // Total: the listing service end to end on a fresh store.
  Store serviceStore = makeStore(dir / "service", drive.cloudStartPath);
  fileprovider::ListingService::Collaborators collaborators;
  collaborators.itemStorage = serviceStore.storage;
  collaborators.cloudClient = std::make_shared<fileprovider::SyncCloudClient>(
      factory, std::make_shared<NoErrors>(), base::Logger::null(), serviceStore.storage, drive);
  collaborators.metadataStorage = std::make_shared<fileprovider::ListingMetadataStorage>(
      serviceStore.database->dbQueue(), base::Logger::null());
  auto service =
      std::make_shared<fileprovider::ListingService>(std::move(collaborators), base::Logger::null());
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
    auto page = serviceStore.storage->enumerateItems(
        *serviceStore.root.itemIdentifier.folder(), marker, 1000);
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
  std::printf("store    %8.1f ms   (bare-insert reference of 100,000 rows: see ItemStoreBench)\n",
              ms(storePart));
  std::printf("total    %8.1f ms   (listing service, network + decode + store)\n", ms(total));
  std::printf("read     %8.1f ms   (%zu items in pages of 1000)\n", ms(readPart), read);

  urlSession.reset();
  cloud.stop();
  server.join();
  fs::remove_all(dir);
  return 0;
}
