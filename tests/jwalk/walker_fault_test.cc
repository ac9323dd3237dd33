// Rare file-system failures injected into the parallel walker engine's kernel
// calls on real trees: each scan must end, with exactly the result the
// engine's rules give for what remained readable, and leave no descriptor
// open behind it.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bulk/bulk_engine.h"
#include "platform/file_system.h"
#include "jwalk/jwalk_engine.h"
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

// Forwards to the kernel, consulting a hook first for each call. A hook
// returns 0 to let the call through, or the errno the call fails with; it may
// also change the tree before answering. Hooks run on many threads at once.
class FaultyFileSystem final : public FileSystem {
 public:
  std::function<int(const std::string& name)> on_open;
  std::function<int()> on_list;
  std::function<int(const std::string& name)> on_stat;
  std::atomic<int> injected{0};

  int open_at(int dir_fd, const char* path, int flags) override {
    if (on_open) {
      if (const int error = on_open(last_component(path)); error != 0) {
        ++injected;
        return -error;
      }
    }
    return real_.open_at(dir_fd, path, flags);
  }
  long read_entries(int fd, std::span<std::byte> buffer) override {
    if (on_list) {
      if (const int error = on_list(); error != 0) {
        ++injected;
        return -error;
      }
    }
    return real_.read_entries(fd, buffer);
  }
  int stat_at(int dir_fd, const char* path, struct stat& result, int flags) override {
    if (on_stat) {
      if (const int error = on_stat(last_component(path)); error != 0) {
        ++injected;
        return error;
      }
    }
    return real_.stat_at(dir_fd, path, result, flags);
  }
  void close_descriptor(int fd) override { real_.close_descriptor(fd); }

 private:
  FileSystem& real_ = system_file_system();
};

class WalkerFault : public testing::FaultTreeTest {
 protected:
  std::shared_ptr<const ScanResult> scan(FileSystem& fs) {
    const std::size_t before = count_open_descriptors();
    auto result = scan_with_jwalk(fs, root_, kTreeDepth, {});
    EXPECT_EQ(count_open_descriptors(), before) << "descriptors left open";
    if (!result) throw std::runtime_error("scan failed: " + result.error());
    return *result;
  }
  std::string clean() override { return describe_result(*scan(system_file_system())); }
};

// --- EINTR: every interrupted call is repeated --------------------------------

TEST_F(WalkerFault, InterruptedOpensAreRepeated) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  faulty.on_open = [](const std::string&) { return interrupt_streak(3); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 3 * 8);
}

TEST_F(WalkerFault, InterruptedListingBatchesAreRepeated) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  faulty.on_list = [] { return interrupt_streak(2); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 2 * 8);
}

TEST_F(WalkerFault, InterruptedStatsAreRepeated) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  // The root's own lstat and stat, the device rule's stats, every file's size
  // and every file inside the bundle.
  faulty.on_stat = [](const std::string&) { return interrupt_streak(3); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 3 * 30);
}

TEST_F(WalkerFault, EveryCallInterruptedAtOnce) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  faulty.on_open = [](const std::string&) { return interrupt_streak(1); };
  faulty.on_list = [] { return interrupt_streak(1); };
  faulty.on_stat = [](const std::string&) { return interrupt_streak(1); };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
}

// --- EACCES: an unopenable directory contributes nothing ----------------------

TEST_F(WalkerFault, PermissionDeniedOnOneSubdirectory) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyFileSystem faulty;
  faulty.on_open = [](const std::string& name) { return name == "victim" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(faulty.injected.load(), 1);
  EXPECT_NE(actual.find("child " + root_ + "/a | victim 0 dir"), std::string::npos) << actual;
}

TEST_F(WalkerFault, PermissionDeniedOnTheRoot) {
  const std::string expected = clean_after([&] { empty_out(""); });
  FaultyFileSystem faulty;
  faulty.on_open = [](const std::string& name) { return name == "root" ? EACCES : 0; };
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(actual, "files 0 dirs 0 total 0\ndir_size " + root_ + " 0\n");
}

TEST_F(WalkerFault, PermissionDeniedInsideABundle) {
  const std::string expected = clean_after([&] { fs::remove_all(root_ + "/b/Tool.app/sub"); });
  FaultyFileSystem faulty;
  faulty.on_open = [](const std::string& name) { return name == "sub" ? EACCES : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 1);
}

// --- ENOENT between listing and sizing ------------------------------------------

TEST_F(WalkerFault, FileGoneBeforeItIsSizedCountsWithSizeZero) {
  // The file is counted, as it was listed, with no blocks.
  const std::string expected = clean_after([&] { dir_.write_file("root/c/target.dat", 0); });
  FaultyFileSystem faulty;
  const std::string target = root_ + "/c/target.dat";
  std::atomic<int> removed{0};
  faulty.on_stat = [&](const std::string& name) {
    if (name == "target.dat" && removed.fetch_add(1) == 0) ::unlink(target.c_str());
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(removed.load(), 1);
}

TEST_F(WalkerFault, DirectoryGoneBeforeItIsOpened) {
  // The directory was listed, so it is counted; nothing of it is read.
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyFileSystem faulty;
  const std::string victim = root_ + "/a/victim";
  std::atomic<int> removed{0};
  faulty.on_open = [&](const std::string& name) {
    if (name == "victim" && removed.fetch_add(1) == 0) fs::remove_all(victim);
    return 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(removed.load(), 1);
}

TEST_F(WalkerFault, DeviceRuleStatFailingKeepsTheDirectory) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  faulty.on_stat = [](const std::string& name) {
    return name == "victim" || name == "e" ? ENOENT : 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 2);
}

// --- A directory swapped after it was listed --------------------------------------

TEST_F(WalkerFault, DirectoryReplacedByAFile) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyFileSystem faulty;
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
  const std::string actual = describe_result(*scan(faulty));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(swapped.load(), 1);
}

TEST_F(WalkerFault, DirectoryReplacedByALinkOutOfTheTree) {
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  FaultyFileSystem faulty;
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

TEST_F(WalkerFault, BundleReplacedByALinkOutOfTheTree) {
  // The bundle still stands as one item, with nothing in it.
  const std::string expected = clean_after([&] { empty_out("b/Tool.app"); });
  FaultyFileSystem faulty;
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

// --- EMFILE: the walk waits for descriptors instead of losing directories -----------

TEST_F(WalkerFault, BurstsOfDescriptorExhaustion) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  std::atomic<int> calls{0};
  // Of every ten opens, the first six find the process out of descriptors.
  faulty.on_open = [&](const std::string&) { return calls.fetch_add(1) % 10 < 6 ? EMFILE : 0; };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_GE(faulty.injected.load(), 6);
}

TEST_F(WalkerFault, LongDescriptorExhaustionOnOneDirectory) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  std::atomic<int> refusals{0};
  faulty.on_open = [&](const std::string& name) {
    if (name != "victim" && name != "Tool.app") return 0;
    const int n = refusals.fetch_add(1);
    return n < 40 ? (n % 2 == 0 ? EMFILE : ENFILE) : 0;
  };
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
  EXPECT_EQ(faulty.injected.load(), 40);
}

// --- A worker that fails (out of memory) fails the scan -------------------------------

TEST_F(WalkerFault, AllocationFailureWhileListingFailsTheScan) {
  const std::string expected = clean();
  FaultyFileSystem faulty;
  std::atomic<int> lists{0};
  faulty.on_list = [&]() -> int {
    if (lists.fetch_add(1) == 5) throw std::bad_alloc();
    return 0;
  };
  const std::size_t before = count_open_descriptors();
  const auto outcome = scan_with_jwalk(faulty, root_, kTreeDepth, {});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), kWalkThreadPanicked);
  EXPECT_EQ(count_open_descriptors(), before);
  // Nothing is left broken: the next scans are whole again.
  EXPECT_EQ(clean(), expected);
  EXPECT_EQ(describe_result(*scan(faulty)), expected);
}

TEST_F(WalkerFault, AllocationFailureWhileSizingFailsTheScan) {
  FaultyFileSystem faulty;
  faulty.on_stat = [](const std::string& name) -> int {
    if (name == "a2.txt") throw std::bad_alloc();
    return 0;
  };
  const auto outcome = scan_with_jwalk(faulty, root_, kTreeDepth, {});
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), kWalkThreadPanicked);
  faulty.on_stat = nullptr;
  EXPECT_EQ(describe_result(*scan(faulty)), clean());
}

// --- A directory the process may not read, for real ---------------------------------

TEST_F(WalkerFault, UnreadableDirectoryAsAnOrdinaryUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the tree to uid 65534";
  const std::string expected = clean_after([&] { empty_out("a/victim"); });
  ::chmod((root_ + "/a/victim").c_str(), 0);
  const std::string actual = testing::run_test_child("WalkerFaultChild.ScanAndDescribe",
                                                     {"TESSALY_FAULT_ROOT=" + root_}, true);
  ::chmod((root_ + "/a/victim").c_str(), 0755);
  EXPECT_EQ(actual, one_line(expected));
}

// Run by the test above in a fresh, unprivileged process.
TEST(WalkerFaultChild, ScanAndDescribe) {
  const char* root = std::getenv("TESSALY_FAULT_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  ASSERT_NE(::geteuid(), 0u);
  const auto result = scan_with_jwalk(root, kTreeDepth, {});
  ASSERT_TRUE(result.has_value()) << result.error();
  std::printf("RESULT %s\n", one_line(describe_result(**result)).c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
