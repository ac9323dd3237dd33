// Trees whose paths run far beyond PATH_MAX, and a process short of
// descriptors: neither may make the bulk-attribute engine lose a directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "bulk/bulk_engine.h"
#include "bulk/bulk_reader.h"
#include "jwalk/jwalk_engine.h"
#include "progress/progress.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Writes `size` bytes to a new file `name` in the directory `dir_fd` and
// returns its allocated bytes.
std::uint64_t write_file_at(int dir_fd, const char* name, std::size_t size) {
  const int fd = ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) fail(std::string("create ") + name);
  const std::string data(size, 'x');
  if (::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) fail("write");
  ::fsync(fd);
  struct stat st {};
  ::fstat(fd, &st);
  ::close(fd);
  return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

int make_and_enter(int dir_fd, const std::string& name) {
  if (::mkdirat(dir_fd, name.c_str(), 0755) != 0) fail("mkdir " + name);
  const int fd = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail("open " + name);
  return fd;
}

// A chain of directories with 200-byte names under `base`, `levels` deep,
// each holding one file and one empty directory; the deepest also holds a
// bundle with one file inside.
struct DeepTree {
  std::string root;
  std::string deepest;  // path of the last directory of the chain
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t bytes = 0;
};

DeepTree build_deep_tree(const std::string& base, int levels) {
  DeepTree tree;
  tree.root = base + "/deep";
  int fd = make_and_enter(AT_FDCWD, tree.root);
  tree.deepest = tree.root;
  for (int level = 0; level < levels; ++level) {
    tree.bytes += write_file_at(fd, "file", 3000 + static_cast<std::size_t>(level));
    ++tree.files;
    ::close(make_and_enter(fd, "empty"));
    ++tree.dirs;
    const std::string name = std::to_string(level) + std::string(200, 'n');
    const int next = make_and_enter(fd, name);
    ++tree.dirs;
    ::close(fd);
    fd = next;
    tree.deepest += "/" + name;
  }
  const int bundle = make_and_enter(fd, "Tool.app");
  tree.bytes += write_file_at(bundle, "binary", 10000);
  ++tree.files;  // the bundle stands as one item
  ::close(bundle);
  tree.bytes += write_file_at(fd, "last", 5000);
  ++tree.files;
  ::close(fd);
  return tree;
}

// A deep tree in a temporary folder; TempDir removes it however deep it runs.
class DeepTreeDir {
 public:
  explicit DeepTreeDir(int levels) : tree_(build_deep_tree(dir_.path(), levels)) {}
  const DeepTree& tree() const { return tree_; }

 private:
  TempDir dir_;
  DeepTree tree_;
};

// Every third open fails with EMFILE, as when other threads hold every
// descriptor for a moment.
void short_of_descriptors(testing::FaultyKernel& kernel) {
  auto calls = std::make_shared<std::atomic<int>>(0);
  kernel.on_open = [calls](const testing::KernelCall&) {
    return calls->fetch_add(1) % 3 == 0 ? EMFILE : 0;
  };
}

// Counts how directories are opened.
struct CountingOpens {
  CountingOpens() {
    kernel.on_open = [this](const testing::KernelCall& call) {
      if (call.open_as == platform::OpenAs::kSearch) {
        ++passed_through;
      } else if (call.dir_fd == AT_FDCWD) {
        ++by_path;
      } else {
        ++relative;
      }
      return 0;
    };
  }
  testing::FaultyKernel kernel;
  std::atomic<int> by_path{0};
  std::atomic<int> relative{0};
  std::atomic<int> passed_through{0};
};

class BulkLongPathTest : public ::testing::Test {
 protected:
  void SetUp() override { scan_cancel_flag().store(false); }
  void TearDown() override { scan_cancel_flag().store(false); }
};

TEST_F(BulkLongPathTest, ReaderOpensDirectoriesBeyondPathMax) {
  const DeepTreeDir dir(45);
  ASSERT_GT(dir.tree().deepest.size(), 2u * PATH_MAX);
  const auto before = testing::open_descriptor_names();
  const auto entries = read_dir_bulk(dir.tree().deepest);
  ASSERT_TRUE(entries.has_value()) << std::strerror(entries.error());
  std::set<std::string> names;
  for (const BulkEntry& entry : *entries) names.insert(entry.name);
  EXPECT_EQ(names, (std::set<std::string>{"Tool.app", "last"}));
  EXPECT_EQ(testing::open_descriptor_names(), before);

  const auto missing = read_dir_bulk(dir.tree().deepest + "/nothing-here");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), ENOENT);
  EXPECT_EQ(testing::open_descriptor_names(), before);
}

TEST_F(BulkLongPathTest, BothEnginesCountATreeDeeperThanTwicePathMax) {
  const DeepTreeDir dir(45);
  const DeepTree& tree = dir.tree();
  ASSERT_GT(tree.deepest.size(), 2u * PATH_MAX);
  const auto before = testing::open_descriptor_names();

  const auto bulk = scan_with_bulk_attrs(tree.root, 1000, {});
  ASSERT_TRUE(bulk.has_value()) << bulk.error();
  EXPECT_EQ(testing::open_descriptor_names(), before);
  const auto jwalk = scan_with_jwalk(tree.root, 1000, {});
  ASSERT_TRUE(jwalk.has_value()) << jwalk.error();
  EXPECT_EQ(testing::open_descriptor_names(), before);

  for (const auto* result : {&**bulk, &**jwalk}) {
    EXPECT_EQ(result->files_found, tree.files);
    EXPECT_EQ(result->dirs_found, tree.dirs);
    EXPECT_EQ(result->total_size, tree.bytes);
    const auto* deepest = result->children_of(tree.deepest);
    ASSERT_NE(deepest, nullptr);
    EXPECT_EQ(deepest->size(), 2u);
    const auto* size = result->dir_size(tree.root);
    ASSERT_NE(size, nullptr);
    EXPECT_EQ(*size, tree.bytes);
  }
}

TEST_F(BulkLongPathTest, SubdirectoriesAreOpenedRelativeToTheirParent) {
  const DeepTreeDir dir(45);
  const DeepTree& tree = dir.tree();
  CountingOpens os;
  const auto result = scan_with_bulk_attrs(os.kernel, tree.root, 1000, {});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ((*result)->files_found, tree.files);
  // Only the root is opened by its path; every other directory by its name
  // in its parent, so depth costs nothing. The bundle is read by path, in
  // pieces, as it lies beyond PATH_MAX.
  EXPECT_EQ(os.by_path.load(), 1);
  EXPECT_EQ(os.relative.load(), static_cast<int>(tree.dirs) + 1);
  EXPECT_EQ(os.passed_through.load(), 2);
}

TEST_F(BulkLongPathTest, RefusedDescriptorsAreWaitedForNotSkipped) {
  const DeepTreeDir dir(30);
  const DeepTree& tree = dir.tree();
  testing::FaultyKernel os;
  short_of_descriptors(os);
  const auto result = scan_with_bulk_attrs(os, tree.root, 1000, {});
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_GT(os.injected.load(), 10);
  EXPECT_EQ((*result)->files_found, tree.files);
  EXPECT_EQ((*result)->dirs_found, tree.dirs);
  EXPECT_EQ((*result)->total_size, tree.bytes);
}

TEST_F(BulkLongPathTest, ALowDescriptorLimitLosesNoDirectory) {
  const DeepTreeDir dir(30);
  const DeepTree& tree = dir.tree();
  const auto reference = scan_with_bulk_attrs(tree.root, 1000, {});
  ASSERT_TRUE(reference.has_value());

  // The lowest limit that leaves exactly two descriptor numbers free: fewer
  // than the workers want at once, so opens run into EMFILE.
  const auto open = testing::open_descriptor_names();
  std::set<int> used;
  for (const std::string& name : open) used.insert(std::stoi(name));
  rlim_t limit = 0;
  for (int free_numbers = 0; free_numbers < 2; ++limit) {
    if (!used.contains(static_cast<int>(limit))) ++free_numbers;
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = limit;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const auto limited = scan_with_bulk_attrs(tree.root, 1000, {});
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  ASSERT_TRUE(limited.has_value()) << limited.error();
  EXPECT_EQ((*limited)->files_found, tree.files);
  EXPECT_EQ((*limited)->dirs_found, tree.dirs);
  EXPECT_EQ((*limited)->total_size, tree.bytes);
  EXPECT_EQ(testing::open_descriptor_names(), open);
}

}  // namespace
}  // namespace tessaly
