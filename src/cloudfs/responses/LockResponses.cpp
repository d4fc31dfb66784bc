#include "cloudfs/responses/LockResponses.hpp"

#include "cloudfs/detail/JSONFields.hpp"

namespace tarnix::cloudfs {

using detail::decodeBody;
using detail::JSONFields;

std::expected<LockFileResponse, CloudFSError> LockFileResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<LockFileResponse>(response, [](JSONFields& f) {
    return LockFileResponse{f.string("lock_token"), f.integer("timeout")};
  });
}

std::expected<LockFileAlreadyLockedResponse, CloudFSError> LockFileAlreadyLockedResponse::decode(
    const CloudFSResponse& response) {
  return decodeBody<LockFileAlreadyLockedResponse>(response, [](JSONFields& f) {
    LockFileAlreadyLockedResponse answer;
    if (const auto* owner = f.optionalObject("lock_owner")) {
      JSONFields o(*owner, f.name("lock_owner."));
      answer.lockOwner.identifier = o.integer("id");
      answer.lockOwner.firstName = o.optionalString("first_name").value_or("");
      answer.lockOwner.lastName = o.optionalString("last_name").value_or("");
      answer.lockOwner.email = o.optionalString("email");
      f.adopt(o);
    } else {
      f.fail("lock_owner");
    }
    answer.canUnlock = f.optionalBoolean("can_unlock").value_or(false);
    answer.lockDate = f.optionalInteger("lock_date").value_or(0);
    answer.lockExpiryDate = f.optionalInteger("lock_expiry_date").value_or(0);
    return answer;
  });
}

}  // namespace tarnix::cloudfs
