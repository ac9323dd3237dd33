#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/statfs.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "support/temp_tree.h"

#if defined(__linux__)

namespace tessaly::platform {
namespace {

using testing::TempDir;

TEST(LinuxFsTypeName, HfsVariantsAreBothHfs) {
  EXPECT_EQ(linux_fs_type_name(0x4244), "hfs");
  EXPECT_EQ(linux_fs_type_name(0x482b), "hfs");
}

TEST(LinuxFsTypeName, OtherFileSystemsKeepTheirLinuxNames) {
  EXPECT_EQ(linux_fs_type_name(0xef53), "ext4");
  EXPECT_EQ(linux_fs_type_name(0x01021994), "tmpfs");
  EXPECT_EQ(linux_fs_type_name(0x9123683e), "btrfs");
  EXPECT_EQ(linux_fs_type_name(0x58465342), "xfs");
  EXPECT_EQ(linux_fs_type_name(0x794c7630), "overlay");
  EXPECT_EQ(linux_fs_type_name(0x9fa0), "proc");
  EXPECT_EQ(linux_fs_type_name(0x12345678), "0x12345678");
}

TEST(LinuxKernel, VolumeTypeNameFollowsStatfs) {
  TempDir tree;
  struct statfs info {};
  ASSERT_EQ(::statfs(tree.path().c_str(), &info), 0);
  const auto name = system_kernel().volume_type_name(tree.path().c_str());
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, linux_fs_type_name(static_cast<std::uint32_t>(info.f_type)));
  EXPECT_LE(name->size(), 16u);

  const auto missing = system_kernel().volume_type_name(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(LinuxKernel, OpenIsReadOnlyAndCloseOnExec) {
  TempDir tree;
  auto fd = system_kernel().open_directory(AT_FDCWD, tree.path().c_str(), OpenAs::kListing);
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(::fcntl(*fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_NE(::fcntl(*fd, F_GETFD) & FD_CLOEXEC, 0);
  system_kernel().close_descriptor(*fd);
  EXPECT_EQ(::fcntl(*fd, F_GETFD), -1);

  const auto missing =
      system_kernel().open_directory(AT_FDCWD, tree.at("absent").c_str(), OpenAs::kListing);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(LinuxKernel, OpenDirectoryRetriesOnlyInterruptions) {
  std::vector<int> answers;  // errno per call, 0 = success with fd 42
  std::size_t calls = 0;
  const auto open_once = [&]() -> std::expected<int, int> {
    const int e = answers.at(calls++);
    if (e != 0) return std::unexpected(e);
    return 42;
  };
  answers = {EINTR, EINTR, EINTR, 0};
  auto fd = retry_interrupted(open_once);
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(*fd, 42);
  EXPECT_EQ(calls, 4u);

  answers = {EINTR, EACCES, 0};
  calls = 0;
  fd = retry_interrupted(open_once);
  ASSERT_FALSE(fd.has_value());
  EXPECT_EQ(fd.error(), EACCES);
  EXPECT_EQ(calls, 2u);
}

TEST(LinuxKernel, VolumeSpaceUsedComesFromStatvfs) {
  TempDir tree;
  tree.write_file("ballast", 1 << 20);
  const auto used = system_kernel().volume_space_used(tree.path().c_str());
  struct statvfs info {};
  ASSERT_EQ(::statvfs(tree.path().c_str(), &info), 0);
  ASSERT_TRUE(used.has_value());
  const auto expected = static_cast<std::int64_t>((info.f_blocks - info.f_bfree) * info.f_frsize);
  EXPECT_GT(*used, 0);
  // Other processes may write in between; the two readings stay close.
  EXPECT_LT(std::llabs(*used - expected), std::int64_t{1} << 30);

  const auto missing = system_kernel().volume_space_used(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

}  // namespace
}  // namespace tessaly::platform

#endif  // defined(__linux__)
