#include "fileprovider/upload/UploadTypes.hpp"

#include "base/JSONValue.hpp"

namespace tarnix::fileprovider {

std::string UploadInfo::json() const {
  return base::JSONValue{{"contentSize", contentSize},
                         {"filePath", filePath},
                         {"driveIdentifier", driveIdentifier},
                         {"completedUploadBytes", completedUploadBytes}}
      .dump();
}

}  // namespace tarnix::fileprovider
