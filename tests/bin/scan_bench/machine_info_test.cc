#include "bin/scan_bench/machine_info.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/statfs.h>
#endif

#include <string>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

// Linux's /proc and its superblock magic numbers.
#if defined(__linux__)
// The type names for the superblock magic numbers this test knows.
std::string fs_name_from_magic(const std::string& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) return {};
  switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53UL:
      return "ext4";
    case 0x794C7630UL:
      return "overlay";
    case 0x01021994UL:
      return "tmpfs";
    case 0x58465342UL:
      return "xfs";
    case 0x9123683EUL:
      return "btrfs";
    case 0x9FA0UL:
      return "proc";
    default:
      return {};
  }
}

TEST(DetectFsType, ProcIsProc) {
  EXPECT_EQ(detect_fs_type("/proc"), "proc");
  EXPECT_EQ(detect_fs_type("/proc/self/"), "proc");
}

TEST(DetectFsType, ResolvesLinksBeforeMatching) {
  TempDir dir;
  dir.make_symlink("/proc", "to-proc");
  EXPECT_EQ(detect_fs_type(dir.at("to-proc")), "proc");
  EXPECT_EQ(detect_fs_type(dir.at("to-proc/self/..")), "proc");
}

TEST(DetectFsType, AgreesWithTheSuperblockOfATemporaryTree) {
  TempDir dir;
  const std::string expected = fs_name_from_magic(dir.path());
  if (expected.empty() || expected == "ext4") {
    // ext2, ext3 and ext4 share one magic number, and others are not mapped.
    const std::string type = detect_fs_type(dir.path());
    EXPECT_NE(type, "unknown");
    if (expected == "ext4") {
      EXPECT_TRUE(type == "ext2" || type == "ext3" || type == "ext4") << type;
    }
    return;
  }
  EXPECT_EQ(detect_fs_type(dir.path()), expected);
}
#endif  // defined(__linux__)

TEST(DetectFsType, UnresolvableRootFallsBackToItsText) {
  // A missing path is matched as typed: under "/" it takes the root's type.
  EXPECT_EQ(detect_fs_type("/no-such-dir-for-tessaly/x"), detect_fs_type("/"));
  EXPECT_EQ(detect_fs_type("no-such-relative-dir-for-tessaly"), "unknown");
  EXPECT_EQ(detect_fs_type(""), "unknown");
}

TEST(DescribeMachine, NamesThisBuildAndCountsOnlineProcessors) {
  TempDir dir;
  const MachineInfo info = describe_machine(dir.path());
  // The system this test program was built for, named independently of
  // build_os_name.
#if defined(__APPLE__)
  EXPECT_EQ(info.os, "macos");
#elif defined(__linux__)
  EXPECT_EQ(info.os, "linux");
#endif
  struct utsname name {};
  ASSERT_EQ(::uname(&name), 0);
  EXPECT_EQ(info.arch, std::string(name.machine));
  EXPECT_EQ(info.logical_cores, static_cast<std::uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_GE(info.logical_cores, 1u);
  EXPECT_EQ(info.fs_type, detect_fs_type(dir.path()));
}

}  // namespace
}  // namespace tessaly
