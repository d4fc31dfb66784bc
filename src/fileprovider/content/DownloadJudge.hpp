#pragma once
// The one judge of a download's answer, for whole files and byte ranges alike: whether the body
// is what was asked for (and which bytes of the file it holds), is refused and why, or whether
// the range cannot be served and the whole file should be asked for instead. A plain function
// of the values it is given; it reads no clock, file or setting.

#include <cstdint>
#include <optional>

#include "cloudfs/URLRequest.hpp"
#include "cloudfs/requests/DownloadRequests.hpp"
#include "common/SyncIdentifiers.hpp"

namespace tarnix::fileprovider {

struct DownloadAnswer {
  /// The status and headers ("ETag", "Content-Range") of the answer.
  cloudfs::HTTPURLResponse response;
  /// The version asked for; the answer's "ETag" must name it.
  std::optional<common::CloudEntryIdentifier> expectedVersion;
  /// The bytes asked for; none (or a length below 1, which sends no "Range"): the whole file.
  std::optional<cloudfs::ByteRange> requestedRange;
  /// The size of the body file (for a resumed whole-file download, with the bytes it resumed
  /// from).
  std::int64_t bytesReceived = 0;
};

enum class DownloadDecision {
  /// The body holds `delivered` of the file asked for.
  accept,
  /// Nothing of the body may be used.
  reject,
  /// The range asked for cannot be served as asked: ask for the whole file.
  downloadWhole,
};

enum class DownloadRejection {
  none,
  /// A status the caller maps to its error (404, 403, 401, 429, ...).
  status,
  /// A status that may pass when asked again: 500, 502, 503, 504.
  transientStatus,
  /// The answer is of another version than the one asked for (or names none).
  otherVersion,
  /// The answer's length or "Content-Range" does not add up.
  badLength,
};

struct DownloadVerdict {
  DownloadDecision decision = DownloadDecision::reject;
  DownloadRejection rejection = DownloadRejection::none;
  /// accept: the bytes of the file the body holds (all of it for a 200).
  cloudfs::ByteRange delivered;

  static DownloadVerdict accept(cloudfs::ByteRange delivered) {
    return {DownloadDecision::accept, DownloadRejection::none, delivered};
  }
  static DownloadVerdict reject(DownloadRejection why) {
    return {DownloadDecision::reject, why, {}};
  }
  static DownloadVerdict downloadWhole() {
    return {DownloadDecision::downloadWhole, DownloadRejection::none, {}};
  }
  bool operator==(const DownloadVerdict&) const = default;
};

/// 500, 502, 503 and 504: the server's trouble of the moment.
bool isTransientStatus(int status);

/// Statuses other than 200 and 206 are refused (a 416 to a range asks for the whole file),
/// then an answer of another version; a 200 is the whole file; a 206 must say with
/// "Content-Range" which bytes it holds, as many as arrived: up to the end of the file when the
/// whole file was asked for (a resumed download holds the start already), and a range that
/// holds the first byte asked for when a range was (else the whole file is asked for).
DownloadVerdict judgeDownloadAnswer(const DownloadAnswer& answer);

}  // namespace tarnix::fileprovider
