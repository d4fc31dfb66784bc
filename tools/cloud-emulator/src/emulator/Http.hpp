#pragma once
// The emulator's own view of an HTTP exchange, independent of the network library, so that the
// request handlers are plain functions of values.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/JSONValue.hpp"

namespace tarnix::emulator {

using NameValues = std::vector<std::pair<std::string, std::string>>;

struct Request {
  std::string method;                             // "GET", "POST", ...
  std::string target;                             // as received: path and query
  std::string path;                               // percent-decoded path
  NameValues query;                               // percent-decoded items, in order
  NameValues headers;                             // as received
  std::string body;                               // small bodies
  std::optional<std::filesystem::path> bodyFile;  // large bodies, spooled to the data folder

  /// Case-insensitive header lookup (first occurrence).
  std::optional<std::string> header(std::string_view name) const;
  std::optional<std::string> queryValue(std::string_view name) const;
  std::vector<std::string> queryValues(std::string_view name) const;
  /// The Host header without its port, lower-case.
  std::string hostName() const;
};

/// Part of a stored file sent as a body without reading it into memory.
struct FileSlice {
  std::filesystem::path file;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct Response {
  int status = 200;
  NameValues headers;
  std::string body;
  std::optional<FileSlice> file;  // when set, the body is this slice
  bool close = false;             // close the connection after this answer

  void set(std::string name, std::string value);
  std::optional<std::string> header(std::string_view name) const;
  std::uint64_t bodySize() const { return file ? file->length : body.size(); }

  static Response json(int status, const base::JSONValue& value);
  static Response empty(int status);
};

/// An error the cloud reports: its status and the JSON error body fields clients read.
struct ApiError {
  ApiError() = default;
  ApiError(int status, std::string message, std::optional<std::string> code = std::nullopt,
           NameValues inputErrors = {}, std::optional<base::JSONValue> body = std::nullopt)
      : status(status),
        message(std::move(message)),
        code(std::move(code)),
        inputErrors(std::move(inputErrors)),
        body(std::move(body)) {}

  int status = 500;
  std::string message;
  std::optional<std::string> code;      // also sent as "X-Tarnix-ErrorCode"
  NameValues inputErrors;               // (name, code) pairs
  std::optional<base::JSONValue> body;  // a body of its own instead of the error fields
};

Response errorResponse(const ApiError& error);

/// Splits "/a%20b?x=1&y" into its decoded path and query items. None when the path does not
/// start with '/' or holds a bad escape.
std::optional<std::pair<std::string, NameValues>> parseTarget(std::string_view target);
std::optional<std::string> percentDecode(std::string_view text, bool plusIsSpace);
std::string percentEncodePath(std::string_view path);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace tarnix::emulator
