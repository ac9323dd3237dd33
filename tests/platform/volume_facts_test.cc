#include "platform/kernel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/mounts.h"
#include "support/temp_tree.h"

// Every test here mounts file systems of Linux's own.
#if defined(__linux__)

namespace tessaly {
namespace {

using testing::Mounts;
using testing::TempDir;

bool one_device_below(const std::string& root) {
  return platform::system_kernel().volume_facts(root.c_str()).one_device_below;
}

TEST(VolumeFacts, OneDeviceHoldsUntilAMountLiesBelow) {
  TempDir dir;
  const std::string outer = dir.make_dir("outer");
  Mounts mounts;
  MOUNT_OR_SKIP(mounts, "tmpfs", outer);
  dir.make_dir("outer/a/b/c");
  dir.make_dir("outer/a/inner");
  EXPECT_TRUE(one_device_below(outer));
  EXPECT_TRUE(one_device_below(outer + "/a"));

  MOUNT_OR_SKIP(mounts, "tmpfs", outer + "/a/inner");
  EXPECT_FALSE(one_device_below(outer));
  EXPECT_FALSE(one_device_below(outer + "/a"));
  EXPECT_FALSE(one_device_below(outer + "/a/"));
  // The mounted file system itself, and a sibling of its mount point, still
  // have nothing mounted below them.
  EXPECT_TRUE(one_device_below(outer + "/a/inner"));
  EXPECT_TRUE(one_device_below(outer + "/a/b"));
  // A name that only starts like the mount point's is not above it.
  dir.make_dir("outer/a/inne");
  EXPECT_TRUE(one_device_below(outer + "/a/inne"));
}

TEST(VolumeFacts, TheRootIsResolvedBeforeTheTableIsRead) {
  TempDir dir;
  const std::string outer = dir.make_dir("outer");
  Mounts mounts;
  MOUNT_OR_SKIP(mounts, "tmpfs", outer);
  dir.make_dir("outer/a/inner");
  dir.make_dir("outer/b");
  MOUNT_OR_SKIP(mounts, "tmpfs", outer + "/a/inner");
  // Reached through a link, or spelled with dot-dot, "a" is still the
  // directory the mount lies below.
  dir.make_symlink("a", "outer/b/to_a");
  EXPECT_FALSE(one_device_below(outer + "/b/to_a"));
  EXPECT_FALSE(one_device_below(outer + "/b/../a"));
  dir.make_symlink("../a/inner", "outer/b/to_inner");
  EXPECT_TRUE(one_device_below(outer + "/b/to_inner"));
}

TEST(VolumeFacts, NothingIsClaimedForOtherFileSystemsOrMissingRoots) {
  TempDir dir;
  const std::string outer = dir.make_dir("outer");
  Mounts mounts;
  // ramfs has no mount below it either, but it is not among the file systems
  // known to give every directory the same device.
  MOUNT_OR_SKIP(mounts, "ramfs", outer);
  EXPECT_FALSE(one_device_below(outer));
  EXPECT_FALSE(one_device_below(dir.at("missing")));
  EXPECT_FALSE(one_device_below("/"));
}

}  // namespace
}  // namespace tessaly

#endif  // defined(__linux__)
