#include "jwalk/jwalk_engine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/mount.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include "base/logging.h"
#include "base/paths.h"
#include "cache/scan_cache.h"
#include "jwalk/walker.h"
#include "progress/progress.h"
#include "rules/bundles.h"
#include "support/faulty_kernel.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using tessaly::testing::allocated_size;
using tessaly::testing::make_long_chain;
using tessaly::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

// Trees of these tests go to memory when the machine has a tmpfs at /dev/shm:
// removing many directories from a disk-backed file system can take minutes,
// and nothing tested here depends on the file system's kind.
const bool kScratchInMemory = [] {
  if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) {
    ::setenv("TMPDIR", "/dev/shm", 0);
  }
  return true;
}();

// --- Helpers -----------------------------------------------------------------

std::shared_ptr<const ScanResult> scan(const std::string& root, std::uint64_t tree_depth = 8,
                                       const std::vector<std::string>& excludes = {}) {
  auto result = scan_with_jwalk(root, tree_depth, excludes);
  if (!result) throw std::runtime_error("scan failed: " + result.error());
  return *result;
}

using Child = std::tuple<std::string, std::uint64_t, bool>;

std::vector<Child> children(const ScanResult& result, const std::string& dir) {
  std::vector<Child> out;
  if (const auto* list = result.children_of(dir)) {
    for (const ChildEntry& entry : *list) {
      out.emplace_back(std::string(entry.name()), entry.size(), entry.is_dir());
    }
  }
  return out;
}

std::uint64_t dir_size(const ScanResult& result, const std::string& dir) {
  const std::uint64_t* size = result.dir_size(dir);
  if (size == nullptr) throw std::runtime_error("no dir_sizes entry for " + dir);
  return *size;
}

// Creates `relative` with `bytes` allocated (fallocate), without writing them.
std::string make_allocated(const TempDir& dir, const std::string& relative, off_t bytes) {
  const std::string path = dir.write_file(relative, 0);
  const int fd = ::open(path.c_str(), O_WRONLY);
  if (fd < 0 || testing::reserve_blocks(fd, static_cast<std::uint64_t>(bytes)) != 0) {
    throw std::runtime_error("fallocate");
  }
  ::close(fd);
  return path;
}

// A log sink that keeps every message it receives.
class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<std::pair<spdlog::level::level_enum, std::string>> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    messages_.emplace_back(message.level,
                           std::string(message.payload.data(), message.payload.size()));
    on_message(message);
  }
  void flush_() override {}
  virtual void on_message(const spdlog::details::log_msg&) {}

 private:
  std::vector<std::pair<spdlog::level::level_enum, std::string>> messages_;
};

// Installs a capturing sink on the library's loggers for one test.
class LogCapture {
 public:
  explicit LogCapture(std::shared_ptr<CaptureSink> sink = std::make_shared<CaptureSink>())
      : sink_(std::move(sink)) {
    install_log_sink(sink_, spdlog::level::trace);
  }
  ~LogCapture() { remove_log_sinks(); }
  std::vector<std::pair<spdlog::level::level_enum, std::string>> messages() {
    return sink_->messages();
  }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

// Records every progress event.
class RecordingEmitter : public ProgressEmitter {
 public:
  bool emit(std::string_view event, std::string_view payload) const override {
    std::lock_guard lock(mutex_);
    events_.emplace_back(std::string(event), std::string(payload));
    if (on_emit_) on_emit_();
    return true;
  }
  std::vector<std::pair<std::string, std::string>> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  void set_on_emit(std::function<void()> hook) { on_emit_ = std::move(hook); }

 private:
  mutable std::mutex mutex_;
  mutable std::vector<std::pair<std::string, std::string>> events_;
  std::function<void()> on_emit_;
};

// A clock that moves forward by `step` every time it is read.
class SteppingClock : public Clock {
 public:
  explicit SteppingClock(std::chrono::nanoseconds step) : step_(step) {}
  Instant now() const override {
    return Instant(std::chrono::hours(1) + step_ * reads_.fetch_add(1, std::memory_order_relaxed));
  }

 private:
  std::chrono::nanoseconds step_;
  mutable std::atomic<std::int64_t> reads_{0};
};

std::uint64_t json_field(const std::string& json, const std::string& key) {
  const std::string label = "\"" + key + "\":";
  const auto at = json.find(label);
  if (at == std::string::npos) throw std::runtime_error("no " + key + " in " + json);
  return std::stoull(json.substr(at + label.size()));
}

// True when `text` is `prefix`, one or more decimal digits, then `suffix`.
bool is_number_between(const std::string& text, const std::string& prefix,
                       const std::string& suffix) {
  if (text.size() <= prefix.size() + suffix.size()) return false;
  if (!text.starts_with(prefix) || !text.ends_with(suffix)) return false;
  const std::string middle =
      text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
  return std::all_of(middle.begin(), middle.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string counters_of(const ScanResult& result) {
  return "files " + std::to_string(result.files_found) + " dirs " +
         std::to_string(result.dirs_found) + " total " + std::to_string(result.total_size);
}

// --- Counters, lists and sizes -------------------------------------------------

TEST(JwalkEngine, EmptyRoot) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 0u);
  EXPECT_EQ(result->dirs_found, 0u);
  EXPECT_EQ(result->total_size, 0u);
  EXPECT_TRUE(result->children_map.empty());
  EXPECT_TRUE(result->large_files.empty());
  EXPECT_EQ(result->dir_sizes.size(), 1u);
  EXPECT_EQ(dir_size(*result, root), 0u);
  EXPECT_EQ(result->root, root);
}

TEST(JwalkEngine, CountsAndSizesEveryEntryByAllocatedBlocks) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto a = allocated_size(dir.write_file("root/a.txt", 10000));
  const auto hidden = allocated_size(dir.write_file("root/.hidden", 1));
  const auto b = allocated_size(dir.write_file("root/sub/b.bin", 70000));
  dir.make_dir("root/sub/empty");
  const auto c = allocated_size(dir.write_file("root/sub/deeper/c", 3));
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 4u);
  EXPECT_EQ(result->dirs_found, 3u);
  EXPECT_EQ(result->total_size, a + hidden + b + c);
  EXPECT_THAT(children(*result, root),
              UnorderedElementsAreArray(std::vector<Child>{
                  {"a.txt", a, false}, {".hidden", hidden, false}, {"sub", 0, true}}));
  EXPECT_THAT(children(*result, root + "/sub"),
              UnorderedElementsAreArray(std::vector<Child>{
                  {"b.bin", b, false}, {"empty", 0, true}, {"deeper", 0, true}}));
  EXPECT_THAT(children(*result, root + "/sub/deeper"), ElementsAre(Child{"c", c, false}));
  EXPECT_EQ(dir_size(*result, root), a + hidden + b + c);
  EXPECT_EQ(dir_size(*result, root + "/sub"), b + c);
  EXPECT_EQ(dir_size(*result, root + "/sub/empty"), 0u);
  EXPECT_EQ(dir_size(*result, root + "/sub/deeper"), c);
  EXPECT_TRUE(result->truncated_sizes.empty());
}

TEST(JwalkEngine, TreeDepthCutsTheListsButNotTheWalk) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto top = allocated_size(dir.write_file("root/top", 5000));
  const auto mid = allocated_size(dir.write_file("root/sub/mid", 9000));
  const auto low = allocated_size(dir.write_file("root/sub/deep/low", 20000));
  const auto result = scan(root, 1);
  EXPECT_EQ(result->files_found, 3u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->total_size, top + mid + low);
  EXPECT_THAT(children(*result, root),
              UnorderedElementsAreArray(std::vector<Child>{{"top", top, false}, {"sub", 0, true}}));
  EXPECT_EQ(result->children_of(root + "/sub"), nullptr);
  EXPECT_EQ(result->truncated_size(root + "/sub"), mid + low);
  EXPECT_EQ(dir_size(*result, root + "/sub"), mid + low);
  EXPECT_EQ(dir_size(*result, root), top + mid + low);
}

TEST(JwalkEngine, TreeDepthZeroFoldsEverythingIntoTheRoot) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/f", 5000));
  const auto g = allocated_size(dir.write_file("root/d/g", 8000));
  const auto result = scan(root, 0);
  EXPECT_EQ(result->files_found, 2u);
  EXPECT_EQ(result->dirs_found, 1u);
  EXPECT_TRUE(result->children_map.empty());
  EXPECT_EQ(result->truncated_size(root), f + g);
  EXPECT_EQ(result->dir_sizes.size(), 1u);
  EXPECT_EQ(dir_size(*result, root), f + g);
}

TEST(JwalkEngine, HardLinkedFileCountsItsBlocksOnce) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto size = allocated_size(dir.write_file("root/original", 40000));
  dir.make_hardlink("root/original", "root/sub/second");
  dir.make_hardlink("root/original", "root/sub/deeper/third");
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 3u);
  EXPECT_EQ(result->total_size, size);
  std::uint64_t listed = 0;
  for (const auto& [parent, list] : result->children_map) {
    for (const ChildEntry& entry : list) {
      if (!entry.is_dir()) {
        EXPECT_TRUE(entry.size() == 0 || entry.size() == size) << entry.name();
        listed += entry.size();
      }
    }
  }
  EXPECT_EQ(listed, size);
}

TEST(JwalkEngine, SymbolicLinksAreNeitherCountedNorFollowed) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/real/f", 3000));
  dir.write_file("outside/big", 100000);
  dir.make_symlink("loop-b", "root/loop-a");
  dir.make_symlink("loop-a", "root/loop-b");
  dir.make_symlink(dir.at("outside"), "root/to-outside");
  dir.make_symlink("real", "root/to-real");
  dir.make_symlink("real/f", "root/to-file");
  dir.make_symlink("nowhere", "root/dangling");
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 1u);
  EXPECT_EQ(result->total_size, f);
  EXPECT_THAT(children(*result, root), ElementsAre(Child{"real", 0, true}));
}

TEST(JwalkEngine, FifoCountsAsAFileOfNoSize) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.make_fifo("root/pipe");
  const auto f = allocated_size(dir.write_file("root/f", 100));
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 2u);
  EXPECT_EQ(result->total_size, f);
  EXPECT_THAT(children(*result, root),
              UnorderedElementsAreArray(std::vector<Child>{{"pipe", 0, false}, {"f", f, false}}));
}

TEST(JwalkEngine, BundlesAreTotalledAsOneItem) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto b1 = allocated_size(dir.write_file("root/Tool.app/Contents/MacOS/tool", 30000));
  const auto b2 = allocated_size(dir.write_file("root/Tool.app/Contents/Info.plist", 700));
  const auto b3 =
      allocated_size(dir.write_file("root/Tool.app/Contents/Frameworks/X.framework/x", 9000));
  dir.make_symlink("/etc", "root/Tool.app/Contents/link");
  dir.make_fifo("root/Tool.app/Contents/pipe");
  const auto dot_app = allocated_size(dir.write_file("root/.app/inside", 4000));
  const auto upper = allocated_size(dir.write_file("root/Upper.APP/inside", 5000));
  const auto kext = allocated_size(dir.write_file("root/sub/Driver.kext/k", 6000));
  dir.make_dir("root/sub/Empty.plugin");
  const auto result = scan(root);
  // Tool.app, .app, Driver.kext, Empty.plugin count as files; Upper.APP is a
  // plain directory with one file.
  EXPECT_EQ(result->files_found, 5u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->total_size, b1 + b2 + b3 + dot_app + upper + kext);
  EXPECT_THAT(children(*result, root),
              UnorderedElementsAreArray(std::vector<Child>{{"Tool.app", b1 + b2 + b3, false},
                                                           {".app", dot_app, false},
                                                           {"Upper.APP", 0, true},
                                                           {"sub", 0, true}}));
  EXPECT_THAT(children(*result, root + "/sub"),
              UnorderedElementsAreArray(
                  std::vector<Child>{{"Driver.kext", kext, false}, {"Empty.plugin", 0, false}}));
  EXPECT_THAT(children(*result, root + "/Upper.APP"), ElementsAre(Child{"inside", upper, false}));
  EXPECT_EQ(result->children_of(root + "/Tool.app"), nullptr);
  EXPECT_EQ(dir_size(*result, root), result->total_size);
}

TEST(JwalkEngine, BundleBelowTheTreeDepthIsFoldedIntoItsAncestor) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto inner = allocated_size(dir.write_file("root/a/b/Deep.bundle/f", 12000));
  const auto result = scan(root, 1);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->truncated_size(root + "/a"), inner);
  EXPECT_EQ(dir_size(*result, root + "/a"), inner);
}

TEST(JwalkEngine, HardLinkInsideAndOutsideABundleCountsOnce) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto size = allocated_size(dir.write_file("root/shared", 50000));
  dir.make_hardlink("root/shared", "root/Kit.framework/shared");
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 2u);
  EXPECT_EQ(result->total_size, size);
}

TEST(JwalkEngine, RootThatIsABundle) {
  TempDir dir;
  const std::string parent = dir.make_dir("apps");
  const std::string root = parent + "/Big.app";
  const auto f = allocated_size(dir.write_file("apps/Big.app/Contents/bin", 25000));
  const auto g = allocated_size(dir.write_file("apps/Big.app/Contents/Resources/r", 3000));

  const auto listed = scan(root, 1);
  EXPECT_EQ(listed->files_found, 1u);
  EXPECT_EQ(listed->dirs_found, 0u);
  EXPECT_EQ(listed->total_size, f + g);
  EXPECT_THAT(children(*listed, parent), ElementsAre(Child{"Big.app", f + g, false}));
  EXPECT_EQ(dir_size(*listed, root), 0u);

  const auto folded = scan(root, 0);
  EXPECT_EQ(folded->files_found, 1u);
  EXPECT_TRUE(folded->children_map.empty());
  EXPECT_EQ(folded->truncated_size(root), f + g);
  EXPECT_EQ(dir_size(*folded, root), f + g);
}

TEST(JwalkEngine, LargeFilesAndLargeBundlesSortedLargestFirst) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  constexpr off_t kThreshold = 524'288'000;
  make_allocated(dir, "root/exact", kThreshold);
  make_allocated(dir, "root/just-under", kThreshold - 4096);
  make_allocated(dir, "root/sub/bigger", kThreshold + 8192);
  make_allocated(dir, "root/Huge.app/payload", kThreshold + 4096);
  const auto result = scan(root);
  ASSERT_EQ(result->large_files.size(), 3u);
  EXPECT_EQ(result->large_files[0], (LargeFile{"bigger", root + "/sub/bigger",
                                               static_cast<std::uint64_t>(kThreshold) + 8192}));
  EXPECT_EQ(result->large_files[1], (LargeFile{"Huge.app", root + "/Huge.app",
                                               static_cast<std::uint64_t>(kThreshold) + 4096}));
  EXPECT_EQ(result->large_files[2],
            (LargeFile{"exact", root + "/exact", static_cast<std::uint64_t>(kThreshold)}));
}

// --- Exclusions ----------------------------------------------------------------

TEST(JwalkEngine, ExclusionsMatchComponentWise) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/skip-trailing/f", 1000);
  dir.write_file("root/skip-doubled/inner/f", 1000);
  dir.write_file("root/Keep-Case/f", 1000);
  const auto kept = allocated_size(dir.write_file("root/keep-case/f", 1000));
  const auto file = allocated_size(dir.write_file("root/excluded-file", 2000));
  const auto in_bundle = allocated_size(dir.write_file("root/A.app/Contents/f", 3000));
  const auto result =
      scan(root, 8,
           {root + "/skip-trailing/", dir.path() + "//root//skip-doubled", root + "/keep-case-not",
            root + "/KEEP-CASE", root + "/excluded-file", root + "/A.app/Contents"});
  const auto keep_case = allocated_size(dir.at("root/Keep-Case/f"));
  EXPECT_EQ(result->files_found, 4u);
  EXPECT_EQ(result->dirs_found, 2u);
  EXPECT_EQ(result->total_size, kept + file + in_bundle + keep_case);
  EXPECT_THAT(children(*result, root),
              UnorderedElementsAreArray(std::vector<Child>{{"Keep-Case", 0, true},
                                                           {"keep-case", 0, true},
                                                           {"excluded-file", file, false},
                                                           {"A.app", in_bundle, false}}));
}

TEST(JwalkEngine, RelativeExclusionsMatchOnlyARelativeRoot) {
  TempDir dir;
  dir.write_file("tree/skip/f", 1000);
  const auto g = allocated_size(dir.write_file("tree/g", 1000));
  const auto absolute = scan(dir.at("tree"), 8, {"tree/skip"});
  EXPECT_EQ(absolute->dirs_found, 1u);

  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  auto relative = scan_with_jwalk("tree", 8, {"tree//skip/"});
  auto relative_against_absolute = scan_with_jwalk("tree", 8, {dir.at("tree/skip")});
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(relative.has_value());
  EXPECT_EQ((*relative)->dirs_found, 0u);
  EXPECT_EQ((*relative)->total_size, g);
  EXPECT_THAT(children(**relative, "tree"), ElementsAre(Child{"g", g, false}));
  ASSERT_TRUE(relative_against_absolute.has_value());
  EXPECT_EQ((*relative_against_absolute)->dirs_found, 1u);
}

TEST(JwalkEngine, RootEqualToAnExclusionIsScanned) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/sub/f", 4000));
  const auto result = scan(root, 8, {root + "/"});
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 1u);
  EXPECT_EQ(result->total_size, f);
}

// --- Roots ---------------------------------------------------------------------

TEST(JwalkEngine, RootSymlinkIsFollowed) {
  TempDir dir;
  const std::string real = dir.make_dir("real");
  const auto f = allocated_size(dir.write_file("real/sub/f", 6000));
  dir.make_symlink("sub", "real/link");
  const std::string root = dir.make_symlink(real, "alias");
  const auto result = scan(root);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 1u);
  EXPECT_EQ(result->total_size, f);
  EXPECT_THAT(children(*result, root), ElementsAre(Child{"sub", 0, true}));
  EXPECT_EQ(dir_size(*result, root + "/sub"), f);
}

TEST(JwalkEngine, RootThatIsAFileOrMissingGivesAnEmptyCachedResult) {
  TempDir dir;
  for (const std::string& root : {dir.write_file("plain", 9000), dir.at("missing")}) {
    const auto result = scan(root);
    EXPECT_EQ(result->files_found, 0u) << root;
    EXPECT_EQ(result->dirs_found, 0u) << root;
    EXPECT_EQ(result->total_size, 0u) << root;
    EXPECT_TRUE(result->children_map.empty()) << root;
    EXPECT_EQ(dir_size(*result, root), 0u) << root;
    EXPECT_EQ(find_cached_scan(root), result) << root;
  }
}

TEST(JwalkEngine, RootWithTrailingSeparator) {
  TempDir dir;
  const std::string root = dir.make_dir("root") + "/";
  const auto f = allocated_size(dir.write_file("root/sub/f", 1000));
  const auto result = scan(root);
  EXPECT_EQ(result->root, root);
  EXPECT_THAT(children(*result, root), ElementsAre(Child{"sub", 0, true}));
  EXPECT_EQ(dir_size(*result, root), f);
  EXPECT_EQ(dir_size(*result, root + "sub"), f);
  EXPECT_EQ(result->dir_size(root + "/sub"), nullptr);
  EXPECT_EQ(find_cached_scan(dir.at("root")), result);
}

TEST(JwalkEngine, PathDeeperThanPathMaxIsSized) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const std::string segment(120, 'n');
  const std::string bottom = make_long_chain(root, segment, PATH_MAX + 500);
  const int fd = open_directory_at(AT_FDCWD, bottom, false).value_or(-1);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstatat(fd, "deep.txt", &st, 0), 0);
  ::close(fd);
  const std::uint64_t levels = std::count(bottom.begin() + root.size(), bottom.end(), '/');
  const auto result = scan(root, 2);
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, levels);
  EXPECT_EQ(result->total_size, static_cast<std::uint64_t>(st.st_blocks) * 512);
  EXPECT_EQ(dir_size(*result, root + "/" + segment + "/" + segment), result->total_size);
}

#if defined(__linux__)
TEST(JwalkEngine, MountedVolumeBelowTheRootIsLeftOut) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/f", 3000));
  const std::string mount_point = dir.make_dir("root/mnt");
  if (::mount("tessaly-test", mount_point.c_str(), "tmpfs", 0, "size=16m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                 << "); the device rule is not exercised";
  }
  dir.write_file("root/mnt/inside", 8000);
  const auto result = scan(root);
  ::umount(mount_point.c_str());
  EXPECT_EQ(result->files_found, 1u);
  EXPECT_EQ(result->dirs_found, 0u);
  EXPECT_EQ(result->total_size, f);
  EXPECT_THAT(children(*result, root), ElementsAre(Child{"f", f, false}));
}
#endif  // defined(__linux__)

// --- Agreement with path-based stat on a generated tree --------------------------

// The scan's rules applied with path-based calls and recursion: the reference
// the engine's descriptor-relative, parallel walk must reproduce.
struct Reference {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t total = 0;
  std::map<std::string, std::multiset<Child>> lists;
  std::map<std::string, std::uint64_t> truncated;
  std::uint64_t tree_depth = 0;

  void walk(const std::string& path, std::uint64_t depth, const std::string& ancestor) {
    DIR* listing = ::opendir(path.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat st {};
      if (::lstat(child.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
      const std::uint64_t child_depth = depth + 1;
      const std::string child_ancestor = child_depth <= tree_depth ? child : ancestor;
      if (S_ISDIR(st.st_mode) && is_bundle_name(name)) {
        const std::uint64_t size = bundle_total(child);
        record_file(path, name, child_depth, size, ancestor);
      } else if (S_ISDIR(st.st_mode)) {
        ++dirs;
        if (child_depth <= tree_depth) lists[path].insert(Child{name, 0, true});
        walk(child, child_depth, child_ancestor);
      } else {
        record_file(path, name, child_depth, static_cast<std::uint64_t>(st.st_blocks) * 512,
                    ancestor);
      }
    }
    ::closedir(listing);
  }

  void record_file(const std::string& parent, const std::string& name, std::uint64_t depth,
                   std::uint64_t size, const std::string& ancestor) {
    ++files;
    total += size;
    if (depth <= tree_depth) {
      lists[parent].insert(Child{name, size, false});
    } else if (size != 0) {
      truncated[ancestor] += size;
    }
  }

  std::uint64_t bundle_total(const std::string& path) {
    std::uint64_t sum = 0;
    DIR* listing = ::opendir(path.c_str());
    if (listing == nullptr) return 0;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      struct stat st {};
      if (::lstat((path + "/" + name).c_str(), &st) != 0) continue;
      if (S_ISDIR(st.st_mode)) sum += bundle_total(path + "/" + name);
      if (S_ISREG(st.st_mode)) sum += static_cast<std::uint64_t>(st.st_blocks) * 512;
    }
    ::closedir(listing);
    return sum;
  }
};

TEST(JwalkEngine, AgreesWithPathBasedStatOnAGeneratedTree) {
  TempDir dir;
  const std::string root = dir.make_dir("gen");
  std::mt19937 random(20240607);
  std::vector<std::string> dirs{"gen"};
  for (int i = 0; i < 2500; ++i) {
    const std::string parent = dirs[random() % dirs.size()];
    const int what = static_cast<int>(random() % 20);
    const std::string name = "e" + std::to_string(i);
    if (what < 5) {
      dirs.push_back(parent + "/" + name);
      dir.make_dir(dirs.back());
    } else if (what == 5) {
      dir.write_file(parent + "/" + name + ".app/Contents/f", random() % 50000);
    } else if (what == 6) {
      dir.make_symlink("..", parent + "/" + name);
    } else if (what == 7) {
      dir.make_fifo(parent + "/" + name);
    } else {
      dir.write_file(parent + "/" + name, random() % 20000);
    }
  }
  for (const std::uint64_t depth : {0u, 2u, 4u, 100u}) {
    Reference reference;
    reference.tree_depth = depth;
    reference.walk(root, 0, root);
    const auto result = scan(root, depth);
    EXPECT_EQ(result->files_found, reference.files) << depth;
    EXPECT_EQ(result->dirs_found, reference.dirs) << depth;
    EXPECT_EQ(result->total_size, reference.total) << depth;
    std::map<std::string, std::multiset<Child>> lists;
    for (const auto& [parent, list] : result->children_map) {
      for (const ChildEntry& entry : list) {
        lists[parent].insert(Child{std::string(entry.name()), entry.size(), entry.is_dir()});
      }
    }
    EXPECT_EQ(lists, reference.lists) << depth;
    std::map<std::string, std::uint64_t> truncated;
    for (const auto& [path, size] : result->truncated_sizes) {
      if (size != 0) truncated[path] = size;
    }
    EXPECT_EQ(truncated, reference.truncated) << depth;
    EXPECT_EQ(dir_size(*result, root), reference.total) << depth;
  }
}

// --- Cache, logging, progress and cancellation ------------------------------------

TEST(JwalkEngine, StoresTheResultInTheCacheUnderTheRoot) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/f", 10);
  const auto first = scan(root);
  EXPECT_EQ(find_cached_scan(root), first);
  const auto second = scan(root + "//");
  EXPECT_NE(first, second);
  EXPECT_EQ(find_cached_scan(root), second);
}

TEST(JwalkEngine, LogsTheTwoInfoLines) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/a/f", 10);
  dir.write_file("root/b/g", 10);
  LogCapture capture;
  scan(root);
  const auto messages = capture.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].first, spdlog::level::info);
  EXPECT_TRUE(is_number_between(messages[0].second, "[walk:jwalk] walk finished at ", " ms"))
      << messages[0].second;
  EXPECT_EQ(messages[1].first, spdlog::level::info);
  // Three directories in dir_sizes (root, a, b); four child entries (a, b, f, g).
  EXPECT_TRUE(is_number_between(messages[1].second, "[post-walk] compute_dir_sizes: ",
                                " ms (3 dirs), children_map entries: 4"))
      << messages[1].second;
}

TEST(JwalkEngine, ShortScanEmitsOnlyTheFinalEvent) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/f", 5000));
  dir.make_dir("root/d");
  RecordingEmitter emitter;
  ManualClock still;
  auto result = scan_with_jwalk(root, 8, {}, ScanContext{.app_handle = &emitter, .clock = &still});
  ASSERT_TRUE(result.has_value());
  const auto events = emitter.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, "scan-progress");
  EXPECT_EQ(events[0].second, "{\"files_found\":1,\"dirs_found\":1,\"total_size\":" +
                                  std::to_string(f) + ",\"elapsed_ms\":0}");
}

TEST(JwalkEngine, ProgressEventsAreAtLeastAnIntervalApartAndEndWithTheTotals) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  // The clock is read once per recorded listing.
  for (int i = 0; i < 40; ++i)
    dir.write_file("root/d" + std::to_string(i) + "/f" + std::to_string(i), 100);
  RecordingEmitter emitter;
  SteppingClock clock(30ms);
  auto result = scan_with_jwalk(root, 8, {}, ScanContext{.app_handle = &emitter, .clock = &clock});
  ASSERT_TRUE(result.has_value());
  const auto events = emitter.events();
  ASSERT_GE(events.size(), 5u);
  std::uint64_t previous = 0;
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    const std::uint64_t elapsed = json_field(events[i].second, "elapsed_ms");
    if (i > 0) {
      EXPECT_GE(elapsed, previous + 100);
    }
    previous = elapsed;
  }
  const std::string& last = events.back().second;
  EXPECT_EQ(json_field(last, "files_found"), (*result)->files_found);
  EXPECT_EQ(json_field(last, "dirs_found"), (*result)->dirs_found);
  EXPECT_EQ(json_field(last, "total_size"), (*result)->total_size);
}

TEST(JwalkEngine, CancellationFromAnotherThreadStopsTheWalk) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 200; ++i)
    dir.write_file("root/d" + std::to_string(i % 20) + "/f" + std::to_string(i), 10);
  clear_scan_cache();
  scan_cancel_flag().store(false);
  std::mutex mutex;
  std::condition_variable changed;
  bool asked = false;
  bool cancelled = false;
  std::thread canceller([&] {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return asked; });
    request_scan_cancel();
    cancelled = true;
    changed.notify_all();
  });
  RecordingEmitter emitter;
  // At the first event, another thread requests the cancellation; the scan
  // goes on until it sees the flag at a later progress point.
  emitter.set_on_emit([&] {
    std::unique_lock lock(mutex);
    if (asked) return;
    asked = true;
    changed.notify_all();
    changed.wait(lock, [&] { return cancelled; });
  });
  SteppingClock clock(60ms);
  auto result = scan_with_jwalk(root, 8, {}, ScanContext{.app_handle = &emitter, .clock = &clock});
  canceller.join();
  scan_cancel_flag().store(false);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Scan cancelled");
  EXPECT_EQ(emitter.events().size(), 1u);
  EXPECT_EQ(find_cached_scan(root), nullptr);
}

TEST(JwalkEngine, CancellationSeenAfterTheWalkStoresNothing) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/f", 10);
  clear_scan_cache();
  RecordingEmitter emitter;
  ManualClock still;
  scan_cancel_flag().store(true);
  auto result = scan_with_jwalk(root, 8, {}, ScanContext{.app_handle = &emitter, .clock = &still});
  scan_cancel_flag().store(false);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Scan cancelled");
  EXPECT_TRUE(emitter.events().empty());
  EXPECT_EQ(find_cached_scan(root), nullptr);
}

TEST(JwalkEngine, UnreadableDirectoryIsCountedButNotEnteredAndNotLogged) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  const auto f = allocated_size(dir.write_file("root/open/f", 2000));
  dir.write_file("root/locked/secret", 2000);
  dir.write_file("root/locked/inner/more", 2000);
  ::chmod(dir.at("root/locked").c_str(), 0);
  ::chmod(dir.path().c_str(), 0755);
  if (const auto runnable = testing::unprivileged_program(testing::own_program_path()); !runnable) {
    GTEST_SKIP() << runnable.error();
  }
  const std::string result = testing::run_test_child("JwalkEngineChild.ScanAndReport",
                                                     {"TESSALY_SCAN_ROOT=" + root}, true);
  EXPECT_EQ(result, "files 1 dirs 2 total " + std::to_string(f) + " logs 2 warnings 0");
}

// The child removes one directory as the walk opens the other.
#if defined(__linux__)
TEST(JwalkEngine, DirectoryThatVanishesIsLoggedAsAScanError) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.make_dir("root/a");
  dir.make_dir("root/b");
  const std::string result = testing::run_test_child(
      "JwalkEngineChild.ScanWhileRemoving", {"TESSALY_SCAN_ROOT=" + root, "RAYON_NUM_THREADS=1"});
  // The child names the directory it removed, which depends on the pool's order.
  const std::string prefix = "removed ";
  ASSERT_TRUE(result.starts_with(prefix)) << result;
  const std::string removed =
      result.substr(prefix.size(), result.find(' ', prefix.size()) - prefix.size());
  EXPECT_TRUE(removed == root + "/a" || removed == root + "/b") << removed;
  EXPECT_EQ(result, "removed " + removed +
                        " dirs 2 warning scan error: IO error for operation on " + removed +
                        ": No such file or directory (os error 2)");
}
#endif  // defined(__linux__)

// --- Children run by the tests above in a fresh process ---------------------------

TEST(JwalkEngineChild, ScanAndReport) {
  const char* root = std::getenv("TESSALY_SCAN_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  LogCapture capture;
  const auto result = scan(root);
  int warnings = 0;
  const auto messages = capture.messages();
  for (const auto& [level, text] : messages) warnings += level == spdlog::level::warn;
  std::printf("RESULT %s logs %zu warnings %d\n", counters_of(*result).c_str(), messages.size(),
              warnings);
  std::fflush(stdout);
}

#if defined(__linux__)
TEST(JwalkEngineChild, ScanWhileRemoving) {
  const char* root_text = std::getenv("TESSALY_SCAN_ROOT");
  if (root_text == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  const std::string root = root_text;
  // The job that opens one of the two directories first removes the other,
  // before that one's job can open it: with one worker the jobs run one after
  // the other, whichever order the pool takes them in.
  std::string removed;
  testing::FaultyKernel kernel;
  kernel.on_open = [&](const testing::KernelCall& call) {
    if (removed.empty() && (call.name == "a" || call.name == "b")) {
      removed = root + (call.name == "a" ? "/b" : "/a");
      ::rmdir(removed.c_str());
    }
    return 0;
  };
  LogCapture capture;
  const auto result = scan_with_jwalk(kernel, root, 8, {}, nullptr);
  ASSERT_TRUE(result) << result.error();
  std::string warning = "none";
  for (const auto& [level, text] : capture.messages()) {
    if (level == spdlog::level::warn) warning = text;
  }
  std::printf("RESULT removed %s dirs %llu warning %s\n", removed.c_str(),
              static_cast<unsigned long long>((*result)->dirs_found), warning.c_str());
  std::fflush(stdout);
}
#endif  // defined(__linux__)

}  // namespace
}  // namespace tessaly
