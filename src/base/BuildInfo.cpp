#include "base/BuildInfo.hpp"

#ifndef TARNIX_DEPLOYMENT_ENVIRONMENT
#define TARNIX_DEPLOYMENT_ENVIRONMENT "dev"
#endif

namespace tarnix::base {

DeploymentEnvironment deploymentEnvironmentFromString(std::string_view text) {
  if (text == "qa") return DeploymentEnvironment::qa;
  if (text == "staging") return DeploymentEnvironment::staging;
  if (text == "release") return DeploymentEnvironment::release;
  return DeploymentEnvironment::dev;
}

std::string_view deploymentEnvironmentName(DeploymentEnvironment environment) {
  switch (environment) {
    case DeploymentEnvironment::dev:
      return "dev";
    case DeploymentEnvironment::qa:
      return "qa";
    case DeploymentEnvironment::staging:
      return "staging";
    case DeploymentEnvironment::release:
      return "release";
  }
  return "dev";
}

DeploymentEnvironment BuildInfo::targetDeploymentEnvironment() {
  return deploymentEnvironmentFromString(TARNIX_DEPLOYMENT_ENVIRONMENT);
}

}  // namespace tarnix::base
