// Chains of directories thousands of levels deep, scanned with a tree depth
// that lists all of them. Their paths run far beyond PATH_MAX, and their
// total length grows with the square of the depth; the result must not.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bulk/bulk_engine.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TESSALY_SANITIZED 1
#endif

// Sanitizers slow the quadratic path work down several times over; half the
// depth still reaches well beyond twice PATH_MAX.
#if defined(__SANITIZE_THREAD__)
// Under the thread sanitizer 20,000 levels took the process past 19 GB; the
// chain stays deeper than twice PATH_MAX at 5,000.
constexpr int kLevels = 2500;
[[maybe_unused]] constexpr int kVeryDeepLevels = 5000;
#elif defined(TESSALY_SANITIZED)
constexpr int kLevels = 2500;
[[maybe_unused]] constexpr int kVeryDeepLevels = 20'000;
#else
constexpr int kLevels = 5000;
[[maybe_unused]] constexpr int kVeryDeepLevels = 100'000;
#endif

// Chains go to memory when the machine has a tmpfs at /dev/shm: removing a
// hundred thousand nested directories from a disk-backed file system takes
// minutes, and nothing tested here depends on the file system's kind.
const bool kScratchInMemory = [] {
  if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) {
    ::setenv("TMPDIR", "/dev/shm", 0);
  }
  return true;
}();

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// "chain/<name>/<name>/...", `levels` directories below "chain". Every
// `file_every`-th level, from "chain" itself, holds one file of 1 byte more
// than the one before.
class DeepChain {
 public:
  explicit DeepChain(int levels = kLevels, const std::string& name = "dir", int file_every = 1) {
    root_ = dir_.path() + "/chain";
    if (::mkdir(root_.c_str(), 0755) != 0) fail("mkdir");
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    deepest_ = root_;
    for (int level = 0; level < levels; ++level) {
      if (level % file_every == 0) {
        const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (file < 0) fail("create");
        const std::string data(static_cast<std::size_t>(files_) + 1, 'z');
        if (::write(file, data.data(), data.size()) < 0) fail("write");
        struct stat st {};
        ::fstat(file, &st);
        bytes_ += static_cast<std::uint64_t>(st.st_blocks) * 512;
        ::close(file);
        ++files_;
      }
      if (::mkdirat(fd, name.c_str(), 0755) != 0) fail("mkdir");
      const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      if (next < 0) fail("open");
      fd = next;
      deepest_ += "/" + name;
    }
    ::close(fd);
  }
  DeepChain(const DeepChain&) = delete;
  DeepChain& operator=(const DeepChain&) = delete;

  const std::string& root() const { return root_; }
  const std::string& deepest() const { return deepest_; }
  std::uint64_t bytes() const { return bytes_; }
  std::uint64_t files() const { return files_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string root_;
  std::string deepest_;
  std::uint64_t bytes_ = 0;
  std::uint64_t files_ = 0;
};

// The chain takes seconds to build and to remove, so the tests share one.
class DeepTreeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_chain = new DeepChain(); }
  static void TearDownTestSuite() {
    delete shared_chain;
    shared_chain = nullptr;
  }
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }

  static const DeepChain* shared_chain;
};

const DeepChain* DeepTreeTest::shared_chain = nullptr;

TEST_F(DeepTreeTest, BothEnginesListEveryLevelOfAVeryDeepChain) {
  const DeepChain& chain = *shared_chain;
  ASSERT_GT(chain.deepest().size(), 2u * PATH_MAX);
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    const auto result = bulk ? scan_with_bulk_attrs(chain.root(), 1'000'000, {})
                             : scan_with_jwalk(chain.root(), 1'000'000, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    const ScanResult& r = **result;
    EXPECT_EQ(r.files_found, static_cast<std::uint64_t>(kLevels));
    EXPECT_EQ(r.dirs_found, static_cast<std::uint64_t>(kLevels));
    EXPECT_EQ(r.total_size, chain.bytes());
    EXPECT_EQ(r.children_map.size(), static_cast<std::size_t>(kLevels));
    EXPECT_EQ(r.dir_sizes.size(), static_cast<std::size_t>(kLevels) + 1);
    const std::uint64_t* root_size = r.dir_size(chain.root());
    ASSERT_NE(root_size, nullptr);
    EXPECT_EQ(*root_size, chain.bytes());
    const std::uint64_t* deepest_size = r.dir_size(chain.deepest());
    ASSERT_NE(deepest_size, nullptr);
    EXPECT_EQ(*deepest_size, 0u);
  }
}

TEST_F(DeepTreeTest, ShallowTreeDepthFoldsTheWholeChain) {
  const DeepChain& chain = *shared_chain;
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    const auto result =
        bulk ? scan_with_bulk_attrs(chain.root(), 2, {}) : scan_with_jwalk(chain.root(), 2, {});
    ASSERT_TRUE(result.has_value()) << result.error();
    const ScanResult& r = **result;
    EXPECT_EQ(r.files_found, static_cast<std::uint64_t>(kLevels));
    EXPECT_EQ(r.total_size, chain.bytes());
    const std::uint64_t* root_size = r.dir_size(chain.root());
    ASSERT_NE(root_size, nullptr);
    EXPECT_EQ(*root_size, chain.bytes());
  }
}

TEST_F(DeepTreeTest, ScanBenchWithALargeTreeDepth) {
  const DeepChain& chain = *shared_chain;
  const std::string report = chain.dir().at("report.json");
  const auto run = testing::run_process({SCAN_BENCH_BINARY, "--root", chain.root(), "--engine",
                                         "jwalk", "--tree-depth", "1000000", "--cold-runs", "1",
                                         "--warm-runs", "1", "--output", report});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::ifstream file(report);
  std::stringstream text;
  text << file.rdbuf();
  const auto parsed = nlohmann::json::parse(text.str());
  ASSERT_EQ(parsed["runs"].size(), 2u);
  for (const auto& record : parsed["runs"]) {
    EXPECT_EQ(record["result"]["files_found"], kLevels);
    EXPECT_EQ(record["result"]["dirs_found"], kLevels);
    EXPECT_EQ(record["result"]["total_size"], chain.bytes());
  }
}

#if defined(__linux__)
// A field of /proc/self/status in KiB, or -1.
long status_kib(const std::string& field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field + ":")) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

// Lowers the process's recorded peak resident size to its current size.
bool reset_peak_memory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return clear.good();
}

TEST(VeryDeepChain, BothEnginesListAHundredThousandLevelsInBoundedMemoryBehindALaggingCollector) {
  // One-letter names: keyed by whole paths, each map of this result would
  // need about 10 GB; stored as nodes, a few tens of MB.
  const DeepChain chain(kVeryDeepLevels, "d", 1000);
  scan_cancel_flag().store(false);
  ASSERT_GT(chain.deepest().size(), 2u * kVeryDeepLevels);
  for (const bool bulk : {false, true}) {
    SCOPED_TRACE(bulk ? "bulk-attrs" : "jwalk");
    const bool peak_reset = reset_peak_memory();
    const long resident_before = status_kib("VmRSS");
    // The collector takes a message only when the channel is full, so the
    // walk runs as far ahead of it as the design lets it, on any machine.
    const ScanContext lagging{.lagging_collector = true};
    const auto result =
        bulk ? scan_with_bulk_attrs(platform::system_kernel(), chain.root(), 1'000'000, {}, lagging)
             : scan_with_jwalk(chain.root(), 1'000'000, {}, lagging, platform::system_kernel());
    const long peak = status_kib("VmHWM");
    ASSERT_TRUE(result.has_value()) << result.error();
    const ScanResult& r = **result;
    EXPECT_EQ(r.files_found, chain.files());
    EXPECT_EQ(r.dirs_found, static_cast<std::uint64_t>(kVeryDeepLevels));
    EXPECT_EQ(r.total_size, chain.bytes());
    EXPECT_EQ(r.children_map.size(), static_cast<std::size_t>(kVeryDeepLevels));
    EXPECT_EQ(r.dir_sizes.size(), static_cast<std::size_t>(kVeryDeepLevels) + 1);
    EXPECT_TRUE(r.truncated_sizes.empty());
    const std::uint64_t* root_size = r.dir_size(chain.root());
    ASSERT_NE(root_size, nullptr);
    EXPECT_EQ(*root_size, chain.bytes());
    const std::uint64_t* deepest_size = r.dir_size(chain.deepest());
    ASSERT_NE(deepest_size, nullptr);
    EXPECT_EQ(*deepest_size, 0u);
    // The directory holding the last file, found by another spelling of its
    // path; below it lies nothing but that file.
    const std::size_t last_file_level = (chain.files() - 1) * 1000;
    std::string holder = chain.root();
    std::string spelled = chain.root();
    for (std::size_t i = 0; i < last_file_level; ++i) {
      holder += "/d";
      spelled += "//d";
    }
    const ChildList* listed = r.children_of(spelled + "/");
    ASSERT_NE(listed, nullptr);
    ASSERT_EQ(listed->size(), 2u);
    const ChildEntry& file = (*listed)[0].is_dir() ? (*listed)[1] : (*listed)[0];
    EXPECT_EQ(file.name(), "f");
    const std::uint64_t* holder_size = r.dir_size(holder);
    ASSERT_NE(holder_size, nullptr);
    EXPECT_EQ(*holder_size, file.size());
    EXPECT_GT(file.size(), 0u);
    EXPECT_EQ(r.dir_size(spelled), nullptr);  // dir_sizes is keyed byte for byte
    if (!peak_reset || peak < 0 || resident_before < 0) {
      ADD_FAILURE() << "peak memory cannot be measured in this process";
      continue;
    }
    GTEST_LOG_(INFO) << "peak growth " << peak - resident_before << " KiB";
#ifndef TESSALY_SANITIZED  // sanitizer allocators hold freed memory back
    // Linear is tens of MB and quadratic is gigabytes; a message in flight
    // holds its listing but no path (which reaches 200 KB here), so a full
    // channel adds little.
    EXPECT_LT(peak - resident_before, 128 * 1024) << "KiB of peak growth";
#endif
  }
}
#endif  // defined(__linux__)

}  // namespace
}  // namespace tessaly
