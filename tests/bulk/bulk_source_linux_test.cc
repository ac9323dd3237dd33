// The getattrlistbulk records Linux supplies from getdents64 and fstatat,
// read from real directories.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "base/worker_pool.h"
#include "bulk/bulk_reader.h"
#include "bulk/bulk_source.h"
#include "platform/descriptors.h"
#include "support/bulk_reference.h"
#include "support/faulty_kernel.h"
#include "support/mounts.h"
#include "support/temp_tree.h"

#if defined(__linux__)

namespace tessaly {
namespace {

using platform::system_kernel;
using testing::reference_pack_batch;
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
    auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
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
  auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
  ASSERT_TRUE(n.has_value());
  ASSERT_EQ(*n, 1u);
  // 64 reserved + "only.bin\0" (9, padded to 12) = 76, padded to 80.
  EXPECT_EQ(u32_at(buffer, 0), 80u);
  EXPECT_EQ(u32_at(buffer, 4), 0x8200000Bu);
  EXPECT_EQ(u32_at(buffer, 8), 0u);
  EXPECT_EQ(u32_at(buffer, 12), 0u);
  EXPECT_EQ(u32_at(buffer, 16), 0x5u);
  EXPECT_EQ(u32_at(buffer, 20), 0u);
  EXPECT_EQ(u32_at(buffer, 24), 40u);  // name at 64, counted from 24
  EXPECT_EQ(u32_at(buffer, 28), 9u);
  const auto device = bulk_device_of(system_kernel(), file.c_str());
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(u32_at(buffer, 32), *device);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_regular));
  EXPECT_EQ(u64_at(buffer, 40), st.st_ino);
  EXPECT_EQ(u32_at(buffer, 48), 2u);
  EXPECT_EQ(u64_at(buffer, 52), static_cast<std::uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(u32_at(buffer, 60), 0u);
  EXPECT_EQ(std::memcmp(buffer.data() + 64, "only.bin\0\0\0\0\0\0\0", 16), 0);

  auto end = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(*end, 0u);
}

TEST(LinuxBulkSource, DirectoryRecordsCarryNoFileFields) {
  TempDir tree;
  tree.make_dir("sub");
  const platform::Descriptor fd = open_raw(tree.path());
  std::vector<std::byte> buffer(4096);
  auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
  ASSERT_TRUE(n.has_value());
  ASSERT_EQ(*n, 1u);
  EXPECT_EQ(u32_at(buffer, 0), 64u);  // 56 reserved + "sub\0", padded to 8
  EXPECT_EQ(u32_at(buffer, 12), 0x4u);
  EXPECT_EQ(u32_at(buffer, 16), 0u);
  EXPECT_EQ(u32_at(buffer, 24), 32u);
  EXPECT_EQ(u32_at(buffer, 36), static_cast<std::uint32_t>(obj_type_directory));
  EXPECT_EQ(u32_at(buffer, 48), 0u);  // not a mount point
  EXPECT_EQ(std::memcmp(buffer.data() + 56, "sub\0", 4), 0);
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
  auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, tiny, bulk_dir_options);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ERANGE);
  std::vector<std::byte> buffer(4096);
  n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 1u);
}

TEST(LinuxBulkSource, RefusesRequestsItDoesNotEmulate) {
  TempDir tree;
  const platform::Descriptor fd = open_raw(tree.path());
  std::vector<std::byte> buffer(4096);
  AttrListRequest other = bulk_dir_request;
  other.fileattr = attr_file_linkcount;
  auto n = read_bulk_batch(system_kernel(), fd.get(), other, buffer, bulk_dir_options);
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
  auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error(), ENOTDIR);
}

// The directory's own lookup (its device, for mount points below it) is made
// only for a call that lists a subdirectory: files alone cost one lookup each,
// as reading the directory directly does. A caller that knows the directory's
// device spares it when the first entry looked up confirms that device; a
// device that is not confirmed is not trusted. The records are the same.
TEST(LinuxBulkSource, LooksUpTheDirectoryItselfOnlyForSubdirectories) {
  TempDir tree;
  tree.write_file("files/a", 10);
  tree.write_file("files/b", 10);
  tree.write_file("mixed/a", 10);
  tree.make_dir("mixed/sub");
  tree.make_dir("dirs/sub");
  const auto device = bulk_device_of(system_kernel(), tree.at("mixed").c_str());
  ASSERT_TRUE(device.has_value());
  const auto known = static_cast<std::uint32_t>(*device);
  testing::FaultyKernel os;
  std::atomic<int> own_lookups{0};
  std::atomic<int> lookups{0};
  os.on_stat = [&](const testing::KernelCall& call) {
    ++lookups;
    if (call.name == ".") ++own_lookups;
    return 0;
  };
  const auto read = [&](const std::string& dir, std::optional<std::uint32_t> expected) {
    const platform::Descriptor fd = open_raw(tree.at(dir));
    std::vector<std::byte> buffer(4096);
    std::vector<BulkEntry> entries;
    while (true) {
      const auto n =
          read_bulk_batch(os, fd.get(), bulk_dir_request, buffer, bulk_dir_options, expected);
      EXPECT_TRUE(n.has_value()) << dir;
      if (!n || *n == 0) break;
      parse_bulk_batch(buffer, *n, entries);
    }
    return entries;
  };
  for (const auto& [dir, expected, own, total] :
       {std::tuple{"files", std::optional<std::uint32_t>(), 0, 2},
        std::tuple{"mixed", std::optional<std::uint32_t>(), 1, 3},
        std::tuple{"mixed", std::optional<std::uint32_t>(known), 0, 2},
        std::tuple{"mixed", std::optional<std::uint32_t>(known + 1), 1, 3},
        std::tuple{"dirs", std::optional<std::uint32_t>(known), 0, 1}}) {
    const std::vector<BulkEntry> plain = read(dir, std::nullopt);
    own_lookups = 0;
    lookups = 0;
    const std::vector<BulkEntry> entries = read(dir, expected);
    EXPECT_EQ(entries, plain) << dir;
    EXPECT_EQ(entries.size(), std::string_view(dir) == "dirs" ? 1u : 2u) << dir;
    EXPECT_EQ(own_lookups.load(), own) << dir;
    EXPECT_EQ(lookups.load(), total) << dir;
  }
}

// Told that nothing is mounted below, a call looks up no subdirectory, and
// packs the same records: a file's lookup shows the search permission.
TEST(LinuxBulkSource, OneDeviceBelowSparesTheLookupsOfSubdirectories) {
  TempDir tree;
  for (const char* path : {"d/f1", "d/f2"}) tree.write_file(path, 10);
  for (const char* path : {"d/s1", "d/s2", "d/s3"}) tree.make_dir(path);
  const auto device = bulk_device_of(system_kernel(), tree.at("d").c_str());
  ASSERT_TRUE(device.has_value());
  testing::FaultyKernel os;
  std::vector<std::string> looked_up;
  os.on_stat = [&](const testing::KernelCall& call) {
    looked_up.push_back(call.name);
    return 0;
  };
  const auto read = [&](std::optional<std::uint32_t> one_device) {
    const platform::Descriptor fd = open_raw(tree.at("d"));
    std::vector<std::byte> buffer(4096);
    std::vector<std::byte> packed;
    while (true) {
      const auto n = read_bulk_batch(os, fd.get(), bulk_dir_request, buffer, bulk_dir_options,
                                     std::nullopt, nullptr, one_device);
      EXPECT_TRUE(n.has_value());
      if (!n || *n == 0) break;
      std::size_t used = 0;
      for (std::size_t i = 0; i < *n; ++i) used += u32_at(buffer, used);
      packed.insert(packed.end(), buffer.begin(), buffer.begin() + std::ptrdiff_t(used));
    }
    return packed;
  };
  const std::vector<std::byte> plain = read(std::nullopt);
  std::vector<BulkEntry> entries;
  parse_bulk_batch(plain, 5, entries);
  ASSERT_EQ(entries.size(), 5u);
  looked_up.clear();
  EXPECT_EQ(read(static_cast<std::uint32_t>(*device)), plain);
  // The files alone, wherever the subdirectories come.
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].obj_type == obj_type_regular) expected.push_back(entries[i].name);
  }
  EXPECT_EQ(looked_up, expected);
}

// Subdirectories packed from the listing alone stand only with search
// permission: without it the call fails whole, whether it holds nothing but
// subdirectories or a file among them.
TEST(LinuxBulkSource, OneDeviceBelowStillNeedsSearchPermission) {
  TempDir tree;
  for (const char* path : {"dirs/s1", "dirs/s2", "mixed/s1", "mixed/s2"}) tree.make_dir(path);
  tree.write_file("mixed/f", 10);
  const auto device = bulk_device_of(system_kernel(), tree.at("dirs").c_str());
  ASSERT_TRUE(device.has_value());
  for (const char* dir : {"dirs", "mixed"}) ASSERT_EQ(::chmod(tree.at(dir).c_str(), 0744), 0);
  ASSERT_EQ(::chmod(tree.path().c_str(), 0755), 0);
  const int status = testing::run_unprivileged([&] {
    int failed = 0;
    for (const char* dir : {"dirs", "mixed"}) {
      const platform::Descriptor fd = open_raw(tree.at(dir));
      std::vector<std::byte> buffer(4096);
      const auto n =
          read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options,
                          std::nullopt, nullptr, static_cast<std::uint32_t>(*device));
      failed += !n && n.error() == EACCES ? 1 : 0;
    }
    return failed == 2 ? 0 : 10 + failed;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
}

TEST(LinuxBulkSource, MountPointsAreListedWithTheDirectoryTheyCover) {
  // As getattrlistbulk does on macOS: the parent's device, the covered
  // directory's inode, and the mount-point status; stat tells the volume.
  const platform::Descriptor fd = open_raw("/");
  ASSERT_GE(fd.get(), 0);
  std::vector<std::byte> buffer(bulk_buffer_size);
  std::map<std::string, BulkEntry> by_name;
  while (true) {
    auto n = read_bulk_batch(system_kernel(), fd.get(), bulk_dir_request, buffer, bulk_dir_options);
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
    EXPECT_EQ(entry.dev_id, *root_device) << name;
    EXPECT_EQ(entry.mount_status, *device != *root_device ? dir_mntstatus_mntpoint : 0u) << name;
    if (*device != *root_device) ++other_volumes;
  }
  struct stat proc {};
  struct stat root {};
  if (::stat("/proc", &proc) == 0 && ::stat("/", &root) == 0 && proc.st_dev != root.st_dev) {
    ASSERT_TRUE(by_name.contains("proc"));
    EXPECT_EQ(by_name["proc"].dev_id, *root_device);
    EXPECT_EQ(by_name["proc"].mount_status, dir_mntstatus_mntpoint);
    EXPECT_NE(by_name["proc"].file_id, proc.st_ino);
    EXPECT_GE(other_volumes, 1);
  }
}

// What the kernel would pack for the entries of `dir` named in `names`, from
// lstat and the directory's own listing (for covered inodes).
std::vector<testing::ReferenceEntry> reference_entries(const std::string& dir,
                                                       const std::vector<std::string>& names,
                                                       const std::string& unreadable) {
  struct stat own {};
  EXPECT_EQ(::stat(dir.c_str(), &own), 0);
  std::map<std::string, ino_t> listed_inodes;
  DIR* listing = ::opendir(dir.c_str());
  while (const dirent* d = ::readdir(listing)) listed_inodes[d->d_name] = d->d_ino;
  ::closedir(listing);
  std::vector<testing::ReferenceEntry> out;
  for (const std::string& name : names) {
    testing::ReferenceEntry& e = out.emplace_back();
    e.name = name;
    if (name == unreadable) {
      e.error = EIO;
      continue;
    }
    struct stat st {};
    EXPECT_EQ(::lstat((dir + "/" + name).c_str(), &st), 0) << name;
    e.obj_type = S_ISREG(st.st_mode)    ? obj_type_regular
                 : S_ISDIR(st.st_mode)  ? obj_type_directory
                 : S_ISLNK(st.st_mode)  ? obj_type_symlink
                 : S_ISFIFO(st.st_mode) ? obj_type_fifo
                                        : obj_type_none;
    e.dev_id = bulk_device_id(st.st_dev);
    e.file_id = st.st_ino;
    e.link_count = static_cast<std::uint32_t>(st.st_nlink);
    e.alloc_size = static_cast<std::int64_t>(st.st_blocks) * 512;
    if (e.obj_type == obj_type_directory && st.st_dev != own.st_dev) {
      e.dev_id = bulk_device_id(own.st_dev);
      e.file_id = listed_inodes.at(name);
      e.mount_status = dir_mntstatus_mntpoint;
    }
  }
  return out;
}

TEST(LinuxBulkSource, PacksTheReferencePackersBytesForRealEntries) {
  TempDir tree;
  const std::string dir = tree.make_dir("d");
  tree.write_file("d/file", 9000);
  tree.make_hardlink("d/file", "d/twin");
  tree.make_dir("d/sub");
  tree.make_symlink("file", "d/link");
  tree.make_fifo("d/pipe");
  tree.write_file("d/" + std::string(255, 'L'), 10);
  tree.write_text("d/unreadable", "x");
  tree.write_text("d/vanished", "x");
  const std::string mount_point = tree.make_dir("d/mnt");
  testing::Mounts mounts;
  const bool mounted = mounts.add("tmpfs", mount_point);
  testing::FaultyKernel os;
  os.on_stat = [](const testing::KernelCall& call) {
    return call.name == "unreadable" ? EIO : call.name == "vanished" ? ENOENT : 0;
  };

  auto read_batch = [&](std::size_t size, std::size_t& count) {
    const platform::Descriptor fd = open_raw(dir);
    std::vector<std::byte> buffer(size, std::byte{0xEE});
    const auto n = read_bulk_batch(os, fd.get(), bulk_dir_request, buffer, bulk_dir_options);
    EXPECT_TRUE(n.has_value());
    count = n ? *n : 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < count; ++i) used += u32_at(buffer, used);
    buffer.resize(used);
    return buffer;
  };
  std::size_t count = 0;
  const auto whole = read_batch(bulk_buffer_size, count);
  std::vector<BulkEntry> parsed;
  parse_bulk_batch(whole, count, parsed);
  std::vector<std::string> names;
  for (const BulkEntry& e : parsed) names.push_back(std::string(e.raw()));
  EXPECT_EQ(names.size(), 8u);  // no record for the entry that vanished
  EXPECT_EQ(std::count(names.begin(), names.end(), "vanished"), 0);
  const auto entries = reference_entries(dir, names, "unreadable");
  std::size_t reference_count = 0;
  EXPECT_EQ(reference_pack_batch(bulk_dir_request, entries, bulk_buffer_size, reference_count),
            whole);
  EXPECT_EQ(reference_count, count);
  if (mounted) {
    const auto at = std::find(names.begin(), names.end(), "mnt");
    ASSERT_NE(at, names.end());
    EXPECT_EQ(parsed[static_cast<std::size_t>(at - names.begin())].mount_status,
              dir_mntstatus_mntpoint);
  }

  // A buffer with room for a record but not its padding: it ends the batch
  // unpadded, in both.
  std::size_t prefix = 0;
  bool checked = false;
  for (std::size_t k = 0; k < entries.size() && !checked; ++k) {
    std::size_t one = 0;
    const auto padded = reference_pack_batch(bulk_dir_request, std::span(entries).subspan(k, 1),
                                             bulk_buffer_size, one);
    const auto unpadded = reference_pack_batch(bulk_dir_request, std::span(entries).subspan(k, 1),
                                               padded.size() - 1, one);
    if (k > 0 && one == 1) {
      const std::size_t room = prefix + unpadded.size();
      std::size_t ours = 0, theirs = 0;
      const auto batch = read_batch(room, ours);
      EXPECT_EQ(batch, reference_pack_batch(bulk_dir_request, entries, room, theirs));
      EXPECT_EQ(ours, k + 1);
      EXPECT_EQ(theirs, k + 1);
      EXPECT_EQ(batch.size() % 8, 4u);
      checked = true;
    }
    prefix += padded.size();
  }
  EXPECT_TRUE(checked);
  if (!mounted)
    GTEST_SKIP() << "no tmpfs could be mounted here (needs root): "
                    "the mount point's record was not checked";
}

// A large batch's entries are looked up on the helpers' workers as well, and
// every call packs the same bytes as one that looks them up alone, also when
// the buffer fills before the batch's end.
TEST(LinuxBulkSource, LargeBatchesLookedUpInSharesPackTheSameRecords) {
  TempDir tree;
  const std::string dir = tree.make_dir("d");
  for (int i = 0; i < 1500; ++i) tree.write_text("d/f" + std::to_string(i), "x");
  tree.make_dir("d/sub");
  tree.make_hardlink("d/f1", "d/twin");
  testing::FaultyKernel os;
  std::mutex mutex;
  std::condition_variable helped;
  std::optional<std::thread::id> paused;  // the thread held until another looks up
  bool other_looked_up = false;
  os.on_stat = [&](const testing::KernelCall& call) {
    {
      std::unique_lock lock(mutex);
      if (paused && std::this_thread::get_id() != *paused) {
        other_looked_up = true;
        helped.notify_all();
      }
      // The calling thread's first lookup waits for a helper's, so that
      // sharing is shown whatever the scheduler does.
      if (paused && std::this_thread::get_id() == *paused)
        helped.wait(lock, [&] { return other_looked_up; });
    }
    return call.name == "f7" ? EIO : call.name == "f700" ? ENOENT : 0;
  };

  const auto set_paused = [&](std::optional<std::thread::id> thread) {
    const std::lock_guard lock(mutex);
    paused = thread;
    if (thread) other_looked_up = false;
  };
  const auto read_all = [&](std::size_t size, JobScope* helpers) {
    std::vector<std::vector<std::byte>> batches;
    const platform::Descriptor fd = open_raw(dir);
    std::vector<std::byte> buffer(size);
    while (true) {
      const auto n = read_bulk_batch(os, fd.get(), bulk_dir_request, buffer, bulk_dir_options,
                                     std::nullopt, helpers);
      EXPECT_TRUE(n.has_value());
      if (!n || *n == 0) break;
      std::size_t used = 0;
      for (std::size_t i = 0; i < *n; ++i) used += u32_at(buffer, used);
      batches.emplace_back(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return batches;
  };

  WorkerPool pool(3);
  for (const std::size_t size : {bulk_buffer_size, std::size_t{8192}}) {
    const auto alone = read_all(size, nullptr);
    std::vector<std::vector<std::byte>> shared;
    {
      JobScope scope(pool);
      set_paused(std::this_thread::get_id());
      shared = read_all(size, &scope);
      set_paused(std::nullopt);
      scope.wait();
    }
    EXPECT_TRUE(other_looked_up);
    EXPECT_EQ(shared, alone) << "buffer of " << size;
    std::size_t records = 0;
    for (const auto& batch : alone) {
      std::vector<BulkEntry> entries;
      parse_bulk_batch(batch, batch.size(), entries);
      records += entries.size();
    }
    EXPECT_EQ(records, 1501u);  // f700 vanished; f7 has an error record
    // One call per listing batch with the whole buffer; many with the small one.
    EXPECT_EQ(alone.size() < 5, size == bulk_buffer_size) << alone.size();
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
