#include "bulk/bulk_engine.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/logging.h"
#include "base/paths.h"
#include "bulk/bulk_reader.h"
#include "bulk/bulk_source.h"
#include "cache/scan_cache.h"
#include "jwalk/jwalk_engine.h"
#include "result/walk_listing.h"
#include "rules/volume_group.h"
#include "support/fault_tree.h"
#include "support/faulty_kernel.h"
#include "support/mounts.h"
#include "support/result_builder.h"
#include "support/temp_tree.h"

extern char** environ;

namespace tessaly {
namespace {

using testing::allocated_size;
using ::testing::ElementsAre;
using testing::TempDir;
using ::testing::UnorderedElementsAre;
using ::testing::UnorderedElementsAreArray;

constexpr const char* kChildRootVar = "TESSALY_BULK_CHILD_ROOT";
constexpr const char* kChildOutVar = "TESSALY_BULK_CHILD_OUT";

// Started as a fresh program (never as a fork of a process whose pool is
// running): scans the root named in the environment, writes the counters to
// the named file and exits before any test runs.
[[maybe_unused]] const bool child_mode = [] {
  const char* root = std::getenv(kChildRootVar);
  const char* out = std::getenv(kChildOutVar);
  if (root == nullptr || out == nullptr) return false;
  const auto result = scan_with_bulk_attrs(root, 8, {});
  std::ofstream file(out);
  if (!result) {
    file << "error " << result.error() << "\n";
  } else {
    const ScanResult& r = **result;
    file << r.files_found << " " << r.dirs_found << " " << r.total_size;
    const auto* children = r.children_of(root);
    file << " " << (children != nullptr ? children->size() : 0) << "\n";
  }
  file.close();
  std::_Exit(0);
}();

std::shared_ptr<const ScanResult> scan_ok(platform::Kernel& os, const std::string& root,
                                          std::uint64_t tree_depth,
                                          const std::vector<std::string>& excludes = {},
                                          AppHandle handle = nullptr) {
  auto result = scan_with_bulk_attrs(os, root, tree_depth, excludes, handle);
  EXPECT_TRUE(result.has_value()) << (result ? "" : result.error());
  return result ? *result : std::make_shared<const ScanResult>();
}

std::shared_ptr<const ScanResult> scan_ok(const std::string& root, std::uint64_t tree_depth,
                                          const std::vector<std::string>& excludes = {}) {
  return scan_ok(platform::system_kernel(), root, tree_depth, excludes);
}

// "name:size" for files, "name/" for directories, in list order.
std::vector<std::string> listed(const ScanResult& result, std::string_view dir) {
  std::vector<std::string> out;
  const auto* children = result.children_of(dir);
  if (children == nullptr) return out;
  for (const ChildEntry& c : *children) {
    out.push_back(c.is_dir() ? std::string(c.name()) + "/"
                             : std::string(c.name()) + ":" + std::to_string(c.size()));
  }
  return out;
}

std::uint64_t dir_size(const ScanResult& result, const std::string& dir) {
  const std::uint64_t* size = result.dir_size(dir);
  EXPECT_NE(size, nullptr) << dir;
  return size != nullptr ? *size : 0;
}

// Reserves `bytes` of real blocks without writing them; false where the file
// system cannot.
bool allocate_file(const std::string& path, std::uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const int rc = testing::reserve_blocks(fd, bytes);
  ::close(fd);
  return rc == 0;
}

// The standard tree, with its expected sizes:
//   a.txt  b.bin  hard1  hard2 (= hard1)  hard3 (= hard1)
//   docs/r1  docs/deep/x  docs/deep/deeper/y  docs/deep/deeper/z/
//   empty/
//   Tool.app/Contents/MacOS/bin  Tool.app/Contents/Info  Tool.app/Contents/lnk -> /etc
//   link-to-docs -> docs   link-to-file -> a.txt   pipe (FIFO)
struct StandardTree {
  TempDir dir;
  std::uint64_t a, b, hard, r1, x, y, bundle;
  std::uint64_t total() const { return a + b + hard + r1 + x + y + bundle; }
  static constexpr std::uint64_t kFiles = 9;  // a b hard1-3 r1 x y Tool.app
  static constexpr std::uint64_t kDirs = 5;   // docs deep deeper z empty

  StandardTree() {
    a = allocated_size(dir.write_file("a.txt", 5000));
    b = allocated_size(dir.write_file("b.bin", 70000));
    hard = allocated_size(dir.write_file("hard1", 12000));
    dir.make_hardlink("hard1", "hard2");
    dir.make_hardlink("hard1", "hard3");
    r1 = allocated_size(dir.write_file("docs/r1", 100));
    x = allocated_size(dir.write_file("docs/deep/x", 3000));
    y = allocated_size(dir.write_file("docs/deep/deeper/y", 9000));
    dir.make_dir("docs/deep/deeper/z");
    dir.make_dir("empty");
    bundle = allocated_size(dir.write_file("Tool.app/Contents/MacOS/bin", 20000)) +
             allocated_size(dir.write_file("Tool.app/Contents/Info", 100));
    dir.make_symlink("/etc", "Tool.app/Contents/lnk");
    dir.make_symlink("docs", "link-to-docs");
    dir.make_symlink("a.txt", "link-to-file");
    dir.make_fifo("pipe");
  }
  std::string at(std::string_view relative) const { return dir.at(relative); }
  const std::string& root() const { return dir.path(); }
};

class BulkEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scan_cancel_flag().store(false);
    clear_scan_cache();
  }
  void TearDown() override {
    scan_cancel_flag().store(false);
    remove_log_sinks();
  }
};

TEST_F(BulkEngineTest, CountsFilesDirectoriesAndSizes) {
  StandardTree tree;
  const auto result = scan_ok(tree.root(), 8);
  EXPECT_EQ(result->files_found, StandardTree::kFiles);
  EXPECT_EQ(result->dirs_found, StandardTree::kDirs);
  EXPECT_EQ(result->total_size, tree.total());
  EXPECT_EQ(result->root, tree.root());
  EXPECT_EQ(dir_size(*result, tree.root()), tree.total());
  EXPECT_EQ(dir_size(*result, tree.at("docs")), tree.r1 + tree.x + tree.y);
  EXPECT_EQ(dir_size(*result, tree.at("docs/deep")), tree.x + tree.y);
  EXPECT_EQ(dir_size(*result, tree.at("docs/deep/deeper/z")), 0u);
  EXPECT_EQ(dir_size(*result, tree.at("empty")), 0u);
  EXPECT_TRUE(result->truncated_sizes.empty());
  EXPECT_TRUE(result->large_files.empty());
}

TEST_F(BulkEngineTest, ListsChildrenInReadOrderWithBundleTotalsFirst) {
  StandardTree tree;
  const auto result = scan_ok(tree.root(), 8);
  const auto root_list = listed(*result, tree.root());
  ASSERT_FALSE(root_list.empty());
  // The bundle's total is sent while the root is read, before its listing.
  EXPECT_EQ(root_list.front(), "Tool.app:" + std::to_string(tree.bundle));
  std::multiset<std::string> names(root_list.begin(), root_list.end());
  // One of the three links carries the blocks, the others 0.
  std::multiset<std::string> hard_entries;
  for (const std::string& entry : root_list) {
    if (entry.starts_with("hard")) hard_entries.insert(entry.substr(entry.find(':')));
  }
  EXPECT_EQ(hard_entries,
            (std::multiset<std::string>{":0", ":0", ":" + std::to_string(tree.hard)}));
  for (const std::string& expected :
       {"a.txt:" + std::to_string(tree.a), "b.bin:" + std::to_string(tree.b), std::string("docs/"),
        std::string("empty/")}) {
    EXPECT_EQ(names.count(expected), 1u) << expected;
  }
  EXPECT_EQ(root_list.size(), 8u);  // no symlink, no FIFO
  EXPECT_THAT(listed(*result, tree.at("docs")),
              UnorderedElementsAre("r1:" + std::to_string(tree.r1), "deep/"));
  EXPECT_THAT(listed(*result, tree.at("docs/deep/deeper")),
              UnorderedElementsAre("y:" + std::to_string(tree.y), "z/"));
  EXPECT_EQ(result->children_of(tree.at("empty")), nullptr);
  EXPECT_EQ(result->children_of(tree.at("docs/deep/deeper/z")), nullptr);
}

TEST_F(BulkEngineTest, ALargeDirectoryGoesInPartsWhoseSubdirectoriesAreWalkedAndPlaced) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  constexpr int kFiles = static_cast<int>(kMaxListingEntries) + 100;
  for (int i = 0; i < kFiles; ++i) dir.write_file("root/f" + std::to_string(i), 1);
  for (int i = 0; i < 40; ++i) dir.write_file("root/d" + std::to_string(i) + "/inner", 3000);
  const std::uint64_t inner = allocated_size(dir.at("root/d0/inner"));
  const auto result = scan_ok(root, 8);
  EXPECT_EQ(result->files_found, static_cast<std::uint64_t>(kFiles + 40));
  EXPECT_EQ(result->dirs_found, 40u);
  EXPECT_EQ(listed(*result, root).size(), static_cast<std::size_t>(kFiles + 40));
  for (int i = 0; i < 40; ++i) {
    const std::string sub = root + "/d" + std::to_string(i);
    EXPECT_THAT(listed(*result, sub), ElementsAre("inner:" + std::to_string(inner)));
    EXPECT_EQ(dir_size(*result, sub), inner);
  }
}

TEST_F(BulkEngineTest, TreeDepthZeroFoldsEverythingIntoTheRoot) {
  StandardTree tree;
  const auto result = scan_ok(tree.root(), 0);
  EXPECT_TRUE(result->children_map.empty());
  EXPECT_EQ(result->files_found, StandardTree::kFiles);
  // Every directory the walk entered is counted, also below the tree depth.
  EXPECT_EQ(result->dirs_found, StandardTree::kDirs);
  EXPECT_EQ(result->truncated_size(tree.root()), tree.total());
  EXPECT_EQ(result->truncated_sizes.size(), 1u);
  EXPECT_EQ(result->dir_sizes.size(), 1u);
  EXPECT_EQ(dir_size(*result, tree.root()), tree.total());
}

TEST_F(BulkEngineTest, TreeDepthCutsListsButNotCounts) {
  StandardTree tree;
  for (std::uint64_t depth : {1u, 2u, 3u}) {
    SCOPED_TRACE(depth);
    const auto result = scan_ok(tree.root(), depth);
    EXPECT_EQ(result->files_found, StandardTree::kFiles);
    EXPECT_EQ(result->dirs_found, StandardTree::kDirs);
    EXPECT_EQ(result->total_size, tree.total());
    EXPECT_EQ(dir_size(*result, tree.root()), tree.total());
    EXPECT_EQ(dir_size(*result, tree.at("docs")), tree.r1 + tree.x + tree.y);
    EXPECT_NE(result->children_of(tree.root()), nullptr);
    EXPECT_EQ(result->children_of(tree.at("docs")) != nullptr, depth >= 2);
    EXPECT_EQ(result->children_of(tree.at("docs/deep")) != nullptr, depth >= 3);
  }
  const auto one = scan_ok(tree.root(), 1);
  EXPECT_EQ(one->truncated_size(tree.at("docs")), tree.r1 + tree.x + tree.y);
  EXPECT_EQ(one->truncated_sizes.size(), 1u);  // "empty" holds nothing
  const auto two = scan_ok(tree.root(), 2);
  EXPECT_EQ(two->truncated_size(tree.at("docs/deep")), tree.x + tree.y);
  EXPECT_THAT(listed(*two, tree.at("docs")),
              UnorderedElementsAre("r1:" + std::to_string(tree.r1), "deep/"));
}

TEST_F(BulkEngineTest, FifoSymlinksAndLinkedDirectoriesAreNotCounted) {
  TempDir tree;
  const std::uint64_t f = allocated_size(tree.write_file("real/f", 4000));
  tree.make_symlink(tree.at("real"), "dirlink");
  tree.make_symlink("real/f", "filelink");
  tree.make_fifo("fifo");
  const auto result = scan_ok(tree.path(), 8);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 1u);
  EXPECT_EQ(result->total_size, f);
  EXPECT_THAT(listed(*result, tree.path()), ElementsAre("real/"));
}

TEST_F(BulkEngineTest, HardLinksAcrossDirectoriesCountOnce) {
  TempDir tree;
  const std::uint64_t size = allocated_size(tree.write_file("a/one", 50000));
  tree.make_hardlink("a/one", "b/two");
  tree.make_hardlink("a/one", "c/d/three");
  const auto result = scan_ok(tree.path(), 8);
  EXPECT_EQ(result->files_found, 3u);
  EXPECT_EQ(result->total_size, size);
  EXPECT_EQ(dir_size(*result, tree.path()), size);
}

TEST_F(BulkEngineTest, BundlesAreSingleItemsSizedInPlace) {
  TempDir tree;
  const std::uint64_t inner =
      allocated_size(tree.write_file("Apps/Editor.app/Contents/bin", 9000)) +
      allocated_size(tree.write_file("Apps/Editor.app/Res/deep/img", 7000)) +
      allocated_size(tree.write_file("Apps/Editor.app/Res/Nested.bundle/x", 300));
  tree.make_fifo("Apps/Editor.app/fifo");
  tree.make_symlink("/usr", "Apps/Editor.app/usr");
  tree.make_dir("Apps/Lib.framework");
  tree.make_dir("Apps/UPPER.APP/sub");
  const std::uint64_t upper = allocated_size(tree.write_file("Apps/UPPER.APP/sub/f", 100));
  // An exclusion inside a bundle has no effect.
  const auto result = scan_ok(tree.path(), 8, {tree.at("Apps/Editor.app/Res")});
  EXPECT_EQ(result->files_found, 3u);  // Editor.app, Lib.framework, UPPER.APP/sub/f
  EXPECT_EQ(result->dirs_found, 3u);   // Apps, UPPER.APP, sub
  EXPECT_EQ(result->total_size, inner + upper);
  EXPECT_THAT(listed(*result, tree.at("Apps")),
              ::testing::IsSupersetOf({"Editor.app:" + std::to_string(inner),
                                       std::string("Lib.framework:0"), std::string("UPPER.APP/")}));
}

TEST_F(BulkEngineTest, LargeBundleIsOneLargeFile) {
  TempDir tree;
  if (!allocate_file(tree.write_file("Big.app/Contents/a"), 400ull << 20) ||
      !allocate_file(tree.at("Big.app/Contents/b"), 200ull << 20)) {
    GTEST_SKIP() << "this file system cannot reserve blocks with posix_fallocate";
  }
  const std::uint64_t total =
      allocated_size(tree.at("Big.app/Contents/a")) + allocated_size(tree.at("Big.app/Contents/b"));
  const auto result = scan_ok(tree.path(), 8);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 0u);
  ASSERT_EQ(result->large_files.size(), 1u);
  EXPECT_EQ(result->large_files[0].name, "Big.app");
  EXPECT_EQ(result->large_files[0].path, tree.at("Big.app"));
  EXPECT_EQ(result->large_files[0].size, total);
  EXPECT_THAT(listed(*result, tree.path()), ElementsAre("Big.app:" + std::to_string(total)));
}

TEST_F(BulkEngineTest, ExclusionsMatchComponentWise) {
  StandardTree tree;
  const std::uint64_t docs = tree.r1 + tree.x + tree.y;
  struct Case {
    std::vector<std::string> excludes;
    std::uint64_t files, dirs, total;
  };
  const Case cases[] = {
      {{tree.at("docs")}, 6, 1, tree.total() - docs},
      {{tree.at("docs") + "/"}, 6, 1, tree.total() - docs},
      {{tree.root() + "//docs//deep/"}, 7, 2, tree.total() - tree.x - tree.y},
      {{tree.at("DOCS")}, 9, 5, tree.total()},
      {{"docs"}, 9, 5, tree.total()},            // relative, root absolute
      {{tree.at("a.txt")}, 9, 5, tree.total()},  // a file is never excluded
      {{tree.at("docs"), tree.at("docs")}, 6, 1, tree.total() - docs},
      {{tree.at("Tool.app/Contents")}, 9, 5, tree.total()},  // inside a bundle
      {{tree.at("Tool.app")}, 8, 5, tree.total() - tree.bundle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.excludes.front());
    const auto result = scan_ok(tree.root(), 8, c.excludes);
    EXPECT_EQ(result->files_found, c.files);
    EXPECT_EQ(result->dirs_found, c.dirs);
    EXPECT_EQ(result->total_size, c.total);
  }
}

TEST_F(BulkEngineTest, RootIsNeverSubjectToTheRules) {
  StandardTree tree;
  // A root equal to an exclusion is scanned normally.
  auto result = scan_ok(tree.root(), 8, {tree.root()});
  EXPECT_EQ(result->files_found, StandardTree::kFiles);
  // A root reached through a symbolic link is walked.
  TempDir other;
  other.make_symlink(tree.root(), "via-link");
  result = scan_ok(other.at("via-link"), 8);
  EXPECT_EQ(result->files_found, StandardTree::kFiles);
  EXPECT_EQ(result->total_size, tree.total());
  // A root with a bundle name is walked, not totalled.
  result = scan_ok(tree.at("Tool.app"), 8);
  EXPECT_EQ(result->files_found, 2u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->total_size, tree.bundle);
}

TEST_F(BulkEngineTest, RootWithTrailingSeparatorJoinsWithoutDoubling) {
  StandardTree tree;
  const auto result = scan_ok(tree.root() + "/", 8);
  EXPECT_EQ(result->files_found, StandardTree::kFiles);
  EXPECT_NE(result->children_of(tree.at("docs")), nullptr);
  EXPECT_EQ(dir_size(*result, tree.root() + "/docs"), tree.r1 + tree.x + tree.y);
  EXPECT_EQ(dir_size(*result, tree.root() + "/"), tree.total());
}

TEST_F(BulkEngineTest, MissingRootGivesAnEmptyResult) {
  TempDir tree;
  const auto result = scan_ok(tree.at("absent"), 8);
  EXPECT_EQ(result->files_found, 0u);
  EXPECT_EQ(result->dirs_found, 0u);
  EXPECT_EQ(result->total_size, 0u);
  EXPECT_TRUE(result->children_map.empty());
  EXPECT_EQ(dir_size(*result, tree.at("absent")), 0u);
}

TEST_F(BulkEngineTest, NamesThatAreNotUtf8KeepTheirSizes) {
  TempDir tree;
  TESSALY_CREATE_OR_SKIP(tree.make_dir("caf\xe9"));
  const std::uint64_t f = allocated_size(tree.write_file("caf\xe9/f", 8000));
  const std::uint64_t g = allocated_size(tree.write_file("caf\xe9/sub/g", 3000));
  for (std::uint64_t depth : {1u, 5u}) {
    SCOPED_TRACE(depth);
    const auto result = scan_ok(tree.path(), depth);
    EXPECT_EQ(result->files_found, 2u);
    EXPECT_EQ(result->dirs_found, 2u);
    EXPECT_EQ(result->total_size, f + g);
    EXPECT_THAT(listed(*result, tree.path()), ElementsAre("caf\xEF\xBF\xBD/"));
    EXPECT_EQ(dir_size(*result, tree.at("caf\xe9")), f + g);
    EXPECT_EQ(dir_size(*result, tree.path()), f + g);
  }
}

// A fake kernel presenting `host_root` as the file system's root "/" on an
// "apfs" volume and answering getattrlistbulk. It cannot open relative to a
// directory, so every directory is opened by its path as the walk sees it;
// `on_open`, when set, is called with that path first (on any thread).
std::unique_ptr<testing::FaultyKernel> virtual_root(
    const std::string& host_root, std::function<void(std::string_view)> on_open = nullptr) {
  auto os = std::make_unique<testing::FaultyKernel>();
  os->root = host_root;
  os->volume_type = "apfs";
  os->answers_bulk = true;
  os->on_open = [on_open = std::move(on_open)](const testing::KernelCall& call) {
    if (call.dir_fd != AT_FDCWD) return ENOSYS;
    if (on_open) on_open(call.path);
    return 0;
  };
  return os;
}

// A host tree laid out like a macOS root volume.
struct SystemLikeTree {
  TempDir dir;
  std::uint64_t user_file = 0, internal_file = 0, other_file = 0, preboot_file = 0;
  SystemLikeTree() {
    user_file = allocated_size(dir.write_file("Users/me/notes", 6000));
    dir.make_dir("System/Volumes/Data/Users");
    preboot_file = allocated_size(dir.write_file("System/Volumes/Preboot/boot.efi", 2000));
    dir.make_dir("System/Volumes/VM");
    dir.make_dir("System/Volumes/Broken");
    dir.make_dir("System/Volumes/Recovery");
    dir.make_dir("System/Volumes/Update/mnt1/x");
    dir.make_dir("Volumes/External/stuff");
    internal_file = allocated_size(dir.write_file("Volumes/Internal/file", 3000));
    other_file = allocated_size(dir.write_file("mnt/other/file", 1000));
  }
};

constexpr std::uint32_t kOtherDevice = 0xABC01;

void mount_system_volumes(testing::FaultyKernel& os) {
  const auto root_device = bulk_device_of(platform::system_kernel(), os.root.c_str());
  ASSERT_TRUE(root_device.has_value());
  os.volumes["/System/Volumes/Data"] = {kOtherDevice, 900'000'000'000};
  os.volumes["/System/Volumes/Preboot"] = {kOtherDevice + 1, 5'000'000'000};
  os.volumes["/System/Volumes/VM"] = {kOtherDevice + 2, 0};
  os.volumes["/System/Volumes/Broken"] = {kOtherDevice + 3, std::unexpected(EIO)};
  os.volumes["/System/Volumes/Recovery"] = {kOtherDevice + 4, 1'000'000};
  os.volumes["/System/Volumes/Update/mnt1"] = {kOtherDevice + 5, 7'000'000};
  os.volumes["/Volumes/External"] = {kOtherDevice + 6, 8'000'000};
  // Marked as a mount point, but stat finds the root's own volume there.
  os.volumes["/Volumes/Internal"] = {static_cast<std::uint32_t>(*root_device), 9'000'000};
  // A volume mounted elsewhere in the tree: its listing shows the root's device.
  os.volumes["/mnt/other"] = {kOtherDevice + 8, 10'000'000};
}

TEST_F(BulkEngineTest, SystemVolumesStandAsOneItemAndOtherVolumesAreLeftOut) {
  SystemLikeTree tree;
  const auto fake = virtual_root(tree.dir.path());
  testing::FaultyKernel& os = *fake;
  mount_system_volumes(os);
  std::mutex stats_mutex;
  std::vector<std::string> stated_paths;  // stats by path, guarded by stats_mutex
  os.on_stat = [&](const testing::KernelCall& call) {
    if (call.dir_fd == AT_FDCWD) {
      const std::lock_guard lock(stats_mutex);
      stated_paths.emplace_back(call.path);
    }
    return 0;
  };
  const auto result = scan_ok(os, "/", 8);
  // Files: notes, Internal/file, Preboot (volume), Recovery (volume).
  EXPECT_EQ(result->files_found, 4u);
  // Directories: Users, me, System, System/Volumes, Update, Volumes, Internal, mnt.
  EXPECT_EQ(result->dirs_found, 8u);
  EXPECT_EQ(result->total_size, tree.user_file + tree.internal_file + 5'000'000'000 + 1'000'000);
  EXPECT_THAT(listed(*result, "/System/Volumes"),
              ::testing::IsSupersetOf({"Preboot:5000000000", "Recovery:1000000", "Update/"}));
  EXPECT_EQ(listed(*result, "/System/Volumes").size(), 3u);
  EXPECT_THAT(listed(*result, "/Volumes"), ElementsAre("Internal/"));
  EXPECT_THAT(listed(*result, "/mnt"), ::testing::IsEmpty());
  EXPECT_EQ(result->children_of("/System/Volumes/Update"), nullptr);
  ASSERT_EQ(result->large_files.size(), 1u);
  EXPECT_EQ(result->large_files[0].path, "/System/Volumes/Preboot");
  EXPECT_EQ(dir_size(*result, "/System/Volumes"), 5'001'000'000u);
  EXPECT_EQ(dir_size(*result, "/"), result->total_size);
  // Only the root, mount points and the children of the two volume folders
  // are stat'ed; every other entry's device comes from its listing.
  for (const std::string& path : stated_paths) {
    EXPECT_TRUE(path == "/" || os.volumes.contains(path) || path == "/System/Volumes/Update")
        << path;
  }
  EXPECT_THAT(stated_paths, ::testing::Contains("/mnt/other"));
}

TEST_F(BulkEngineTest, SystemVolumeBelowTheTreeDepthIsFolded) {
  SystemLikeTree tree;
  const auto fake = virtual_root(tree.dir.path());
  testing::FaultyKernel& os = *fake;
  mount_system_volumes(os);
  const auto result = scan_ok(os, "/", 1);
  EXPECT_EQ(result->files_found, 4u);
  EXPECT_EQ(result->dirs_found, 8u);
  EXPECT_EQ(result->truncated_size("/System"), 5'001'000'000u);
  EXPECT_EQ(dir_size(*result, "/System"), 5'001'000'000u);
}

TEST_F(BulkEngineTest, UserExclusionDropsASystemVolume) {
  SystemLikeTree tree;
  const auto fake = virtual_root(tree.dir.path());
  testing::FaultyKernel& os = *fake;
  mount_system_volumes(os);
  const auto result = scan_ok(os, "/", 8, {"/System/Volumes/Preboot/"});
  EXPECT_EQ(result->files_found, 3u);
  EXPECT_EQ(result->total_size, tree.user_file + tree.internal_file + 1'000'000);
}

TEST_F(BulkEngineTest, FailedRootStatSwitchesTheDeviceRuleOff) {
  SystemLikeTree tree;
  const auto fake = virtual_root(tree.dir.path());
  testing::FaultyKernel& os = *fake;
  mount_system_volumes(os);
  os.on_stat = [](const testing::KernelCall& call) {
    return call.dir_fd == AT_FDCWD && call.path == "/" ? EACCES : 0;
  };
  const auto result = scan_ok(os, "/", 8);
  // Every volume is walked, but the fixed system paths stay excluded.
  EXPECT_EQ(result->files_found, 4u);  // notes, boot.efi, Internal/file, other/file
  EXPECT_EQ(result->total_size,
            tree.user_file + tree.preboot_file + tree.internal_file + tree.other_file);
  // Users me System Volumes Preboot VM Broken Recovery Update Volumes External
  // stuff Internal mnt other
  EXPECT_EQ(result->dirs_found, 15u);
}

TEST_F(BulkEngineTest, LargeFileThresholdAndNegativeSizes) {
  TempDir tree;
  tree.write_file("exact", 1);
  tree.write_file("below", 1);
  tree.write_file("negative", 1);
  tree.write_file("sub/huge", 1);
  const auto fake = virtual_root(tree.path());
  testing::FaultyKernel& os = *fake;
  os.allocated_sizes["/exact"] = 524'288'000;
  os.allocated_sizes["/below"] = 524'287'999;
  os.allocated_sizes["/negative"] = -4096;
  os.allocated_sizes["/sub/huge"] = 3'000'000'000;
  const auto result = scan_ok(os, "/", 0);
  EXPECT_EQ(result->files_found, 4u);
  EXPECT_EQ(result->total_size, 524'288'000u + 524'287'999u + 3'000'000'000u);
  ASSERT_EQ(result->large_files.size(), 2u);
  EXPECT_EQ(result->large_files[0], (LargeFile{"huge", "/sub/huge", 3'000'000'000}));
  EXPECT_EQ(result->large_files[1], (LargeFile{"exact", "/exact", 524'288'000}));
}

TEST_F(BulkEngineTest, FailingJobEndsWithWalkThreadPanickedAfterTheOthers) {
  TempDir tree;
  for (int i = 0; i < 20; ++i) tree.write_file("d" + std::to_string(i) + "/f", 10);
  const auto fake = virtual_root(tree.path());
  testing::FaultyKernel& os = *fake;
  os.on_list = [](const testing::KernelCall& call) -> int {
    if (call.fd_path == "/d3") throw std::runtime_error("injected failure in /d3");
    return 0;
  };
  auto result = scan_with_bulk_attrs(os, "/", 8, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Walk thread panicked");
  EXPECT_EQ(os.opens.load(), 21);  // every other directory was still read
  EXPECT_EQ(os.closes.load(), os.opens.load());
  EXPECT_EQ(find_cached_scan("/"), nullptr);
}

TEST_F(BulkEngineTest, CancellationStopsTheScanAndLeavesNoJobRunning) {
  TempDir tree;
  std::string chain;
  for (int i = 0; i < 60; ++i) {
    chain += "/c" + std::to_string(i);
    tree.write_file(chain.substr(1) + "/f", 10);
  }
  std::unique_ptr<testing::FaultyKernel> fake;
  fake = virtual_root(tree.path(), [&fake](std::string_view) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (fake->opens.load() == 5) request_scan_cancel();
  });
  testing::FaultyKernel& os = *fake;
  const auto result = scan_with_bulk_attrs(os, "/", 8, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Scan cancelled");
  EXPECT_EQ(os.closes.load(), os.opens.load());
  const int opened = os.opens.load();
  EXPECT_LT(opened, 61);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(os.opens.load(), opened);
  EXPECT_EQ(find_cached_scan("/"), nullptr);
}

TEST_F(BulkEngineTest, CancellationSeenAfterTheWalkStillCancels) {
  TempDir tree;
  tree.write_file("a/f", 10);
  const auto fake = virtual_root(tree.path(), [](std::string_view path) {
    if (path == "/a") request_scan_cancel();
  });
  testing::FaultyKernel& os = *fake;
  const auto result = scan_with_bulk_attrs(os, "/", 8, {});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Scan cancelled");
}

class RecordingEmitter final : public ProgressEmitter {
 public:
  bool emit(std::string_view event, std::string_view payload) const override {
    const std::lock_guard lock(mutex_);
    events.emplace_back(std::string(event), std::string(payload));
    return events.size() % 2 == 0;  // every other delivery fails, which must not matter
  }
  mutable std::vector<std::pair<std::string, std::string>> events;
  mutable std::mutex mutex_;
};

TEST_F(BulkEngineTest, ProgressEventsWhileWalkingAndAFinalOne) {
  TempDir tree;
  std::string chain;
  for (int i = 0; i < 8; ++i) {
    chain += "/c" + std::to_string(i);
    tree.write_file(chain.substr(1) + "/f", 10);
  }
  const auto fake = virtual_root(tree.path(), [](std::string_view) {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  });
  testing::FaultyKernel& os = *fake;
  RecordingEmitter emitter;
  const auto result = scan_ok(os, "/", 8, {}, &emitter);
  ASSERT_GE(emitter.events.size(), 2u);
  for (const auto& [event, payload] : emitter.events) EXPECT_EQ(event, "scan-progress");
  const std::regex shape(
      R"(\{"files_found":(\d+),"dirs_found":(\d+),"total_size":(\d+),"elapsed_ms":(\d+)\})");
  std::uint64_t last_elapsed = 0;
  for (const auto& [event, payload] : emitter.events) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(payload, m, shape)) << payload;
    EXPECT_GE(std::stoull(m[4]), last_elapsed);
    last_elapsed = std::stoull(m[4]);
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_match(emitter.events.back().second, m, shape));
  EXPECT_EQ(std::stoull(m[1]), result->files_found);
  EXPECT_EQ(std::stoull(m[2]), result->dirs_found);
  EXPECT_EQ(std::stoull(m[3]), result->total_size);
  EXPECT_GE(std::stoull(m[4]), 8u * 60u);
}

TEST_F(BulkEngineTest, StoresInTheCacheUnderTheCap) {
  StandardTree tree;
  for (int i = 0; i < 6; ++i) {
    store_scan_result("/elsewhere/" + std::to_string(i), std::make_shared<const ScanResult>());
  }
  const auto first = scan_ok(tree.root(), 8);
  EXPECT_EQ(find_cached_scan(tree.root()), first);
  EXPECT_EQ(find_cached_scan(tree.root() + "/"), first);
  // Six other roots and this one: the oldest went until four remained.
  EXPECT_EQ(scan_cache().size(), 5u);
  EXPECT_EQ(find_cached_scan("/elsewhere/0"), nullptr);
  const auto second = scan_ok(tree.root() + "/", 8);
  EXPECT_EQ(find_cached_scan(tree.root()), second);
  EXPECT_EQ(scan_cache().size(), 4u);
}

TEST_F(BulkEngineTest, LogsTheTwoInfoLines) {
  StandardTree tree;
  std::ostringstream out;
  auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(out);
  sink->set_pattern("%n|%l|%v");
  install_log_sink(sink, spdlog::level::info);
  const auto result = scan_ok(tree.root(), 8);
  remove_log_sinks();
  std::uint64_t entries = 0;
  for (const auto& [dir, list] : result->children_map) entries += list.size();
  const std::string text = out.str();
  const std::regex lines(
      R"(tessaly_lib::macos_walker\|info\|\[walk:bulk\] walk finished at \d+ ms
tessaly_lib::macos_walker\|info\|\[post-walk:bulk\] compute_dir_sizes: \d+ ms \((\d+) dirs\), children_map entries: (\d+)
)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(text, m, lines)) << text;
  EXPECT_EQ(std::stoull(m[1]), result->dir_sizes.size());
  EXPECT_EQ(std::stoull(m[2]), entries);
  EXPECT_EQ(entries, 14u);  // root 8, docs 2, deep 2, deeper 2
}

// Whether the temporary folder lies on a volume the bulk engine reads (as on
// a Mac), where refusals of this volume cannot be seen.
bool temp_volume_supported(const TempDir& tree) { return supports_bulk_attrs(tree.path()); }

TEST_F(BulkEngineTest, SelectionRefusesVolumesTheReaderCannotRead) {
  TempDir tree;
  tree.write_file("f", 100);
  std::vector<std::string> roots = {tree.at("absent"), tree.path() + std::string("\0x", 2)};
  if (!temp_volume_supported(tree)) roots.push_back(tree.path());
  for (const std::string& root : roots) {
    const auto result = run_bulk_attrs_selected(root, 8, {}, ScanContext{});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "bulk-attrs is unsupported on this volume (expected apfs/hfs)");
    EXPECT_EQ(result.error().size(), 60u);
  }
  EXPECT_EQ(scan_cache().size(), 0u);
}

TEST_F(BulkEngineTest, ScanBenchDefaultEngineFailsTheFirstRunOnThisVolume) {
  TempDir tree;
  tree.write_file("f", 100);
  if (temp_volume_supported(tree)) GTEST_SKIP() << "the temporary folder is on apfs/hfs here";
  const auto cold = testing::run_process({SCAN_BENCH_BINARY, "--root", tree.path()}, tree.path());
  EXPECT_EQ(cold.exit_code, 1);
  EXPECT_EQ(cold.out, "");
  EXPECT_EQ(cold.err,
            "cold run failed: bulk-attrs is unsupported on this volume (expected apfs/hfs)\n");
  const auto warm = testing::run_process(
      {SCAN_BENCH_BINARY, "--root", tree.path(), "--engine", "bulk-attrs", "--cold-runs", "0"},
      tree.path());
  EXPECT_EQ(warm.exit_code, 1);
  EXPECT_EQ(warm.err,
            "warm run failed: bulk-attrs is unsupported on this volume (expected apfs/hfs)\n");
}

// A varied tree: nested directories down to depth 7, empty ones, bundles
// (nested too), links to files and directories, names that are not UTF-8,
// excluded directories, and optionally hard links spread over directories.
void build_varied_tree(TempDir& tree, bool hard_links) {
  std::uint32_t state = 12345;
  const auto next = [&state](std::uint32_t bound) {
    state = state * 1103515245u + 12345u;
    return (state >> 8) % bound;
  };
  std::vector<std::string> dirs = {""};
  for (int i = 0; i < 60; ++i) {
    const std::string& parent = dirs[next(static_cast<std::uint32_t>(dirs.size()))];
    if (std::count(parent.begin(), parent.end(), '/') >= 6) continue;
    std::string name = "d" + std::to_string(i);
    if (i % 11 == 0) name += "\xff";
    const std::string dir = parent.empty() ? name : parent + "/" + name;
    TESSALY_CREATE_OR_SKIP(tree.make_dir(dir));
    dirs.push_back(dir);
  }
  for (int i = 0; i < 300; ++i) {
    const std::string& dir = dirs[next(static_cast<std::uint32_t>(dirs.size()))];
    const std::string file = (dir.empty() ? "" : dir + "/") + "f" + std::to_string(i);
    tree.write_file(file, next(40000));
    if (hard_links && i % 37 == 0) {
      const std::string& other = dirs[next(static_cast<std::uint32_t>(dirs.size()))];
      tree.make_hardlink(file, (other.empty() ? "" : other + "/") + "h" + std::to_string(i));
    }
    if (i % 29 == 0) tree.make_symlink(file.substr(file.rfind('/') + 1), file + ".lnk");
  }
  tree.write_file("d3/Viewer.app/Contents/MacOS/viewer", 30000);
  tree.write_file("d3/Viewer.app/Contents/Plug.bundle/p", 5000);
  tree.make_dir("Empty.kext");
  tree.write_file("excluded/inside", 9000);
  tree.make_symlink("..", "d1/up");
}

void expect_engines_agree(const std::string& root, std::uint64_t tree_depth,
                          const std::vector<std::string>& excludes, bool compare_maps) {
  SCOPED_TRACE("tree_depth " + std::to_string(tree_depth));
  auto bulk = scan_with_bulk_attrs(root, tree_depth, excludes);
  auto jwalk = scan_with_jwalk(root, tree_depth, excludes);
  ASSERT_TRUE(bulk.has_value());
  ASSERT_TRUE(jwalk.has_value());
  const ScanResult& b = **bulk;
  const ScanResult& j = **jwalk;
  EXPECT_EQ(b.files_found, j.files_found);
  EXPECT_EQ(b.dirs_found, j.dirs_found);
  EXPECT_EQ(b.total_size, j.total_size);
  EXPECT_EQ(b.large_files, j.large_files);
  if (!compare_maps) return;
  EXPECT_EQ(b.dir_sizes, j.dir_sizes);
  EXPECT_EQ(b.truncated_sizes, j.truncated_sizes);
  ASSERT_EQ(b.children_map.size(), j.children_map.size());
  for (const auto& [dir, list] : b.children_map) {
    const auto* other = j.children_of(dir);
    ASSERT_NE(other, nullptr) << dir;
    EXPECT_THAT(list, UnorderedElementsAreArray(*other)) << dir;
  }
}

TEST_F(BulkEngineTest, BothEnginesAgreeAtEveryDepth) {
  TempDir tree;
  build_varied_tree(tree, false);
  if (IsSkipped()) return;
  for (std::uint64_t depth : {0u, 1u, 2u, 3u, 5u, 8u, 100u}) {
    expect_engines_agree(tree.path(), depth, {tree.at("excluded")}, true);
  }
}

// A volume mounted inside the tree (a disk image, a share): the listing shows
// it on its parent's device and marks it as a mount point, so the bulk engine
// stats that one directory, finds the other volume and leaves it out, as the
// parallel walker does.
TEST_F(BulkEngineTest, VolumeMountedInsideTheTreeIsLeftOutByBothEngines) {
  TempDir tree;
  const std::uint64_t kept = allocated_size(tree.write_file("a/kept", 5000));
  tree.write_file("a/b/also", 100);
  const std::string mount_point = tree.make_dir("a/volume");
  tree.write_file("a/volume/covered", 7000);
  testing::Mounts mounts;
  const bool mounted = mounts.add("tmpfs", mount_point);
  if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs here (needs root)";
  tree.write_file("a/volume/top", 3000);
  tree.write_file("a/volume/sub/deep", 3000);

  testing::FaultyKernel os;
  std::mutex mutex;
  std::vector<std::string> stated;  // stats by path, as the engine makes them
  os.on_stat = [&](const testing::KernelCall& call) {
    if (call.dir_fd == AT_FDCWD) {
      const std::lock_guard lock(mutex);
      stated.emplace_back(call.path);
    }
    return 0;
  };
  const auto bulk = scan_with_bulk_attrs(os, tree.path(), 8, {});
  const auto jwalk = scan_with_jwalk(tree.path(), 8, {});
  ASSERT_TRUE(bulk.has_value());
  ASSERT_TRUE(jwalk.has_value());
  EXPECT_EQ(testing::describe_result(**bulk), testing::describe_result(**jwalk));
  EXPECT_EQ((*bulk)->files_found, 2u);
  EXPECT_GE((*bulk)->total_size, kept);
  EXPECT_THAT(listed(**bulk, tree.at("a")),
              UnorderedElementsAre("kept:" + std::to_string(kept), "b/"));
  // The root, the place of a Data volume (to find the root's volume group)
  // and the mount point alone are stat'ed by path.
  EXPECT_THAT(stated,
              UnorderedElementsAre(tree.path(), std::string(kDataVolumeMount), mount_point));
}

TEST_F(BulkEngineTest, BothEnginesAgreeWithHardLinksAcrossDirectories) {
  TempDir tree;
  build_varied_tree(tree, true);
  if (IsSkipped()) return;
  for (std::uint64_t depth : {0u, 2u, 8u}) expect_engines_agree(tree.path(), depth, {}, false);
}

// Every listed name of a multiply-linked file, in one folder and across
// folders, in a directory sent in parts too, carries the file's identity;
// the first name recorded carries its blocks.
TEST_F(BulkEngineTest, BothEnginesGiveTheSameHardLinkIdentities) {
  TempDir tree;
  build_varied_tree(tree, true);
  if (IsSkipped()) return;
  tree.write_file("d3/solo", 3000);
  tree.make_hardlink("d3/solo", "d3/solo again");
  for (int i = 0; i < 4200; ++i) {
    const std::string name = "big/f" + std::to_string(i);
    tree.write_file(name, i % 500 == 0 ? 5000 : 0);
    if (i % 500 == 0) tree.make_hardlink(name, "big/l" + std::to_string(i));
  }
  std::map<std::string, HardLink> engines[2];
  for (const bool bulk : {true, false}) {
    const auto result =
        bulk ? scan_with_bulk_attrs(tree.path(), 8, {}) : scan_with_jwalk(tree.path(), 8, {});
    ASSERT_TRUE(result.has_value());
    std::map<std::string, HardLink>& links = engines[bulk ? 0 : 1];
    links = testing::listed_hard_links(**result);
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> counted;
    for (auto& [path, link] : links) {
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
      EXPECT_EQ(link.inode, st.st_ino) << path;
      EXPECT_EQ(link.link_count, st.st_nlink) << path;
      EXPECT_EQ(link.size, static_cast<std::uint64_t>(st.st_blocks) * 512) << path;
      counted[{link.device, link.inode}] += link.counted ? 1 : 0;
      link.counted = false;  // which name comes first is the walk's order
    }
    for (const auto& [file, names] : counted) EXPECT_EQ(names, 1) << file.second;
  }
  // 9 files linked across folders, one inside d3 and 9 inside big: two names each.
  EXPECT_EQ(engines[0].size(), 38u);
  EXPECT_EQ(engines[0], engines[1]);
  EXPECT_TRUE(engines[0].contains(tree.at("big/l4000")));
}

TEST_F(BulkEngineTest, BothEnginesAgreeOnLargeFiles) {
  TempDir tree;
  if (!allocate_file(tree.write_file("media/movie.mkv"), 520ull << 20) ||
      !allocate_file(tree.write_file("Big.app/Contents/data"), 600ull << 20)) {
    GTEST_SKIP() << "this file system cannot reserve blocks with posix_fallocate";
  }
  tree.write_file("media/small", 1000);
  expect_engines_agree(tree.path(), 8, {}, true);
  expect_engines_agree(tree.path(), 0, {}, true);
  const auto result = scan_ok(tree.path(), 8);
  ASSERT_EQ(result->large_files.size(), 2u);
  EXPECT_EQ(result->large_files[0].name, "Big.app");
  EXPECT_EQ(result->large_files[1].path, tree.at("media/movie.mkv"));
}

TEST_F(BulkEngineTest, OnlyThisEngineLeavesOutFifos) {
  TempDir tree;
  tree.write_file("a/f", 3000);
  tree.make_fifo("a/fifo");
  tree.make_fifo("top-fifo");
  const auto bulk = scan_ok(tree.path(), 8);
  auto jwalk = scan_with_jwalk(tree.path(), 8, {});
  ASSERT_TRUE(jwalk.has_value());
  EXPECT_EQ((*jwalk)->files_found, bulk->files_found + 2);
  EXPECT_EQ((*jwalk)->dirs_found, bulk->dirs_found);
  EXPECT_EQ((*jwalk)->total_size, bulk->total_size);
}

// Runs the scan of `root` in a fresh copy of this program as uid 65534 and
// returns what it wrote, or why that cannot be done here.
std::expected<std::string, std::string> scan_unprivileged(const std::string& root) {
  TempDir out_dir;
  ::chmod(out_dir.path().c_str(), 0777);
  const std::string out = out_dir.at("result");
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) env_strings.emplace_back(*e);
  env_strings.push_back(std::string(kChildRootVar) + "=" + root);
  env_strings.push_back(std::string(kChildOutVar) + "=" + out);
  std::vector<char*> env;
  for (std::string& s : env_strings) env.push_back(s.data());
  env.push_back(nullptr);
  auto self = testing::unprivileged_program(testing::own_program_path());
  if (!self) return std::unexpected(self.error());
  char* argv[] = {self->data(), nullptr};
  const int status = testing::run_unprivileged([&] {
    if (::chdir("/") != 0) return 126;
    ::execve(argv[0], argv, env.data());
    return 127;
  });
  if (status == -1) return std::unexpected("cannot drop privileges to uid 65534 here");
  EXPECT_EQ(status, 0);
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  return line;
}

TEST_F(BulkEngineTest, UnreadableDirectoriesAreSkippedButCounted) {
  TempDir tree;
  ::chmod(tree.path().c_str(), 0755);
  const std::uint64_t open_file = allocated_size(tree.write_file("open/file", 5000));
  tree.write_file("locked/secret", 5000);
  tree.write_file("locked/inner/more", 5000);
  ::chmod(tree.at("locked").c_str(), 0700);
  const auto line = scan_unprivileged(tree.path());
  if (!line) GTEST_SKIP() << line.error();
  // files dirs total listed-at-root: "locked" is listed and counted, its
  // contents are not.
  EXPECT_EQ(*line, "1 2 " + std::to_string(open_file) + " 2");
}

TEST_F(BulkEngineTest, UnreadableRootGivesAnEmptyResult) {
  TempDir tree;
  ::chmod(tree.path().c_str(), 0755);
  tree.write_file("locked/secret", 5000);
  ::chmod(tree.at("locked").c_str(), 0700);
  const auto line = scan_unprivileged(tree.at("locked"));
  if (!line) GTEST_SKIP() << line.error();
  EXPECT_EQ(*line, "0 0 0 0");
}

}  // namespace
}  // namespace tessaly
