// The getattrlistbulk records Linux supplies from getdents64 and fstatat,
// read from real directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bulk/bulk_reader.h"
#include "bulk/bulk_source.h"
#include "platform/descriptors.h"
#include "support/temp_tree.h"

#if defined(__linux__)

namespace tessaly {
namespace {

using platform::system_kernel;
using testing::TempDir;

std::uint32_t u32_at(const std::vector<std::byte>& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

std::uint64_t u64_at(const std::vector<std::byte>& b, std::size_t at) {
  return u32_at(b, at) | (static_cast<std::uint64_t>(u32_at(b, at + 4)) << 32);
}

// Whatever is at `path`, opened read-only as it is.
platform::Descriptor open_raw(const std::string& path) {
  return platform::Descriptor(system_kernel(), ::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// The names one record after another, read with raw calls into a buffer of
// `buffer_size` bytes until the directory is exhausted.
std::vector<std::string> read_all_names(const std::string& dir, std::size_t buffer_size,
                                        int* calls = nullptr) {
  const platform::Descriptor fd = open_raw(dir);
  std::vector<std::byte> buffer(buffer_size);
  std::vector<std::string> names;
  while (true) {
    auto n =
        read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
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

TEST(LinuxBulkSource, PacksFileRecordsInTheKernelLayout) {
  TempDir tree;
  const std::string file = tree.write_file("d/only.bin", 20000);
  tree.make_hardlink("d/only.bin", "twin.bin");
  struct stat st {};
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);

  const platform::Descriptor fd = open_raw(tree.at("d"));
  std::vector<std::byte> buffer(4096);
  auto n =
      read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
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
  const auto device = bulk_device_of(system_kernel(), file.c_str());
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(u32_at(buffer, 32), *device);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_regular));
  EXPECT_EQ(u64_at(buffer, 40), st.st_ino);
  EXPECT_EQ(u32_at(buffer, 48), 2u);
  EXPECT_EQ(u64_at(buffer, 52), static_cast<std::uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(std::memcmp(buffer.data() + 60, "only.bin\0", 9), 0);

  auto end =
      read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, 0u);
}

TEST(LinuxBulkSource, DirectoryRecordsCarryNoFileFields) {
  TempDir tree;
  tree.make_dir("sub");
  const platform::Descriptor fd = open_raw(tree.path());
  std::vector<std::byte> buffer(4096);
  auto n =
      read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(n.has_value());
  ASSERT_EQ(*n, 1u);
  EXPECT_EQ(u32_at(buffer, 0), 52u);  // 24 + 24 + "sub\0"
  EXPECT_EQ(u32_at(buffer, 16), 0u);
  EXPECT_EQ(u32_at(buffer, 24), 24u);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_directory));
  EXPECT_EQ(std::memcmp(buffer.data() + 48, "sub\0", 4), 0);
}

TEST(LinuxBulkSource, ResumesExactlyWhereTheBufferFilled) {
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

TEST(LinuxBulkSource, BufferTooSmallForOneRecordConsumesNothing) {
  TempDir tree;
  tree.write_text("a-file-with-a-name", "");
  const platform::Descriptor fd = open_raw(tree.path());
  std::vector<std::byte> tiny(40);
  auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, tiny, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ERANGE);
  std::vector<std::byte> buffer(4096);
  n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 1u);
}

TEST(LinuxBulkSource, RefusesRequestsItDoesNotEmulate) {
  TempDir tree;
  const platform::Descriptor fd = open_raw(tree.path());
  std::vector<std::byte> buffer(4096);
  AttrListRequest other = bulk_dir_request;
  other.fileattr = attr_file_linkcount;
  auto n = read_bulk_batch(system_kernel(), fd.get(), other, buffer, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), EINVAL);
  const std::uint64_t pack_invalid_attrs = 0x8;
  n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, pack_invalid_attrs);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), EINVAL);
  n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, 0);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 0u);
}

TEST(LinuxBulkSource, NonDirectoryDescriptorFailsWithNotADirectory) {
  TempDir tree;
  const platform::Descriptor fd = open_raw(tree.write_file("plain", 10));
  std::vector<std::byte> buffer(4096);
  auto n =
      read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ENOTDIR);
}

TEST(LinuxBulkSource, EachEntryReportsItsOwnDevice) {
  // Mount points directly under "/" report the mounted volume, as getattrlistbulk
  // does on macOS.
  const platform::Descriptor fd = open_raw("/");
  ASSERT_GE(fd.get(), 0);
  std::vector<std::byte> buffer(bulk_buffer_size);
  std::map<std::string, BulkEntry> by_name;
  while (true) {
    auto n =
        read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, fsopt_noinmemupdate);
    ASSERT_TRUE(n.has_value());
    if (*n == 0) break;
    std::vector<BulkEntry> entries;
    parse_bulk_batch(buffer, *n, entries);
    for (BulkEntry& e : entries) by_name[e.name] = e;
  }
  const auto root_device = bulk_device_of(system_kernel(), "/");
  ASSERT_TRUE(root_device.has_value());
  int other_volumes = 0;
  for (const auto& [name, entry] : by_name) {
    if (entry.error != 0 || entry.obj_type != obj_type_directory) continue;
    const auto device = bulk_device_of(system_kernel(), ("/" + name).c_str());
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

TEST(LinuxBulkSource, DeviceOfFollowsLinksAndMatchesTheRecords) {
  TempDir tree;
  tree.make_symlink("/proc", "to-proc");
  const auto here = bulk_device_of(system_kernel(), tree.path().c_str());
  const auto via_link = bulk_device_of(system_kernel(), tree.at("to-proc").c_str());
  const auto proc = bulk_device_of(system_kernel(), "/proc");
  ASSERT_TRUE(here.has_value());
  ASSERT_TRUE(via_link.has_value());
  ASSERT_TRUE(proc.has_value());
  EXPECT_EQ(*via_link, *proc);
  EXPECT_LE(*here, 0xffffffffu);

  const auto missing = bulk_device_of(system_kernel(), tree.at("absent").c_str());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
}

}  // namespace
}  // namespace tessaly

#endif  // defined(__linux__)
