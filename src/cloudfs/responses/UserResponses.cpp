#include "cloudfs/responses/UserResponses.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeBody;
using detail::JSONFields;

std::expected<CurrentUserResponse, CloudFSError> CurrentUserResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<CurrentUserResponse>(response, [](JSONFields& f) {
    CurrentUserResponse user;
    user.id = f.integer("id");
    // Identifier 0 stands for a user not known; the cloud never gives it to a user.
    if (f.ok() && user.id <= 0) f.fail("id");
    user.username = f.string("username");
    user.firstName = f.optionalString("firstName").value_or("");
    user.lastName = f.optionalString("lastName").value_or("");
    user.email = f.optionalString("email").value_or("");
    return user;
  });
}

}  // namespace tarnix::cloudfs
