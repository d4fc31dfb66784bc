#include "cloudfs/requests/UploadRequests.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using base::HTTPHeaderName;

std::string UploadFileByPathRequest::path() const {
  return "/api/v1/fs-content" + percentEncodePath(cloudPath);
}

HTTPHeaders UploadFileByPathRequest::headers() const {
  HTTPHeaders headers;
  if (sha512Checksum) headers[HTTPHeaderName::xSha512Checksum] = *sha512Checksum;
  if (lastModified) headers[HTTPHeaderName::lastModified] = base::formatHTTPDate(*lastModified);
  if (previousEntryID) headers[HTTPHeaderName::xTarnixPreviousEntryId] = *previousEntryID;
  if (lockToken) headers[HTTPHeaderName::xTarnixLockToken] = *lockToken;
  return headers;
}

std::string ChunkUploadByPathRequest::path() const {
  return "/api/v1/fs-content-chunked" + percentEncodePath(cloudPath);
}

HTTPHeaders ChunkUploadByPathRequest::headers() const {
  HTTPHeaders headers;
  if (uploadID && chunkNumber > 1) headers[HTTPHeaderName::xTarnixUploadId] = *uploadID;
  if (isLastChunk) headers[HTTPHeaderName::xTarnixLastChunk] = *isLastChunk ? "true" : "false";
  if (previousEntryID) headers[HTTPHeaderName::xTarnixPreviousEntryId] = *previousEntryID;
  if (lastModified) headers[HTTPHeaderName::lastModified] = base::formatHTTPDate(*lastModified);
  headers[HTTPHeaderName::xTarnixChunkNum] = std::to_string(chunkNumber);
  headers[HTTPHeaderName::xTarnixChunkSha512Checksum] = chunkChecksum;
  headers[HTTPHeaderName::xTarnixOriginalFilePlainSize] = std::to_string(originalFileSize);
  headers[HTTPHeaderName::xTarnixChunked] = "true";
  headers[HTTPHeaderName::contentType] = "application/octet-stream";
  return headers;
}

std::string LatestFileMetadataByPathRequest::path() const {
  return "/api/v1/fs" + percentEncodePath(cloudPath);
}

std::expected<UploadFileByPathResponse, CloudFSError> UploadFileByPathResponse::decode(
    const CloudFSResponse& response) {
  return detail::decodeBody<UploadFileByPathResponse>(response, [](detail::JSONFields& f) {
    UploadFileByPathResponse r;
    r.path = f.string("path");
    r.groupID = f.identifier("group_id");
    r.entryID = f.identifier("entry_id");
    r.checksum = f.optionalString("checksum");
    r.conflictResolutionPath = f.optionalString("conflict_resolution_path");
    return r;
  });
}

}  // namespace tarnix::cloudfs
