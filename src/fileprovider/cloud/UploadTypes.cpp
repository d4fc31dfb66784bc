#include "fileprovider/cloud/UploadTypes.hpp"

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

std::string UploadInfo::json() const {
  return base::JSONValue{{"contentSize", contentSize},
                         {"filePath", filePath},
                         {"driveIdentifier", driveIdentifier},
                         {"completedUploadBytes", completedUploadBytes}}
      .dump();
}

std::string UploadCompletedEvent::json() const {
  return base::JSONValue{
      {"location", location}, {"driveIdentifier", driveIdentifier}, {"successful", successful}}
      .dump();
}

}  // namespace tarnix::fileprovider
