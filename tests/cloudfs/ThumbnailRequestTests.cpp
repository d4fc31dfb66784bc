// The thumbnail requests as they go on the wire: method, URL with its query in order, and no
// headers or body of their own.

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "cloudfs/requests/ThumbnailRequests.hpp"

using namespace tarnix::cloudfs;

namespace {

struct ThumbnailCase {
  std::string name;
  std::function<std::unique_ptr<CloudFSRequestPrototype>()> make;
  std::string url;
};

const std::string kDownload =
    "https://drive.example/api/v1/fs-content-download/thumbnail/ids/file/";
const std::string kGenerate = "https://drive.example/opendocument.do?";

std::vector<ThumbnailCase> thumbnailCases() {
  using Crop = ThumbnailCropType;
  return {
      {"download, proportional, expected version",
       [] {
         return std::make_unique<DownloadThumbnailRequest>("g42", "e7", Crop::proportional, 128,
                                                           96);
       },
       kDownload + "g42?type=proportional&width=128&height=96&entryId=e7"},
      {"download, centre, any version",
       [] {
         return std::make_unique<DownloadThumbnailRequest>("g42", std::nullopt, Crop::center, 64,
                                                           64);
       },
       kDownload + "g42?type=center&width=64&height=64"},
      {"download, a group id that is not a plain segment stays one segment",
       [] {
         return std::make_unique<DownloadThumbnailRequest>("../a b", std::nullopt, Crop::center, 1,
                                                           1);
       },
       kDownload + "..%2Fa%20b?type=center&width=1&height=1"},
      {"generate, thumbnail only",
       [] {
         return std::make_unique<GenerateThumbnailRequest>("e7", Crop::center, 32, 48, true, false);
       },
       kGenerate + "entryId=e7&type=center&w=32&h=48&thumbNail=true&preview=false"},
      {"generate, preview forced to download in a format",
       [] {
         return std::make_unique<GenerateThumbnailRequest>("e7", Crop::proportional, 800, 600,
                                                           false, true, true, "png");
       },
       kGenerate + "entryId=e7&type=proportional&w=800&h=600&thumbNail=false&preview=true&"
                   "forceDownload=true&"
                   "format=png"},
      {"generate, a version id with query characters",
       [] {
         return std::make_unique<GenerateThumbnailRequest>("e&7=", Crop::center, 1, 1, true, true);
       },
       kGenerate + "entryId=e%267%3D&type=center&w=1&h=1&thumbNail=true&preview=true"},
  };
}

}  // namespace

TEST(ThumbnailRequestTests, OnTheWire) {
  for (const auto& c : thumbnailCases()) {
    SCOPED_TRACE(c.name);
    auto request = c.make();
    auto built = buildURLRequest(*request, "drive.example");
    ASSERT_TRUE(built.has_value()) << built.error().description();
    EXPECT_EQ(built->method.rawValue, "GET");
    EXPECT_EQ(built->url, c.url);
    EXPECT_TRUE(built->headers.empty());
    EXPECT_FALSE(built->body.has_value());
  }
}
