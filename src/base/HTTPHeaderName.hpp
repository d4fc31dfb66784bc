#pragma once
// Header names and content types the system sends and reads.
//
// Header names compare without regard to case, as HTTP defines them; `rawValue` keeps the
// spelling the system sends.

#include <string>
#include <string_view>

namespace tarnix::base {

/// True when `a` and `b` are equal ignoring ASCII case.
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);

struct HTTPHeaderName {
  std::string rawValue;

  HTTPHeaderName() = default;
  HTTPHeaderName(std::string name) : rawValue(std::move(name)) {}
  HTTPHeaderName(const char* name) : rawValue(name) {}

  bool operator==(const HTTPHeaderName& other) const {
    return equalsIgnoringASCIICase(rawValue, other.rawValue);
  }
  /// Orders by lower-cased name, so that maps keyed by header name ignore case.
  bool operator<(const HTTPHeaderName& other) const;

  static const HTTPHeaderName date, eTag, contentLength, contentType, accept, acceptEncoding,
      ifNoneMatch, lastModified, authorization, proxyAuthorization, userAgent, host, location,
      retryAfter, pragma, cacheControl, range, xZephyrMode, tarnixClientId, tarnixClientRevision,
      xConflictResolutionPath, xTarnixActionSource, xTarnixApplicationLifecycleTrace,
      xTarnixChunkNum, xTarnixChunkSha512Checksum, xTarnixChunkUploadSize, xTarnixChunked,
      xTarnixClientAppName, xTarnixClientAppVersion, xTarnixClientIP, xTarnixCustDomain,
      xTarnixCustUser, xTarnixDC, tarnixDomains, xTarnixErrorCode, xTarnixExtendedResponse,
      xTarnixLastChunk, xTarnixLockToken, xTarnixOriginalFilePlainSize, xTarnixPreviousEntryId,
      xTarnixProductType, xTarnixRequestId, xTarnixUploadId, xTarnixPath, xTarnixUserAgent,
      xSha512Checksum, xLatestEntryId;
};

inline const HTTPHeaderName HTTPHeaderName::date{"Date"};
inline const HTTPHeaderName HTTPHeaderName::eTag{"ETag"};
inline const HTTPHeaderName HTTPHeaderName::contentLength{"Content-Length"};
inline const HTTPHeaderName HTTPHeaderName::contentType{"Content-Type"};
inline const HTTPHeaderName HTTPHeaderName::accept{"Accept"};
inline const HTTPHeaderName HTTPHeaderName::acceptEncoding{"Accept-Encoding"};
inline const HTTPHeaderName HTTPHeaderName::ifNoneMatch{"If-None-Match"};
inline const HTTPHeaderName HTTPHeaderName::lastModified{"Last-Modified"};
inline const HTTPHeaderName HTTPHeaderName::authorization{"Authorization"};
inline const HTTPHeaderName HTTPHeaderName::proxyAuthorization{"Proxy-Authorization"};
inline const HTTPHeaderName HTTPHeaderName::userAgent{"User-Agent"};
inline const HTTPHeaderName HTTPHeaderName::host{"Host"};
inline const HTTPHeaderName HTTPHeaderName::location{"Location"};
inline const HTTPHeaderName HTTPHeaderName::retryAfter{"Retry-After"};
inline const HTTPHeaderName HTTPHeaderName::pragma{"Pragma"};
inline const HTTPHeaderName HTTPHeaderName::cacheControl{"Cache-Control"};
inline const HTTPHeaderName HTTPHeaderName::range{"Range"};
inline const HTTPHeaderName HTTPHeaderName::xZephyrMode{"X-Zephyr-Mode"};
inline const HTTPHeaderName HTTPHeaderName::tarnixClientId{"Tarnix-Client-Id"};
inline const HTTPHeaderName HTTPHeaderName::tarnixClientRevision{"Tarnix-Client-Revision"};
inline const HTTPHeaderName HTTPHeaderName::xConflictResolutionPath{"X-Conflict-Resolution-Path"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixActionSource{"X-Tarnix-Action-Source"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixApplicationLifecycleTrace{
    "X-Tarnix-Application-Lifecycle-Trace"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixChunkNum{"X-Tarnix-Chunk-Num"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixChunkSha512Checksum{
    "X-Tarnix-Chunk-Sha512-Checksum"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixChunkUploadSize{"X-Tarnix-Chunk-Upload-Size"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixChunked{"X-Tarnix-Chunked"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixClientAppName{"X-Tarnix-Client-App-Name"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixClientAppVersion{"X-Tarnix-Client-App-Version"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixClientIP{"X-Tarnix-Client-IP"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixCustDomain{"X-Tarnix-Cust-Domain"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixCustUser{"X-Tarnix-Cust-User"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixDC{"X-Tarnix-DC"};
inline const HTTPHeaderName HTTPHeaderName::tarnixDomains{"Tarnix_Domains"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixErrorCode{"X-Tarnix-ErrorCode"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixExtendedResponse{"X-Tarnix-Extended-Response"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixLastChunk{"X-Tarnix-Last-Chunk"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixLockToken{"X-Tarnix-Lock-Token"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixOriginalFilePlainSize{
    "X-Tarnix-Original-File-Plain-Size"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixPreviousEntryId{"X-Tarnix-Previous-EntryId"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixProductType{"X-Tarnix-Product-Type"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixRequestId{"X-Tarnix-Request-Id"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixUploadId{"X-Tarnix-Upload-Id"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixPath{"X-Tarnix-Path"};
inline const HTTPHeaderName HTTPHeaderName::xTarnixUserAgent{"X-Tarnix-User-Agent"};
inline const HTTPHeaderName HTTPHeaderName::xSha512Checksum{"X-Sha512-Checksum"};
inline const HTTPHeaderName HTTPHeaderName::xLatestEntryId{"X-Latest-Entry-Id"};

/// Content-type values the system sends.
namespace HTTPContentType {
inline constexpr std::string_view json = "application/json";
inline constexpr std::string_view formURLEncoded =
    "application/x-www-form-urlencoded; charset=utf-8";
}  // namespace HTTPContentType

}  // namespace tarnix::base
