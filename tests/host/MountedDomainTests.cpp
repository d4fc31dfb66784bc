// Starting a mounted domain when the provider does not start: a clear error, and nothing left
// running or half made (no FUSE needed: the start ends before the mount).
#include "host/MountedDomain.hpp"

#include <gtest/gtest.h>

#include "support/TempDir.hpp"

namespace tarnix::host {
namespace {

TEST(MountedDomainTest, AProviderThatDoesNotStartIsAClearError) {
  testing::TempDir dir("tarnix-mounted");
  MountOptions options;
  options.domain = {platform::fileprovider::DomainIdentifier("drive-1"), "Drive"};
  options.mountPoint = dir.path() / "mnt";
  options.stateDirectory = dir.path() / "state";
  auto mounted = MountedDomain::mount(
      options,
      [](const platform::fileprovider::Domain&, platform::fileprovider::ManagerPtr) {
        return platform::fileprovider::ReplicatedExtensionPtr();
      },
      base::Logger::null());
  ASSERT_FALSE(mounted);
  EXPECT_EQ(mounted.error(), "the provider did not start for this drive");
}

}  // namespace
}  // namespace tarnix::host
