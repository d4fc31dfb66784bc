#pragma once
// Facts fixed when the program was built.

#include <string_view>

namespace tarnix::base {

enum class DeploymentEnvironment { dev, qa, staging, release };

/// "dev", "qa", "staging", "release"; any other text (or none) means dev.
DeploymentEnvironment deploymentEnvironmentFromString(std::string_view text);
std::string_view deploymentEnvironmentName(DeploymentEnvironment environment);

namespace BuildInfo {
/// The environment this build targets (CMake option TARNIX_DEPLOYMENT_ENVIRONMENT).
DeploymentEnvironment targetDeploymentEnvironment();
}  // namespace BuildInfo

}  // namespace tarnix::base
