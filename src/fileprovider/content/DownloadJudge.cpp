#include "fileprovider/content/DownloadJudge.hpp"

#include "fileprovider/content/DownloadResponse.hpp"

namespace tarnix::fileprovider {

bool isTransientStatus(int status) {
  return status == 500 || status == 502 || status == 503 || status == 504;
}

DownloadVerdict judgeDownloadAnswer(const DownloadAnswer& answer) {
  const int status = answer.response.statusCode;
  std::optional<cloudfs::ByteRange> range = answer.requestedRange;
  if (range && range->length < 1) range.reset();

  if (status != 200 && status != 206) {
    if (status == 416 && range) return DownloadVerdict::downloadWhole();
    return DownloadVerdict::reject(isTransientStatus(status) ? DownloadRejection::transientStatus
                                                             : DownloadRejection::status);
  }
  if (answer.expectedVersion && !entityTagNames(answer.response, *answer.expectedVersion)) {
    return DownloadVerdict::reject(DownloadRejection::otherVersion);
  }
  const std::int64_t received = answer.bytesReceived;
  if (status == 200) return DownloadVerdict::accept({0, received});

  const auto contentRange = parseContentRange(answer.response);
  if (!range) {
    // A resumed answer holds the rest of the file; with what it resumed from, all of it.
    if (!contentRange || contentRange->last + 1 != received ||
        contentRange->completeLength != received) {
      return DownloadVerdict::reject(DownloadRejection::badLength);
    }
    return DownloadVerdict::accept({0, received});
  }
  if (!contentRange || contentRange->last - contentRange->first + 1 != received) {
    return DownloadVerdict::reject(DownloadRejection::badLength);
  }
  if (contentRange->first > range->location || contentRange->last < range->location) {
    return DownloadVerdict::downloadWhole();
  }
  return DownloadVerdict::accept({contentRange->first, received});
}

}  // namespace tarnix::fileprovider
