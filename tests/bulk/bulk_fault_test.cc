// Rare file-system failures injected into the bulk-attribute engine's
// platform calls on real trees: each scan must end, with exactly the result
// the engine's rules give for what remained readable, and leave no descriptor
// open behind it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bulk/bulk_engine.h"
#include "bulk/bulk_reader.h"
#include "bulk/bulk_record.h"
#include "platform/platform.h"
#include "result/result.h"
#include "support/fault_tree.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::count_open_descriptors;
using testing::describe_result;
using testing::interrupt_streak;
using testing::last_component;
using testing::one_line;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::uint64_t kTreeDepth = 2;

// Forwards to the kernel's platform, consulting a hook first for each open
// and each batch. A hook returns 0 to let the call through, or the errno the
// call fails with; it may also change the tree before answering. Hooks run on
// many threads at once.
class FaultyPlatform final : public platform::Platform {
 public:
  std::function<int(const std::string& name)> on_open;
  std::function<int()> on_batch;
  std::function<int()> on_device;
  std::atomic<int> device_calls{0};
  // A file whose entry, once listed, is removed before its attributes are
  // read: the kernel then reports ENOENT for that entry.
  std::string vanishing_name;
  std::string vanishing_path;
  std::atomic<int> injected{0};
  std::atomic<int> vanished{0};
  std::chrono::milliseconds batch_delay{0};

  std::expected<std::string, int> volume_type_name(const char* path) override {
    return real_.volume_type_name(path);
  }
  std::expected<int, int> open_read_only(const char* path) override {
    if (const int error = fault_for(path); error != 0) return std::unexpected(error);
    return real_.open_read_only(path);
  }
  void close_descriptor(int fd) override { real_.close_descriptor(fd); }
  std::expected<int, int> open_read_only_at(int dir_fd, const char* path,
                                            bool search_only) override {
    if (const int error = fault_for(path); error != 0) return std::unexpected(error);
    return real_.open_read_only_at(dir_fd, path, search_only);
  }
  std::expected<int, int> open_directory_no_follow_at(int dir_fd, const char* path) override {
    if (const int error = fault_for(path); error != 0) return std::unexpected(error);
    return real_.open_directory_no_follow_at(dir_fd, path);
  }
  std::expected<std::size_t, int> read_bulk_batch(int fd, const AttrListRequest& request,
                                                  std::span<std::byte> buffer,
                                                  std::uint64_t options) override {
    if (batch_delay.count() > 0) std::this_thread::sleep_for(batch_delay);
    if (on_batch) {
      if (const int error = on_batch(); error != 0) {
        ++injected;
        return std::unexpected(error);
      }
    }
    auto count = real_.read_bulk_batch(fd, request, buffer, options);
    if (count && *count > 0 && !vanishing_name.empty()) vanish(buffer, *count);
    return count;
  }
  std::expected<std::uint64_t, int> device_of(const char* path) override {
    ++device_calls;
    if (on_device) {
      if (const int error = on_device(); error != 0) {
        ++injected;
        return std::unexpected(error);
      }
    }
    return real_.device_of(path);
  }
  std::expected<std::int64_t, int> volume_space_used(const char* path) override {
    return real_.volume_space_used(path);
  }

 private:
  int fault_for(const char* path) {
    if (!on_open) return 0;
    const int error = on_open(last_component(path));
    if (error != 0) ++injected;
    return error;
  }

  // Removes the vanishing file for real and rewrites the batch as the kernel
  // would have written it had the removal come just before the entry's
  // attributes were read.
  void vanish(std::span<std::byte> buffer, std::size_t count) {
    std::vector<BulkEntry> entries;
    parse_bulk_batch(buffer, count, entries);
    if (entries.size() != count) throw std::runtime_error("unparsable batch");
    if (std::none_of(entries.begin(), entries.end(),
                     [&](const BulkEntry& e) { return e.raw() == vanishing_name; })) {
      return;
    }
    ::unlink(vanishing_path.c_str());
    ++vanished;
    std::size_t used = 0;
    for (const BulkEntry& entry : entries) {
      BulkRecordFields fields;
      fields.name = entry.raw();
      fields.dev_id = entry.dev_id;
      fields.obj_type = entry.obj_type;
      fields.file_id = entry.file_id;
      if (entry.raw() == vanishing_name) {
        fields.error = ENOENT;
      } else {
        fields.error = entry.error;
        fields.has_file_attrs = entry.obj_type != obj_type_directory;
        fields.link_count = entry.link_count;
        fields.alloc_size = entry.alloc_size;
      }
      const std::size_t written = pack_bulk_record(buffer.subspan(used), fields);
      if (written == 0) throw std::runtime_error("batch does not fit");
      used += written;
    }
  }

  platform::Platform& real_ = platform::system_platform();
};

class BulkFault : public testing::FaultTreeTest {
 protected:
  std::shared_ptr<const ScanResult> scan(platform::Platform& os) {
    const std::size_t before = count_open_descriptors();
    auto result = scan_with_bulk_attrs(os, root_, kTreeDepth, {});
    EXPECT_EQ(count_open_descriptors(), before) << "descriptors left open";
    if (!result) throw std::runtime_error("scan failed: " + result.error());
    return *result;
  }
  std::string clean() override { return describe_result(*scan(platform::system_platform())); }
};

// --- EINTR: every interrupted call is repeated --------------------------------

TEST_F(BulkFault, InterruptedOpensAreRepeated) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  faulty.on_open = [](const std::string&) { return interrupt_streak(3); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 3 * 8);
}

TEST_F(BulkFault, InterruptedBatchesAreRepeated) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  faulty.on_batch = [] { return interrupt_streak(2); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 2 * 8);
}

// An interrupted read of the root's device must not switch the device rule
// off for the whole scan: the call is repeated until it answers.
TEST_F(BulkFault, InterruptedDeviceReadIsRepeated) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  faulty.on_device = [] { return interrupt_streak(2); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 2);
  EXPECT_EQ(faulty.device_calls.load(), 3);
}

TEST_F(BulkFault, EveryCallInterruptedAtOnce) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  faulty.on_open = [](const std::string&) { return interrupt_streak(1); };
  faulty.on_batch = [] { return interrupt_streak(1); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
}

// --- EACCES: an unopenable directory contributes nothing ----------------------

TEST_F(BulkFault, PermissionDeniedOnOneSubdirectory) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyPlatform faulty;
  faulty.on_open = [](const std::string& name) { return name == "victim" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(faulty.injected.load(), 1);
  EXPECT_NE(actual.find("child " + root_ + "/a | victim 0 dir"), std::string::npos) << actual;
}

TEST_F(BulkFault, PermissionDeniedOnTheRoot) {
  const std::string expected = clean_after([&] { empty_out(""); });
  FaultyPlatform faulty;
  faulty.on_open = [](const std::string& name) { return name == "root" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(actual, "files 0 dirs 0 total 0\ndir_size " + root_ + " 0\n");
}

TEST_F(BulkFault, PermissionDeniedInsideABundle) {
  const std::string expected = clean_after([&] { fs::remove_all(root_ + "/b/Tool.app/sub"); });
  FaultyPlatform faulty;
  faulty.on_open = [](const std::string& name) { return name == "sub" ? EACCES : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 1);
}

// --- ENOENT between listing and sizing ------------------------------------------

TEST_F(BulkFault, FileGoneBeforeItIsSizedIsLeftOut) {
  // The entry arrives with its error and is skipped, not counted.
  const std::string expected = clean_after([&] { fs::remove(root_ + "/c/target.dat"); });
  FaultyPlatform faulty;
  faulty.vanishing_name = "target.dat";
  faulty.vanishing_path = root_ + "/c/target.dat";
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.vanished.load(), 1);
}

TEST_F(BulkFault, DirectoryGoneBeforeItIsOpened) {
  // Listed by its parent, so it is counted there; nothing of it is read.
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyPlatform faulty;
  const std::string victim = root_ + "/a/victim";
  std::atomic<int> removed{0};
  faulty.on_open = [&](const std::string& name) {
    if (name == "victim" && removed.fetch_add(1) == 0) fs::remove_all(victim);
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(removed.load(), 1);
}

// --- A directory swapped after it was listed --------------------------------------

TEST_F(BulkFault, DirectoryReplacedByAFile) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyPlatform faulty;
  const std::string victim = root_ + "/a/victim";
  const std::string aside = dir_.at("aside");
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const std::string& name) {
    if (name == "victim" && swapped.fetch_add(1) == 0) {
      fs::rename(victim, aside);
      dir_.write_file("root/a/victim", 40000);
    }
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(swapped.load(), 1);
}

TEST_F(BulkFault, DirectoryReplacedByALinkOutOfTheTree) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyPlatform faulty;
  const std::string victim = root_ + "/a/victim";
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const std::string& name) {
    if (name == "victim" && swapped.fetch_add(1) == 0) {
      fs::remove_all(victim);
      fs::create_directory_symlink(outside_, victim);
    }
    return 0;
  };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(swapped.load(), 1);
  EXPECT_EQ(actual.find("far.bin"), std::string::npos) << actual;
}

TEST_F(BulkFault, BundleReplacedByALinkOutOfTheTree) {
  const std::string expected = clean_after([&] { empty_out("b/Tool.app"); });
  FaultyPlatform faulty;
  const std::string bundle = root_ + "/b/Tool.app";
  std::atomic<int> swapped{0};
  faulty.on_open = [&](const std::string& name) {
    if (name == "Tool.app" && swapped.fetch_add(1) == 0) {
      fs::remove_all(bundle);
      fs::create_directory_symlink(outside_, bundle);
    }
    return 0;
  };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_NE(actual.find("child " + root_ + "/b | Tool.app 0 file"), std::string::npos) << actual;
}

// --- EMFILE: the engine waits for descriptors instead of losing directories ---------

TEST_F(BulkFault, BurstsOfDescriptorExhaustion) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  std::atomic<int> calls{0};
  faulty.on_open = [&](const std::string&) { return calls.fetch_add(1) % 10 < 6 ? EMFILE : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 6);
}

TEST_F(BulkFault, LongDescriptorExhaustionOnOneDirectory) {
  const std::string expected = clean();
  FaultyPlatform faulty;
  std::atomic<int> refusals{0};
  faulty.on_open = [&](const std::string& name) {
    if (name != "victim" && name != "sub") return 0;
    const int n = refusals.fetch_add(1);
    return n < 40 ? (n % 2 == 0 ? EMFILE : ENFILE) : 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 40);
}

// --- Real unreadable directories and allocation failures, in fresh processes ------

TEST_F(BulkFault, UnreadableDirectoryAsAnOrdinaryUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the tree to uid 65534";
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  ::chmod((root_ + "/a/victim").c_str(), 0);
  const std::string actual =
      testing::run_test_child("BulkFaultChild.Scan", {"TESSALY_FAULT_ROOT=" + root_}, true);
  ::chmod((root_ + "/a/victim").c_str(), 0755);
  EXPECT_EQ(actual, "ok " + one_line(expected));
}

// The first read of a fresh process finds no memory for its buffer: the scan
// fails, and the next one is whole.
TEST_F(BulkFault, FirstReadBufferCannotBeAllocated) {
  const std::string expected = clean();
  const std::string actual = testing::run_test_child(
      "BulkFaultChild.Scan",
      {"TESSALY_FAULT_ROOT=" + root_, "TESSALY_FAULT_BUFFERS=0,1", "RAYON_NUM_THREADS=2"}, false);
  EXPECT_EQ(actual, "failed Walk thread panicked all refused then ok " + one_line(expected));
}

// The second worker's buffer cannot be had while the first worker is in the
// middle of the walk: the other jobs finish, the scan fails, nothing hangs.
TEST_F(BulkFault, SecondWorkersReadBufferCannotBeAllocated) {
  const std::string expected = clean();
  const std::string actual =
      testing::run_test_child("BulkFaultChild.Scan",
                              {"TESSALY_FAULT_ROOT=" + root_, "TESSALY_FAULT_BUFFERS=1,1",
                               "TESSALY_FAULT_SLOW=1", "RAYON_NUM_THREADS=2"},
                              false);
  EXPECT_EQ(actual, "failed Walk thread panicked all refused then ok " + one_line(expected));
}

// Run by the tests above in a fresh process, whose workers have no read
// buffer yet. Prints the outcome of one scan, and with allocation faults the
// outcome of the scan after it.
TEST(BulkFaultChild, Scan) {
  const char* root = std::getenv("TESSALY_FAULT_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  std::string report;
  if (const char* faults = std::getenv("TESSALY_FAULT_BUFFERS")) {
    std::size_t pass = 0;
    std::size_t refuse = 0;
    ASSERT_EQ(std::sscanf(faults, "%zu,%zu", &pass, &refuse), 2);
    FaultyPlatform slow;
    if (std::getenv("TESSALY_FAULT_SLOW") != nullptr) {
      slow.batch_delay = std::chrono::milliseconds(5);
    }
    fail_read_buffer_allocations(pass, refuse);
    const auto failed = scan_with_bulk_attrs(slow, root, kTreeDepth, {});
    report = failed ? "ok" : "failed " + failed.error();
    // A thread whose buffer was refused tries again at its next read.
    report += read_buffer_allocation_attempts() >= pass + refuse ? " all refused then "
                                                                 : " not all refused then ";
    fail_read_buffer_allocations(0, 0);
  }
  const auto result = scan_with_bulk_attrs(root, kTreeDepth, {});
  report += result ? "ok " + one_line(describe_result(**result)) : "failed " + result.error();
  std::printf("RESULT %s\n", report.c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
