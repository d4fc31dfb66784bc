#pragma once
// The signed-in user, in the shape the file-system index gives an item's owner.

#include <cstdint>
#include <expected>
#include <string>

#include "cloudfs/CloudFSError.hpp"
#include "cloudfs/CloudFSResponse.hpp"

namespace tarnix::cloudfs {

struct CurrentUserResponse {
  std::int64_t id = 0;    // "id", required and positive
  std::string username;   // "username", required
  std::string firstName;  // "firstName", may be absent
  std::string lastName;   // "lastName", may be absent
  std::string email;      // "email", may be absent

  static std::expected<CurrentUserResponse, CloudFSError> decode(const CloudFSResponse& response);
};

}  // namespace tarnix::cloudfs
