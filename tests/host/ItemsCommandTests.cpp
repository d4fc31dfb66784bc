#include <gtest/gtest.h>

#include <chrono>

#include "../fileprovider/SeededDrive.hpp"
#include "fileprovider/listing/ListingMetadataStorage.hpp"
#include "support/RunTarnix.hpp"

using namespace tarnix::common;
using namespace tarnix::testing;

namespace {

class ItemsCommand : public ::testing::Test {
 protected:
  // Runs the tarnix programme over the host's container. The drive's cloud (127.0.0.1:1)
  // answers nobody: the root and "Docs" were listed moments before, so the command does not
  // ask for them again; "archive" was listed an hour ago, so it must.
  tarnix::testing::ProgramRun runTarnix(const FrameworkHost& host, const std::string& arguments) {
    const auto now = std::chrono::system_clock::now();
    markListed(kSeedRoot, now);
    markListed(SyncFolderIdentifier{"d1"}, now);
    markListed(SyncFolderIdentifier{"d2"}, now - std::chrono::hours(1));
    return tarnix::testing::runTarnix(arguments,
                                      "TARNIX_HOME='" + host.containerRoot().string() + "' ");
  }
  void SetUp() override {
    auto report = seedItem(SyncFileIdentifier{"a1"}, kSeedRoot, "report.pdf");
    report.contentSize = 2048;
    report.contentModificationDate = tarnix::base::dateFromMillisecondsSince1970(1700000000000);
    report.contentVersion = CloudEntryIdentifier{"entry-1"};
    auto inner = seedItem(SyncFileIdentifier{"b2"}, SyncFolderIdentifier{"d1"}, "Inner.txt",
                          SyncItemPermission::viewer);
    inner.contentSize = 5;
    seedDrive(host_, {report, seedItem(SyncFolderIdentifier{"d1"}, kSeedRoot, "Docs"),
                      seedItem(SyncFolderIdentifier{"d2"}, kSeedRoot, "archive"), inner});
  }
  void markListed(const SyncFolderIdentifier& folder, tarnix::base::Date when) {
    auto database = DriveDatabase::open(host_.driveDirectory(), kHostDrive);
    ASSERT_TRUE(database) << database.error().description();
    tarnix::fileprovider::ListingMetadataStorage listings((*database)->dbQueue(),
                                                          tarnix::base::Logger::null());
    ASSERT_TRUE(listings.store({folder, "v1", when}));
  }
  FrameworkHost host_;
};

}  // namespace

TEST_F(ItemsCommand, ListsFoldersFirstByNameFromTheItemDatabase) {
  for (const std::string drive : {"Acme", kHostDrive}) {
    const auto root = runTarnix(host_, "ls " + drive);
    EXPECT_EQ(root.status, 0) << root.output;
    EXPECT_EQ(root.output,
              "d            - - archive/\n"
              "d            - - Docs/\n"
              "-         2048 2023-11-14T22:13:20.000Z report.pdf\n")
        << drive;
  }
  const auto docs = runTarnix(host_, "ls Acme /docs");
  EXPECT_EQ(docs.status, 0) << docs.output;
  EXPECT_EQ(docs.output, "-            5 - Inner.txt\n");
}

TEST_F(ItemsCommand, StatShowsTheItemAsTheProviderPresentsIt) {
  const auto run = runTarnix(host_, "stat Acme Docs/Inner.txt");
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* line :
       {"name: Inner.txt\n", "identifier: file/b2\n", "parent: folder/d1\n", "type: file\n",
        "size: 5\n", "capabilities: reading evicting\n", "\"tarnixPermission\":\"viewer\""}) {
    EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << run.output;
  }
  const auto root = runTarnix(host_, "stat Acme /");
  EXPECT_NE(root.output.find("identifier: NSFileProviderRootContainerItemIdentifier\n"),
            std::string::npos)
      << root.output;
}

TEST_F(ItemsCommand, UnknownDrivesAndPathsFailWithAReason) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  for (const auto& c :
       {Case{"ls Nowhere", "No drive has the label or identifier \"Nowhere\""},
        Case{"ls Acme /missing", "/missing: no such item"},
        Case{"stat Acme report.pdf/x", "report.pdf/x: not a folder"},
        Case{"ls Acme /archive",
             "/archive: cannot list the folder: server unreachable (127.0.0.1:1)"},
        Case{"stat Acme archive/old.txt",
             "/archive: cannot list the folder: server unreachable (127.0.0.1:1)"}}) {
    const auto run = runTarnix(host_, c.arguments);
    EXPECT_EQ(run.status, 1) << c.arguments;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  }
}
