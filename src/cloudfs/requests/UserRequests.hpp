#pragma once
// Who the credentials belong to: the signed-in user of the public interface.

#include <string>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

/// GET "/rest/public/1.0/users/me", answered with `CurrentUserResponse`.
class CurrentUserRequest final : public CloudFSRequestPrototype {
 public:
  std::string path() const override { return "/rest/public/1.0/users/me"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
  double timeoutInterval() const override { return 30; }
};

}  // namespace tarnix::cloudfs
