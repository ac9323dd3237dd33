// A chain of directories thousands of levels deep, scanned with a tree depth
// that lists all of it. The result model keys directories by their full
// paths, so its memory grows with the square of the depth; the chain is kept
// at a depth whose keys fit comfortably in a test (about 100 MB at 5,000
// levels), while its paths still run far beyond PATH_MAX.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "macos_walker/bulk_engine.h"
#include "scanner/jwalk_engine.h"
#include "scanner/progress.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

// Sanitizers slow the quadratic path work down several times over; half the
// depth still reaches well beyond twice PATH_MAX.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kLevels = 2500;
#else
constexpr int kLevels = 5000;
#endif

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Removes everything inside the directory `dir_fd` without forming paths and
// without recursion, so neither path length nor depth matters.
void remove_contents(int dir_fd) {
  struct Level {
    int fd;
    std::string name;  // this directory's name in the level above
  };
  std::vector<Level> stack{{::dup(dir_fd), ""}};
  while (!stack.empty()) {
    Level& top = stack.back();
    const int copy = ::dup(top.fd);
    DIR* dir = ::fdopendir(copy);
    std::string subdirectory;
    if (dir != nullptr) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (::unlinkat(top.fd, name.c_str(), 0) != 0) subdirectory = name;
      }
      ::closedir(dir);
    } else {
      ::close(copy);
    }
    if (!subdirectory.empty()) {
      const int child =
          ::openat(top.fd, subdirectory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) {
        stack.push_back({child, subdirectory});
        continue;
      }
      // Cannot be entered: left for the temporary directory's own cleanup.
    }
    const std::string name = top.name;
    ::close(top.fd);
    stack.pop_back();
    if (!stack.empty()) ::unlinkat(stack.back().fd, name.c_str(), AT_REMOVEDIR);
  }
}

// "chain/dir/dir/.../dir", kLevels directories below "chain", each holding one
// file of 1 byte more than the one above.
class DeepChain {
 public:
  DeepChain() {
    root_ = dir_.path() + "/chain";
    if (::mkdir(root_.c_str(), 0755) != 0) fail("mkdir");
    int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    deepest_ = root_;
    for (int level = 0; level < kLevels; ++level) {
      const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (file < 0) fail("create");
      const std::string data(static_cast<std::size_t>(level) + 1, 'z');
      if (::write(file, data.data(), data.size()) < 0) fail("write");
      struct stat st {};
      ::fstat(file, &st);
      bytes_ += static_cast<std::uint64_t>(st.st_blocks) * 512;
      ::close(file);
      if (::mkdirat(fd, "dir", 0755) != 0) fail("mkdir");
      const int next = ::openat(fd, "dir", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      if (next < 0) fail("open");
      fd = next;
      deepest_ += "/dir";
    }
    ::close(fd);
  }
  ~DeepChain() {
    const int fd = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      remove_contents(fd);
      ::close(fd);
    }
  }

  const std::string& root() const { return root_; }
  const std::string& deepest() const { return deepest_; }
  std::uint64_t bytes() const { return bytes_; }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string root_;
  std::string deepest_;
  std::uint64_t bytes_ = 0;
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

}  // namespace
}  // namespace tessaly
