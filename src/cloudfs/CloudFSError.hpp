#pragma once
// Errors of building cloud requests and decoding their responses.

#include <string>

namespace tarnix::cloudfs {

struct CloudFSError {
  enum class Kind {
    invalidURL,
    internalError,
    missingHeader,
    bodyEncodingError,
    fieldParsingError,
    serverResponseError,
    headerParsingError,
    missingBody,
    queryEncodingError,
  };

  Kind kind = Kind::internalError;
  /// The path (invalidURL), reason (internalError), header or field name (missingHeader,
  /// fieldParsingError, headerParsingError) or the underlying error's description
  /// (bodyEncodingError).
  std::string detail;
  /// The header's value (headerParsingError).
  std::string value;
  /// The status (serverResponseError).
  int statusCode = 0;

  static CloudFSError invalidURL(std::string path) {
    return make(Kind::invalidURL, std::move(path));
  }
  static CloudFSError internalError(std::string reason) {
    return make(Kind::internalError, std::move(reason));
  }
  static CloudFSError missingHeader(std::string name) {
    return make(Kind::missingHeader, std::move(name));
  }
  static CloudFSError bodyEncodingError(std::string underlying) {
    return make(Kind::bodyEncodingError, std::move(underlying));
  }
  static CloudFSError fieldParsingError(std::string name) {
    return make(Kind::fieldParsingError, std::move(name));
  }
  static CloudFSError serverResponseError(int statusCode) {
    return make(Kind::serverResponseError, {}, {}, statusCode);
  }
  static CloudFSError headerParsingError(std::string name, std::string value) {
    return make(Kind::headerParsingError, std::move(name), std::move(value));
  }
  static CloudFSError missingBody() { return make(Kind::missingBody); }
  static CloudFSError queryEncodingError() { return make(Kind::queryEncodingError); }

  bool operator==(const CloudFSError&) const = default;
  std::string description() const;

 private:
  static CloudFSError make(Kind kind, std::string detail = {}, std::string value = {},
                           int statusCode = 0) {
    CloudFSError error;
    error.kind = kind;
    error.detail = std::move(detail);
    error.value = std::move(value);
    error.statusCode = statusCode;
    return error;
  }
};

/// The error code text of the "X-Tarnix-ErrorCode" header or an error body.
struct CloudFSErrorCode {
  std::string rawValue;
  bool operator==(const CloudFSErrorCode&) const = default;
};

}  // namespace tarnix::cloudfs
