// The Linux kernel calls, as thin as possible.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "platform/kernel.h"
#include "platform/mount_table.h"
#include "platform/posix_kernel.h"

namespace tessaly::platform {
namespace {

// File systems on which every directory has the device of the file system
// itself, whatever the directory.
bool one_device_file_system(std::uint64_t magic) {
  constexpr std::uint64_t kExt2To4 = 0xEF53;
  constexpr std::uint64_t kXfs = 0x58465342;
  constexpr std::uint64_t kTmpfs = 0x01021994;
  return magic == kExt2To4 || magic == kXfs || magic == kTmpfs;
}

class LinuxKernel final : public PosixKernel {
 public:
  std::expected<std::size_t, int> read_entries(int fd, std::span<std::byte> buffer) override {
    const ssize_t n = ::getdents64(fd, buffer.data(), buffer.size());
    if (n < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(n);
  }

  std::expected<std::size_t, int> read_attributes_bulk(int, const AttrListRequest&,
                                                       std::span<std::byte>,
                                                       std::uint64_t) override {
    return std::unexpected(ENOSYS);
  }

  std::expected<std::string, int> volume_type_name(const char* path) override {
    struct statfs info {};
    if (::statfs(path, &info) != 0) return std::unexpected(errno);
    // f_type is a signed word; the magic numbers are 32-bit.
    return linux_fs_type_name(static_cast<std::uint32_t>(info.f_type));
  }

  std::expected<std::int64_t, int> volume_space_used(const char* path) override {
    struct statvfs info {};
    if (::statvfs(path, &info) != 0) return std::unexpected(errno);
    const std::uint64_t used_blocks =
        info.f_blocks > info.f_bfree ? info.f_blocks - info.f_bfree : 0;
    const std::uint64_t fragment = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    if (fragment != 0 &&
        used_blocks >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / fragment)
      return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(used_blocks * fragment);
  }

  std::vector<MountEntry> mount_table() override { return read_proc_mount_table(); }

  std::expected<void, int> leave_dataless_files() override { return {}; }

  VolumeFacts volume_facts(const char* root) override {
    VolumeFacts facts;
    struct statfs info {};
    const auto stated = retry_interrupted([&]() -> std::expected<void, int> {
      if (::statfs(root, &info) != 0) return std::unexpected(errno);
      return {};
    });
    if (!stated) return facts;
    // f_type is a signed word; the magic numbers are 32-bit.
    if (!one_device_file_system(static_cast<std::uint32_t>(info.f_type))) return facts;
    const std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(root, nullptr),
                                                                &std::free);
    if (!canonical) return facts;
    // An empty table proves nothing: /proc may simply not be there.
    const std::vector<MountEntry> mounts = mount_table();
    facts.one_device_below = !mounts.empty() && !has_mount_below(canonical.get(), mounts);
    return facts;
  }
};

}  // namespace

std::string linux_fs_type_name(std::uint64_t magic) {
  struct Known {
    std::uint64_t magic;
    const char* name;
  };
  static constexpr Known known[] = {
      {0x4244, "hfs"},   // HFS
      {0x482b, "hfs"},   // HFS+ and HFSX
      {0xef53, "ext4"},  // ext2, ext3 and ext4 share it
      {0x01021994, "tmpfs"},     {0x9123683e, "btrfs"},    {0x58465342, "xfs"},
      {0x794c7630, "overlay"},   {0xf2f52010, "f2fs"},     {0x2fc12fc1, "zfs"},
      {0xe0f5e1e2, "erofs"},     {0x73717368, "squashfs"}, {0x28cd3d45, "cramfs"},
      {0x9660, "iso9660"},       {0x15013346, "udf"},      {0x4d44, "vfat"},
      {0x2011bab0, "exfat"},     {0x5346544e, "ntfs"},     {0x7366746e, "ntfs3"},
      {0x6969, "nfs"},           {0xff534d42, "cifs"},     {0xfe534d42, "smb3"},
      {0x01021997, "9p"},        {0x65735546, "fuse"},     {0x858458f6, "ramfs"},
      {0x958458f6, "hugetlbfs"}, {0x9fa0, "proc"},         {0x62656572, "sysfs"},
      {0x1cd1, "devpts"},        {0x63677270, "cgroup2"},  {0x27e0eb, "cgroup"},
      {0x64626720, "debugfs"},   {0x74726163, "tracefs"},  {0xcafe4a11, "bpf"},
      {0x19800202, "mqueue"},    {0x6e736673, "nsfs"},     {0x0187, "autofs"},
      {0x52654973, "reiserfs"},  {0x3153464a, "jfs"},      {0x72b6, "jffs2"},
      {0xde5e81e4, "efivarfs"},  {0xca451a4e, "bcachefs"},
  };
  for (const Known& k : known) {
    if (k.magic == magic) return k.name;
  }
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(magic));
  return text;
}

Kernel& system_kernel() {
  static LinuxKernel instance;
  return instance;
}

}  // namespace tessaly::platform
