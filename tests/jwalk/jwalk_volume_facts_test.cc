// The jwalk engine leaves out the device stat of each directory only where
// the volume facts say every directory below the root is on its device.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "jwalk/jwalk_engine.h"
#include "support/fault_tree.h"
#include "support/faulty_kernel.h"
#include "support/mounts.h"
#include "support/temp_tree.h"

// Every test here mounts file systems of Linux's own.
#if defined(__linux__)

namespace tessaly {
namespace {

using testing::Mounts;
using testing::TempDir;

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
  // The engine looks at the root once for its device and once for a Data
  // volume of a volume group (none here); the device rule looks at the root
  // again and at every directory below it, unless it is told.
  EXPECT_EQ(untold.following_stats.load(), 3 + kDirectories);
  EXPECT_EQ(told.following_stats.load(), 2);

  // With a volume mounted below, every directory is looked at again, and the
  // volume is left out.
  dir.make_dir("root/a/mnt");
  MOUNT_OR_SKIP(mounts, "tmpfs", dir.at("root/a/mnt"));
  dir.write_file("root/a/mnt/hidden", 5000);
  CountingKernel again(true);
  const auto with_mount = scan_with_jwalk(again.kernel, root, 8, {});
  ASSERT_TRUE(with_mount.has_value()) << with_mount.error();
  EXPECT_EQ(again.following_stats.load(), 3 + kDirectories + 1);
  EXPECT_EQ((*with_mount)->files_found, (*fast)->files_found);
  EXPECT_EQ((*with_mount)->dirs_found, (*fast)->dirs_found);
}

}  // namespace
}  // namespace tessaly

#endif  // defined(__linux__)
