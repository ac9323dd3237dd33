// The bulk engine leaves out the lookups of subdirectories where the volume
// facts say nothing is mounted below the root (a volume mounted below is left
// out whatever the facts: BulkEngineTest).
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "bulk/bulk_engine.h"
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

// Counts the lookups of entries: relative to their directory, and not of the
// directory itself.
struct CountingKernel {
  explicit CountingKernel(bool share_facts) {
    kernel.share_volume_facts = share_facts;
    kernel.on_stat = [this](const testing::KernelCall& call) {
      if (call.dir_fd != AT_FDCWD && call.name != ".") ++entry_lookups;
      return 0;
    };
  }
  testing::FaultyKernel kernel;
  std::atomic<int> entry_lookups{0};
};

TEST(BulkVolumeFacts, OneDeviceBelowSparesTheLookupsOfSubdirectories) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  Mounts mounts;
  MOUNT_OR_SKIP(mounts, "tmpfs", root);
  // The root holds four directories and nothing else: none is looked up, the
  // lookup of the root itself showing search permission. Each holds one file.
  for (const char* path : {"a/x", "b/y", "c/z", "d/w"}) {
    dir.write_file(std::string("root/") + path, 5000);
  }

  CountingKernel told(true);
  CountingKernel untold(false);
  const auto fast = scan_with_bulk_attrs(told.kernel, root, 8, {});
  const auto slow = scan_with_bulk_attrs(untold.kernel, root, 8, {});
  ASSERT_TRUE(fast.has_value()) << fast.error();
  ASSERT_TRUE(slow.has_value()) << slow.error();
  EXPECT_EQ((*fast)->dirs_found, 4u);
  EXPECT_EQ((*fast)->files_found, 4u);
  EXPECT_EQ(testing::describe_result(**fast), testing::describe_result(**slow));
  EXPECT_EQ(untold.entry_lookups.load(), 8);
  EXPECT_EQ(told.entry_lookups.load(), 4);
}

}  // namespace
}  // namespace tessaly

#endif  // defined(__linux__)
