#pragma once
// Service discovery, the connectivity check and the desktop sync back end's precheck.

#include <optional>
#include <string>
#include <vector>

#include "cloudfs/CloudFSRequestPrototype.hpp"

namespace tarnix::cloudfs {

class ServiceDiscoveryRequest final : public CloudFSRequestPrototype {
 public:
  std::string path() const override { return "/rest/public/1.0/servicediscovery"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::get; }
};

/// HEAD of the connectivity-check file, uncached, with a 15-second time-out.
class HeartBeatRequest final : public CloudFSRequestPrototype {
 public:
  explicit HeartBeatRequest(std::optional<std::string> host = std::nullopt)
      : host(std::move(host)) {}

  /// Asks this host instead of the drive's.
  std::optional<std::string> host;

  std::string path() const override { return "/downloads/test/tx-client-check.txt"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::head; }
  HTTPHeaders headers() const override;
  double timeoutInterval() const override { return 15; }
  void configure(URLComponents& components, std::string_view domain) const override;
};

/// Requests of the desktop sync back end go to the host "sync-" + the drive's domain.
class SyncBackendRequestPrototype : public CloudFSRequestPrototype {
 public:
  HTTPHeaders headers() const override;
  void configure(URLComponents& components, std::string_view domain) const override;
};

class IfflPrecheckRequest final : public SyncBackendRequestPrototype {
 public:
  explicit IfflPrecheckRequest(std::vector<std::string> rootPaths)
      : rootPaths(std::move(rootPaths)) {}

  std::vector<std::string> rootPaths;

  std::string path() const override { return "/v5/iffl/precheck"; }
  base::HTTPMethod method() const override { return base::HTTPMethod::post; }
  /// {"root_paths": [paths]}.
  std::expected<std::optional<std::string>, CloudFSError> body() const override;
};

}  // namespace tarnix::cloudfs
