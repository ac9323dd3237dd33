#include "platform/kernel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "jwalk/jwalk_engine.h"
#include "support/fault_tree.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

// Every test here mounts file systems of Linux's own.
#if defined(__linux__)

namespace tessaly {
namespace {

using testing::TempDir;

// Mounts made by one test, detached again (innermost first) when it ends.
class Mounts {
 public:
  Mounts() = default;
  Mounts(const Mounts&) = delete;
  Mounts& operator=(const Mounts&) = delete;
  ~Mounts() {
    for (auto it = points_.rbegin(); it != points_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
  }
  // Mounts a fresh file system of `type` at `point`; false (errno set) when
  // this machine does not allow it.
  bool add(const std::string& type, const std::string& point) {
    if (::mount("tessaly-test", point.c_str(), type.c_str(), 0, "size=8m") != 0) return false;
    points_.push_back(point);
    return true;
  }

 private:
  std::vector<std::string> points_;
};

#define MOUNT_OR_SKIP(mounts, type, point)                                           \
  if (!(mounts).add(type, point)) {                                                  \
    GTEST_SKIP() << "cannot mount a " << (type) << " here (" << std::strerror(errno) \
                 << "); what the mount table proves is not exercised";               \
  }

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

// Counts the stat calls that follow links: the engine makes them for the root
// and, unless the tree is known to be on one device, for every directory.
struct CountingKernel {
  explicit CountingKernel(bool share_facts) {
    kernel.share_volume_facts = share_facts;
    kernel.on_stat = [this](const testing::KernelCall& call) {
      if (call.follow) ++following_stats;
      return 0;
    };
  }
  testing::FaultyKernel kernel;
  std::atomic<int> following_stats{0};
};

TEST(VolumeFacts, TheJwalkEngineSkipsTheDeviceStatOnlyWhereTheyHold) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  Mounts mounts;
  MOUNT_OR_SKIP(mounts, "tmpfs", root);
  for (const char* path : {"a/x", "a/b/y", "a/b/c/z", "d/w", "e/f/g/h/v"}) {
    dir.write_file(std::string("root/") + path, 5000);
  }
  dir.make_dir("root/empty");
  constexpr int kDirectories = 9;  // a b c d e f g h empty

  CountingKernel told(true);
  CountingKernel untold(false);
  const auto fast = scan_with_jwalk(told.kernel, root, 8, {});
  const auto slow = scan_with_jwalk(untold.kernel, root, 8, {});
  ASSERT_TRUE(fast.has_value()) << fast.error();
  ASSERT_TRUE(slow.has_value()) << slow.error();
  EXPECT_EQ((*fast)->dirs_found, static_cast<std::uint64_t>(kDirectories));
  EXPECT_EQ(testing::describe_result(**fast), testing::describe_result(**slow));
  // The engine looks at the root once for its device; the device rule looks
  // at the root again and at every directory below it, unless it is told.
  EXPECT_EQ(untold.following_stats.load(), 2 + kDirectories);
  EXPECT_EQ(told.following_stats.load(), 1);

  // With a volume mounted below, every directory is looked at again, and the
  // volume is left out.
  dir.make_dir("root/a/mnt");
  MOUNT_OR_SKIP(mounts, "tmpfs", dir.at("root/a/mnt"));
  dir.write_file("root/a/mnt/hidden", 5000);
  CountingKernel again(true);
  const auto with_mount = scan_with_jwalk(again.kernel, root, 8, {});
  ASSERT_TRUE(with_mount.has_value()) << with_mount.error();
  EXPECT_EQ(again.following_stats.load(), 2 + kDirectories + 1);
  EXPECT_EQ((*with_mount)->files_found, (*fast)->files_found);
  EXPECT_EQ((*with_mount)->dirs_found, (*fast)->dirs_found);
}

}  // namespace
}  // namespace tessaly

#endif  // defined(__linux__)
