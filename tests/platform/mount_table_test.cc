#include "platform/mount_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaly {
namespace {

TEST(UnescapeMountField, DecodesTheKernelsOctalEscapes) {
  EXPECT_EQ(unescape_mount_field("/mnt/my\\040disk"), "/mnt/my disk");
  EXPECT_EQ(unescape_mount_field("a\\011b\\012c\\134d"), "a\tb\nc\\d");
  EXPECT_EQ(unescape_mount_field("plain"), "plain");
  // Anything that is not a complete three-digit escape stays as it is.
  EXPECT_EQ(unescape_mount_field("x\\04"), "x\\04");
  EXPECT_EQ(unescape_mount_field("x\\0a9"), "x\\0a9");
  EXPECT_EQ(unescape_mount_field("x\\"), "x\\");
  EXPECT_EQ(unescape_mount_field("x\\777"), "x\\777");
}

TEST(ParseMountinfo, TakesMountPointAndTypeAcrossOptionalFields) {
  const std::string text =
      "22 1 0:21 / / rw,relatime shared:1 - overlay overlay rw,lowerdir=/a\n"
      "23 22 0:22 / /proc rw,nosuid - proc proc rw\n"
      "24 22 8:1 /sub /mnt/my\\040disk rw master:3 shared:7 - ext4 /dev/sda1 rw\n"
      "malformed line\n"
      "25 22 0:40 / /no/separator rw shared:2 tmpfs tmpfs rw\n"
      "26 22 0:41 / /fuse rw - fuse.sshfs host:/ rw";
  const std::vector<MountEntry> mounts = parse_mountinfo(text);
  ASSERT_EQ(mounts.size(), 4u);
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[0].fs_type, "overlay");
  EXPECT_EQ(mounts[1].mount_point, "/proc");
  EXPECT_EQ(mounts[1].fs_type, "proc");
  EXPECT_EQ(mounts[2].mount_point, "/mnt/my disk");
  EXPECT_EQ(mounts[2].fs_type, "ext4");
  EXPECT_EQ(mounts[3].mount_point, "/fuse");
  EXPECT_EQ(mounts[3].fs_type, "fuse.sshfs");
}

TEST(ParseProcMounts, TakesMountPointAndTypeOfEachLine) {
  const std::string text =
      "/dev/vda / ext4 rw,relatime 0 0\n"
      "tmpfs /run/my\\040dir tmpfs rw 0 0\n"
      "short line\n";
  const std::vector<MountEntry> mounts = parse_proc_mounts(text);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mount_point, "/");
  EXPECT_EQ(mounts[0].fs_type, "ext4");
  EXPECT_EQ(mounts[1].mount_point, "/run/my dir");
  EXPECT_EQ(mounts[1].fs_type, "tmpfs");
}

TEST(HasMountBelow, OnlyMountPointsStrictlyBelowComponentWise) {
  const std::vector<MountEntry> mounts = {
      {"/", "ext4"}, {"/proc", "proc"}, {"/data/disk two", "xfs"}, {"/data/sub/", "tmpfs"}};
  EXPECT_TRUE(has_mount_below("/", mounts));
  EXPECT_TRUE(has_mount_below("/data", mounts));
  EXPECT_TRUE(has_mount_below("/data/", mounts));
  // A mount point at the path itself holds the path; it does not lie below.
  EXPECT_FALSE(has_mount_below("/proc", mounts));
  EXPECT_FALSE(has_mount_below("/data/sub", mounts));
  EXPECT_FALSE(has_mount_below("/data/disk two", mounts));
  // A byte prefix that is not a component prefix does not count.
  EXPECT_FALSE(has_mount_below("/data/disk", mounts));
  EXPECT_FALSE(has_mount_below("/pro", mounts));
  EXPECT_FALSE(has_mount_below("/home/user", mounts));
  EXPECT_FALSE(has_mount_below("/data", {}));
}

TEST(ReadProcMountTable, ListsTheRootFileSystem) {
  const std::vector<MountEntry> mounts = read_proc_mount_table();
  if (mounts.empty()) GTEST_SKIP() << "no mount table under /proc here";
  bool root_listed = false;
  for (const MountEntry& mount : mounts) root_listed = root_listed || mount.mount_point == "/";
  EXPECT_TRUE(root_listed);
}

TEST(FsTypeForPath, LongestComponentWisePrefixWins) {
  const std::vector<MountEntry> mounts = {
      {"/", "apfs-root"}, {"/Volumes/Data", "data"}, {"/Vol", "vol"}, {"/Volumes", "volumes"}};
  EXPECT_EQ(fs_type_for_path("/Volumes/Data/projects/x", mounts), "data");
  EXPECT_EQ(fs_type_for_path("/Volumes/Data", mounts), "data");
  EXPECT_EQ(fs_type_for_path("/Volumes/DataX", mounts), "volumes");
  EXPECT_EQ(fs_type_for_path("/Volumes", mounts), "volumes");
  EXPECT_EQ(fs_type_for_path("/Vola", mounts), "apfs-root");
  EXPECT_EQ(fs_type_for_path("/Vol/x", mounts), "vol");
  EXPECT_EQ(fs_type_for_path("/", mounts), "apfs-root");
}

TEST(FsTypeForPath, NoMatchIsUnknown) {
  EXPECT_EQ(fs_type_for_path("/a", {}), "unknown");
  EXPECT_EQ(fs_type_for_path("relative/path", {{"/", "ext4"}}), "unknown");
  EXPECT_EQ(fs_type_for_path("/a/b", {{"/c", "ext4"}}), "unknown");
}

#if defined(__linux__)
TEST(FsTypeForPath, LaterMountOnTheSameMountPointHidesTheEarlier) {
  // The kernel lists an overmount after the mount it covers.
  const std::vector<MountEntry> stacked = {
      {"/", "ext4"}, {"/srv", "autofs"}, {"/srv", "nfs"}, {"/x", "tmpfs"}};
  EXPECT_EQ(fs_type_for_path("/srv/share", stacked), "nfs");
  EXPECT_EQ(fs_type_for_path("/srv", stacked), "nfs");
  EXPECT_EQ(fs_type_for_path("/x/y", stacked), "tmpfs");
}
#endif

}  // namespace
}  // namespace tessaly
