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
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/temp_tree.h"

#if defined(__linux__)

namespace tessaly::platform {
namespace {

using testing::TempDir;

std::uint32_t u32_at(const std::vector<std::byte>& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

std::uint64_t u64_at(const std::vector<std::byte>& b, std::size_t at) {
  return u32_at(b, at) | (static_cast<std::uint64_t>(u32_at(b, at + 4)) << 32);
}

class Descriptor {
 public:
  explicit Descriptor(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// The names one record after another, read with raw calls into a buffer of
// `buffer_size` bytes until the directory is exhausted.
std::vector<std::string> read_all_names(const std::string& dir, std::size_t buffer_size,
                                        int* calls = nullptr) {
  Descriptor fd(dir);
  std::vector<std::byte> buffer(buffer_size);
  std::vector<std::string> names;
  while (true) {
    auto n =
        system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
    if (calls != nullptr) ++*calls;
    EXPECT_TRUE(n.has_value()) << (n ? 0 : n.error());
    if (!n || *n == 0) break;
    std::vector<BulkEntry> entries;
    parse_bulk_batch(buffer, *n, entries);
    EXPECT_EQ(entries.size(), *n);
    for (BulkEntry& e : entries) names.push_back(std::move(e.name));
  }
  return names;
}

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

TEST(LinuxPlatform, VolumeTypeNameFollowsStatfs) {
  TempDir tree;
  struct statfs info {};
  ASSERT_EQ(::statfs(tree.path().c_str(), &info), 0);
  const auto name = system_platform().volume_type_name(tree.path().c_str());
  ASSERT_TRUE(name.has_value());
  EXPECT_EQ(*name, linux_fs_type_name(static_cast<std::uint32_t>(info.f_type)));
  EXPECT_LE(name->size(), 16u);

  const auto missing = system_platform().volume_type_name(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(LinuxPlatform, OpenIsReadOnlyAndCloseOnExec) {
  TempDir tree;
  auto fd = system_platform().open_read_only(tree.path().c_str());
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(::fcntl(*fd, F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_NE(::fcntl(*fd, F_GETFD) & FD_CLOEXEC, 0);
  system_platform().close_descriptor(*fd);
  EXPECT_EQ(::fcntl(*fd, F_GETFD), -1);

  const auto missing = system_platform().open_read_only(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(LinuxPlatform, OpenDirectoryRetriesOnlyInterruptions) {
  class Interrupting final : public Platform {
   public:
    std::vector<int> answers;  // errno per call, 0 = success with fd 42
    std::size_t calls = 0;
    std::expected<std::string, int> volume_type_name(const char*) override { return ""; }
    std::expected<int, int> open_read_only(const char*) override {
      const int e = answers.at(calls++);
      if (e != 0) return std::unexpected(e);
      return 42;
    }
    void close_descriptor(int) override {}
    std::expected<std::size_t, int> read_bulk_batch(int, const AttrListRequest&,
                                                    std::span<std::byte>, std::uint64_t) override {
      return 0;
    }
    std::expected<std::uint64_t, int> device_of(const char*) override { return 0; }
    std::expected<std::int64_t, int> volume_space_used(const char*) override { return 0; }
  };
  Interrupting os;
  os.answers = {EINTR, EINTR, EINTR, 0};
  auto fd = open_directory(os, "/x");
  ASSERT_TRUE(fd.has_value());
  EXPECT_EQ(*fd, 42);
  EXPECT_EQ(os.calls, 4u);

  os.answers = {EINTR, EACCES, 0};
  os.calls = 0;
  fd = open_directory(os, "/x");
  ASSERT_FALSE(fd.has_value());
  EXPECT_EQ(fd.error(), EACCES);
  EXPECT_EQ(os.calls, 2u);
}

TEST(LinuxPlatform, PacksFileRecordsInTheKernelLayout) {
  TempDir tree;
  const std::string file = tree.write_file("d/only.bin", 20000);
  tree.make_hardlink("d/only.bin", "twin.bin");
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);

  Descriptor fd(tree.at("d"));
  std::vector<std::byte> buffer(4096);
  auto n =
      system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(n.has_value());
  ASSERT_EQ(*n, 1u);
  // 24 header + 24 common + 12 file + "only.bin\0" (9) = 69, padded to 72.
  EXPECT_EQ(u32_at(buffer, 0), 72u);
  EXPECT_EQ(u32_at(buffer, 4), 0x8200000Bu);
  EXPECT_EQ(u32_at(buffer, 8), 0u);
  EXPECT_EQ(u32_at(buffer, 12), 0u);
  EXPECT_EQ(u32_at(buffer, 16), 0x5u);
  EXPECT_EQ(u32_at(buffer, 20), 0u);
  EXPECT_EQ(u32_at(buffer, 24), 36u);  // name at 60, counted from 24
  EXPECT_EQ(u32_at(buffer, 28), 9u);
  const auto device = system_platform().device_of(file.c_str());
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(u32_at(buffer, 32), *device);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_regular));
  EXPECT_EQ(u64_at(buffer, 40), st.st_ino);
  EXPECT_EQ(u32_at(buffer, 48), 2u);
  EXPECT_EQ(u64_at(buffer, 52), static_cast<std::uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(std::memcmp(buffer.data() + 60, "only.bin\0", 9), 0);

  auto end =
      system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, 0u);
}

TEST(LinuxPlatform, DirectoryRecordsCarryNoFileFields) {
  TempDir tree;
  tree.make_dir("sub");
  Descriptor fd(tree.path());
  std::vector<std::byte> buffer(4096);
  auto n =
      system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(n.has_value());
  ASSERT_EQ(*n, 1u);
  EXPECT_EQ(u32_at(buffer, 0), 52u);  // 24 + 24 + "sub\0"
  EXPECT_EQ(u32_at(buffer, 16), 0u);
  EXPECT_EQ(u32_at(buffer, 24), 24u);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_directory));
  EXPECT_EQ(std::memcmp(buffer.data() + 48, "sub\0", 4), 0);
}

TEST(LinuxPlatform, ResumesExactlyWhereTheBufferFilled) {
  TempDir tree;
  std::set<std::string> expected;
  for (int i = 0; i < 500; ++i) {
    const std::string name = "entry-" + std::to_string(i) + std::string(i % 40, 'z');
    if (i % 7 == 0) {
      tree.make_dir(name);
    } else {
      tree.write_text(name, "");
    }
    expected.insert(name);
  }
  for (const std::size_t size : {std::size_t{120}, std::size_t{200}, std::size_t{333},
                                 std::size_t{4096}, bulk_buffer_size}) {
    int calls = 0;
    const auto names = read_all_names(tree.path(), size, &calls);
    EXPECT_EQ(names.size(), expected.size()) << "buffer " << size;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected) << "buffer " << size;
    if (size <= 200) {
      EXPECT_GE(calls, 250) << "buffer " << size;
    }
  }
}

TEST(LinuxPlatform, BufferTooSmallForOneRecordConsumesNothing) {
  TempDir tree;
  tree.write_text("a-file-with-a-name", "");
  Descriptor fd(tree.path());
  std::vector<std::byte> tiny(40);
  auto n = system_platform().read_bulk_batch(fd.get(), bulk_dir_request, tiny, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ERANGE);
  std::vector<std::byte> buffer(4096);
  n = system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 1u);
}

TEST(LinuxPlatform, RefusesRequestsItDoesNotEmulate) {
  TempDir tree;
  Descriptor fd(tree.path());
  std::vector<std::byte> buffer(4096);
  AttrListRequest other = bulk_dir_request;
  other.fileattr = attr_file_linkcount;
  auto n = system_platform().read_bulk_batch(fd.get(), other, buffer, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), EINVAL);
  const std::uint64_t pack_invalid_attrs = 0x8;
  n = system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, pack_invalid_attrs);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), EINVAL);
  n = system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, 0);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
}

TEST(LinuxPlatform, NonDirectoryDescriptorFailsWithNotADirectory) {
  TempDir tree;
  Descriptor fd(tree.write_file("plain", 10));
  std::vector<std::byte> buffer(4096);
  auto n =
      system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ENOTDIR);
}

TEST(LinuxPlatform, EachEntryReportsItsOwnDevice) {
  // Mount points directly under "/" report the mounted volume, as getattrlistbulk
  // does on macOS.
  Descriptor fd("/");
  ASSERT_GE(fd.get(), 0);
  std::vector<std::byte> buffer(bulk_buffer_size);
  std::map<std::string, BulkEntry> by_name;
  while (true) {
    auto n =
        system_platform().read_bulk_batch(fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
    ASSERT_TRUE(n.has_value());
    if (*n == 0) break;
    std::vector<BulkEntry> entries;
    parse_bulk_batch(buffer, *n, entries);
    for (BulkEntry& e : entries) by_name[e.name] = e;
  }
  const auto root_device = system_platform().device_of("/");
  ASSERT_TRUE(root_device.has_value());
  int other_volumes = 0;
  for (const auto& [name, entry] : by_name) {
    if (entry.error != 0 || entry.obj_type != obj_type_directory) continue;
    const auto device = system_platform().device_of(("/" + name).c_str());
    ASSERT_TRUE(device.has_value()) << name;
    EXPECT_EQ(entry.dev_id, *device) << name;
    if (*device != *root_device) ++other_volumes;
  }
  struct stat proc {};
  struct stat root {};
  if (::stat("/proc", &proc) == 0 && ::stat("/", &root) == 0 && proc.st_dev != root.st_dev) {
    ASSERT_TRUE(by_name.contains("proc"));
    EXPECT_NE(by_name["proc"].dev_id, *root_device);
    EXPECT_GE(other_volumes, 1);
  }
}

TEST(LinuxPlatform, DeviceOfFollowsLinksAndMatchesTheRecords) {
  TempDir tree;
  tree.make_symlink("/proc", "to-proc");
  const auto here = system_platform().device_of(tree.path().c_str());
  const auto via_link = system_platform().device_of(tree.at("to-proc").c_str());
  const auto proc = system_platform().device_of("/proc");
  ASSERT_TRUE(here.has_value());
  ASSERT_TRUE(via_link.has_value());
  ASSERT_TRUE(proc.has_value());
  EXPECT_EQ(*via_link, *proc);
  EXPECT_LE(*here, 0xffffffffu);

  const auto missing = system_platform().device_of(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

TEST(LinuxPlatform, VolumeSpaceUsedComesFromStatvfs) {
  TempDir tree;
  tree.write_file("ballast", 1 << 20);
  const auto used = system_platform().volume_space_used(tree.path().c_str());
  struct statvfs info {};
  ASSERT_EQ(::statvfs(tree.path().c_str(), &info), 0);
  ASSERT_TRUE(used.has_value());
  const auto expected = static_cast<std::int64_t>((info.f_blocks - info.f_bfree) * info.f_frsize);
  EXPECT_GT(*used, 0);
  // Other processes may write in between; the two readings stay close.
  EXPECT_LT(std::llabs(*used - expected), std::int64_t{1} << 30);

  const auto missing = system_platform().volume_space_used(tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

}  // namespace
}  // namespace tessaly::platform

#endif  // defined(__linux__)
