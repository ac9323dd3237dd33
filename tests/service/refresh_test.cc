// refresh(): random trees changed inside one folder, refreshed, and compared
// with a scan of the whole root; the guard, cancellation and the refusals.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <tessaly/scan.h>

#include "base/paths.h"
#include "cache/scan_cache.h"
#include "progress/testing.h"
#include "result/result.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

ScanRequest request_for(const std::string& root, ScanEngine engine, std::uint64_t tree_depth) {
  ScanRequest request;
  request.root = root;
  request.engine = std::string(scan_engine_name(engine));
  request.volume_probe = VolumeProbe::kSkip;  // the bulk reader's Linux layer on any volume
  request.tree_depth = tree_depth;
  return request;
}

// A directory's children as a multiset of names (with their kind) and one of
// sizes: which of a linked file's names carries its blocks varies with the
// walk's order.
std::pair<std::vector<std::string>, std::vector<std::uint64_t>> sorted_children(
    const ScanResult& result, const std::string& dir) {
  std::vector<std::string> names;
  std::vector<std::uint64_t> sizes;
  if (const auto* list = result.children_of(dir)) {
    for (const ChildEntry& entry : *list) {
      names.push_back(std::string(entry.raw_name()) + (entry.is_dir() ? "/" : ""));
      sizes.push_back(entry.size());
    }
  }
  std::ranges::sort(names);
  std::ranges::sort(sizes);
  return {names, sizes};
}

// Every figure a host reads, compared; an absent truncated size or folded
// count is 0.
void expect_same_result(const ScanResult& refreshed, const ScanResult& fresh) {
  EXPECT_EQ(refreshed.files_found, fresh.files_found);
  EXPECT_EQ(refreshed.dirs_found, fresh.dirs_found);
  EXPECT_EQ(refreshed.total_size, fresh.total_size);
  EXPECT_EQ(refreshed.tree_depth, fresh.tree_depth);
  EXPECT_EQ(refreshed.root_path, fresh.root_path);
  EXPECT_EQ(refreshed.large_files, fresh.large_files);
  EXPECT_EQ(refreshed.dir_sizes.size(), fresh.dir_sizes.size());
  for (auto&& [dir, size] : fresh.dir_sizes) {
    const std::uint64_t* got = refreshed.dir_size(dir);
    ASSERT_NE(got, nullptr) << dir;
    EXPECT_EQ(*got, size) << dir;
  }
  std::vector<std::string> dirs;
  for (auto&& [dir, list] : fresh.children_map) dirs.push_back(dir);
  for (auto&& [dir, list] : refreshed.children_map) dirs.push_back(dir);
  for (auto&& [dir, size] : fresh.truncated_sizes) dirs.push_back(dir);
  for (auto&& [dir, size] : refreshed.truncated_sizes) dirs.push_back(dir);
  for (const std::string& dir : dirs) {
    EXPECT_EQ(sorted_children(refreshed, dir), sorted_children(fresh, dir)) << dir;
    EXPECT_EQ(refreshed.truncated_size(dir), fresh.truncated_size(dir)) << dir;
    const auto counts = [&](const ScanResult& result) {
      const auto it = result.folded_counts.find(dir);
      return it == result.folded_counts.end() ? FoldedCounts{} : it->second;
    };
    EXPECT_EQ(counts(refreshed), counts(fresh)) << dir;
  }
}

class RandomTree {
 public:
  RandomTree(const TempDir& dir, std::mt19937& random) : dir_(dir), random_(random) {}

  int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  std::uint64_t some_size() {
    static constexpr std::uint64_t kSizes[] = {0, 1, 700, 4096, 9000, 20000};
    return kSizes[below(6)];
  }

  // Directories and files below `relative`, `levels` deep at most.
  void fill(const std::string& relative, int levels) {
    dir_.make_dir(relative);
    const int files = below(4);
    for (int i = 0; i < files; ++i) {
      dir_.write_file(relative + "/f" + std::to_string(next_++), some_size());
    }
    if (levels == 0) return;
    const int dirs = below(3);
    for (int i = 0; i < dirs; ++i) fill(relative + "/d" + std::to_string(next_++), levels - 1);
  }

  // The directories below `relative` (relative paths), `relative` included.
  std::vector<std::string> directories(const std::string& relative) {
    std::vector<std::string> out{relative};
    for (const auto& entry : fs::recursive_directory_iterator(dir_.at(relative))) {
      if (entry.is_directory() && !entry.is_symlink()) {
        out.push_back(fs::relative(entry.path(), dir_.path()).string());
      }
    }
    std::ranges::sort(out);
    return out;
  }

  std::vector<std::string> files(const std::string& relative) {
    std::vector<std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.at(relative))) {
      if (entry.is_regular_file() && !entry.is_symlink()) {
        out.push_back(fs::relative(entry.path(), dir_.path()).string());
      }
    }
    std::ranges::sort(out);
    return out;
  }

  // One random change at or below `folder`.
  void change(const std::string& folder) {
    const std::vector<std::string> dirs = directories(folder);
    const std::string where = dirs[below(static_cast<int>(dirs.size()))];
    const std::vector<std::string> inside = files(folder);
    const std::string name = "n" + std::to_string(next_++);
    switch (below(8)) {
      case 0:
        dir_.write_file(where + "/" + name, some_size());
        break;
      case 1:
        if (!inside.empty()) fs::remove(dir_.at(inside[below(static_cast<int>(inside.size()))]));
        break;
      case 2:
        if (!inside.empty()) {
          fs::rename(dir_.at(inside[below(static_cast<int>(inside.size()))]),
                     dir_.at(where + "/" + name));
        }
        break;
      case 3:
        fill(where + "/" + name, 2);
        break;
      case 4:
        dir_.write_file(where + "/" + name + ".app/Contents/bin", some_size() + 1);
        break;
      case 5:
        if (below(2) == 0) {
          // Beside the file: which name of a linked file a walk meets first
          // varies, and so would the directory that carries its blocks.
          if (!inside.empty()) {
            const std::string file = inside[below(static_cast<int>(inside.size()))];
            dir_.make_hardlink(file, fs::path(file).parent_path().string() + "/" + name);
          }
        } else if (!linked_outside.empty()) {
          // Across the folder's edge, to a file the scan knew as linked.
          dir_.make_hardlink(linked_outside[below(static_cast<int>(linked_outside.size()))],
                             where + "/" + name);
          linked_across = true;
        }
        break;
      case 6:
        dir_.make_symlink("..", where + "/" + name);
        break;
      default:
        if (where != folder) fs::remove_all(dir_.at(where));
        break;
    }
  }

 private:
  const TempDir& dir_;
  std::mt19937& random_;
  int next_ = 0;

 public:
  // Files outside the folder, each with a second name outside it, made
  // before the scan.
  std::vector<std::string> linked_outside;
  // A change linked a file outside the folder into it.
  bool linked_across = false;
};

// One case: a random tree, scanned; a random folder changed (or deleted, or
// replaced by a file or a link); refreshed; compared with a scan of the whole
// root.
void run_case(std::uint32_t seed, ScanEngine engine) {
  SCOPED_TRACE(::testing::Message() << "seed " << seed << ", engine " << scan_engine_name(engine));
  std::mt19937 random(seed);
  TempDir dir;
  RandomTree tree(dir, random);
  tree.fill("root", 3);
  tree.fill("root/d", 2);  // at least one folder below the root
  static constexpr std::uint64_t kDepths[] = {0, 1, 2, 8};
  const std::uint64_t tree_depth = kDepths[tree.below(4)];
  const std::string root = dir.at("root");

  std::vector<std::string> folders = tree.directories("root");
  folders.erase(folders.begin());  // the root
  const std::string folder = folders[tree.below(static_cast<int>(folders.size()))];
  // With every name listed, a file linked across the folder's edge is known
  // to the result by each of its names.
  if (tree_depth == 8) {
    for (const std::string& file : tree.files("root")) {
      if (file.starts_with(folder + "/") || tree.below(3) != 0) continue;
      dir.make_hardlink(file, file + ".link");
      tree.linked_outside.push_back(file);
    }
  }
  auto previous = scan(request_for(root, engine, tree_depth));
  ASSERT_TRUE(previous.has_value()) << previous.error().message;

  const int fate = tree.below(12);
  if (fate == 0) {
    fs::remove_all(dir.at(folder));
  } else if (fate == 1) {
    fs::remove_all(dir.at(folder));
    dir.write_file(folder, 5000);
  } else if (fate == 2) {
    fs::remove_all(dir.at(folder));
    dir.make_symlink(root, folder);
  } else {
    const int changes = 1 + tree.below(5);
    for (int i = 0; i < changes; ++i) tree.change(folder);
  }

  const auto refreshed = refresh(*previous, dir.at(folder));
  ASSERT_TRUE(refreshed.has_value()) << refreshed.error().message;
  EXPECT_EQ(find_cached_scan(root), refreshed->result);
  auto fresh = scan(request_for(root, engine, tree_depth));
  ASSERT_TRUE(fresh.has_value()) << fresh.error().message;
  if (!tree.linked_across) {
    expect_same_result(*refreshed->result, *fresh->result);
    return;
  }
  // Whether the name inside or outside carries the blocks of a file linked
  // across the edge depends on the walk's order: only totals compare.
  EXPECT_EQ(refreshed->result->files_found, fresh->result->files_found);
  EXPECT_EQ(refreshed->result->dirs_found, fresh->result->dirs_found);
  EXPECT_EQ(refreshed->result->total_size, fresh->result->total_size);
  EXPECT_EQ(*refreshed->result->dir_size(root), *fresh->result->dir_size(root));
}

TEST(Refresh, EqualsAFreshScanAfterRandomChangesJwalk) {
  for (std::uint32_t seed = 1; seed <= 150 && !HasFailure(); ++seed) {
    run_case(seed, ScanEngine::kJwalk);
  }
}

TEST(Refresh, EqualsAFreshScanAfterRandomChangesBulkAttrs) {
  for (std::uint32_t seed = 1001; seed <= 1150 && !HasFailure(); ++seed) {
    run_case(seed, ScanEngine::kBulkAttrs);
  }
}

TEST(Refresh, APathBelowTheTreeDepthRefreshesItsListedAncestor) {
  TempDir dir;
  dir.write_file("root/a/b/c/f", 4096);
  const std::string root = dir.at("root");
  auto previous = scan(request_for(root, ScanEngine::kJwalk, 1));
  ASSERT_TRUE(previous.has_value());
  dir.write_file("root/a/b/c/g", 8192);
  dir.make_dir("root/a/b/new");
  const auto refreshed = refresh(*previous, dir.at("root/a/b/c"));
  ASSERT_TRUE(refreshed.has_value()) << refreshed.error().message;
  EXPECT_EQ(refreshed->result->folded_counts.at(dir.at("root/a")), (FoldedCounts{2, 3}));
  expect_same_result(*refreshed->result,
                     *scan(request_for(root, ScanEngine::kJwalk, 1)).value().result);
}

// A large file deleted in the folder leaves the list; one outside stays.
TEST(Refresh, LargeFilesFollowTheFolder) {
  TempDir dir;
  const auto reserve = [&](const std::string& relative) {
    const std::string path = dir.write_file(relative, 0);
    const int fd = ::open(path.c_str(), O_WRONLY);
    const int error = fd < 0 ? errno : testing::reserve_blocks(fd, kLargeFileThreshold);
    if (fd >= 0) ::close(fd);
    return error;
  };
  if (const int error = reserve("root/a/big"); error != 0) {
    GTEST_SKIP() << "the file system reserves no blocks: " << std::strerror(error);
  }
  ASSERT_EQ(reserve("root/b/big"), 0);
  const std::string root = dir.at("root");
  const auto previous = scan(request_for(root, ScanEngine::kJwalk, 8)).value();
  ASSERT_EQ(previous.result->large_files.size(), 2u);
  fs::remove(dir.at("root/a/big"));
  const auto refreshed = refresh(previous, dir.at("root/a"));
  ASSERT_TRUE(refreshed.has_value()) << refreshed.error().message;
  EXPECT_EQ(refreshed->result->large_files,
            (std::vector<LargeFile>{
                {"big", dir.at("root/b/big"), testing::allocated_size(dir.at("root/b/big"))}}));
  expect_same_result(*refreshed->result,
                     *scan(request_for(root, ScanEngine::kJwalk, 8)).value().result);
}

TEST(Refresh, RefusesPathsOutsideTheRootAndBeforeAnyScan) {
  TempDir dir;
  dir.make_dir("root/a");
  const auto previous = scan(request_for(dir.at("root"), ScanEngine::kJwalk, 8)).value();
  const auto kind_and_text = [&](std::string_view path) {
    const auto outcome = refresh(previous, path);
    return outcome ? ScanError{} : outcome.error();
  };
  EXPECT_EQ(kind_and_text("root/a"),
            (ScanError{ScanErrorKind::kInvalidRequest, "Refresh path is not absolute: root/a"}));
  EXPECT_EQ(kind_and_text(dir.at("root/../root/a")),
            (ScanError{ScanErrorKind::kInvalidRequest,
                       "Refresh path has a . or .. component: " + dir.at("root/../root/a")}));
  EXPECT_EQ(
      kind_and_text(dir.at("rooted")),
      (ScanError{ScanErrorKind::kInvalidRequest, "Refresh path is not inside the scanned root " +
                                                     dir.at("root") + ": " + dir.at("rooted")}));
  EXPECT_EQ(refresh(ScanOutput{}, "/").error(),
            (ScanError{ScanErrorKind::kInvalidRequest, "Refresh needs the output of a scan"}));
}

// The previous result and the cache as they were; the refresh ends cancelled.
TEST(Refresh, CancelledDuringItsWalkLeavesThePreviousOutputAndTheCache) {
  TempDir dir;
  dir.write_file("root/a/f", 4096);
  dir.write_file("root/a/g", 4096);
  const std::string root = dir.at("root");
  const auto previous = scan(request_for(root, ScanEngine::kJwalk, 8)).value();
  const std::uint64_t total = previous.result->total_size;
  dir.write_file("root/a/h", 8192);

  progress_testing::hold_scans(true);
  const CancelToken stop;
  std::promise<void> walking;
  const ProgressCallback on_progress = [&, once = true](const ScanProgress&) mutable {
    if (std::exchange(once, false)) walking.set_value();
  };
  auto refreshing = std::async(
      std::launch::async, [&] { return refresh(previous, dir.at("root/a"), &stop, &on_progress); });
  walking.get_future().wait();  // held at its first progress point until cancelled
  stop.request_cancel();
  const auto outcome = refreshing.get();
  progress_testing::hold_scans(false);
  ASSERT_FALSE(outcome.has_value());
  EXPECT_EQ(outcome.error(), (ScanError{ScanErrorKind::kCancelled, "Scan cancelled"}));
  EXPECT_EQ(previous.result->total_size, total);
  EXPECT_EQ(*previous.result->dir_size(dir.at("root/a")), 8192u);
  EXPECT_EQ(find_cached_scan(root), previous.result);
}

TEST(Refresh, WhileAScanRunsIsBusy) {
  TempDir dir;
  dir.write_file("root/a/f", 4096);
  const std::string root = dir.at("root");
  const auto previous = scan(request_for(root, ScanEngine::kJwalk, 8)).value();

  progress_testing::hold_scans(true);
  ScanRequest running = request_for(root, ScanEngine::kJwalk, 8);
  std::promise<void> walking;
  running.on_progress = [&, once = true](const ScanProgress&) mutable {
    if (std::exchange(once, false)) walking.set_value();
  };
  auto scanning = std::async(std::launch::async, [&] { return scan(running); });
  walking.get_future().wait();
  EXPECT_EQ(refresh(previous, dir.at("root/a")).error(),
            (ScanError{ScanErrorKind::kBusy, "Scan already in progress"}));
  running.cancel.request_cancel();
  EXPECT_EQ(scanning.get().error().kind, ScanErrorKind::kCancelled);
  progress_testing::hold_scans(false);
}

// A file named in the folders "a" and "o". `counted` is the folder whose name
// the scan gave the blocks (which one the walk met first), `other` the other.
struct LinkedAcrossFolders {
  TempDir dir;
  std::string root = dir.at("root");
  std::uint64_t bytes = 0;
  ScanOutput previous;
  std::string counted;
  std::string other;

  LinkedAcrossFolders(ScanEngine engine) {
    dir.write_file("root/a/f", 8192);
    dir.make_hardlink("root/a/f", "root/o/f");
    dir.write_file("root/o/plain", 4096);
    bytes = testing::allocated_size(dir.at("root/a/f"));
    previous = scan(request_for(root, engine, 8)).value();
    const auto* list = previous.result->children_of(dir.at("root/a"));
    const HardLink* link = list == nullptr ? nullptr : previous.result->hard_link((*list)[0]);
    counted = link != nullptr && link->counted ? "a" : "o";
    other = counted == "a" ? "o" : "a";
  }
  // The link of the name `file` in the folder `folder` of `result`.
  const HardLink* link(const ScanResult& result, const std::string& folder,
                       std::string_view file) const {
    for (const ChildEntry& entry : *result.children_of(dir.at("root/" + folder))) {
      if (entry.raw_name() == file) return result.hard_link(entry);
    }
    return nullptr;
  }
};

// The name outside the refreshed folder keeps the blocks; the folder's names,
// old and new, count 0.
TEST(Refresh, AFileLinkedInsideAndOutsideTheFolderCountsOnce) {
  for (const ScanEngine engine : {ScanEngine::kJwalk, ScanEngine::kBulkAttrs}) {
    SCOPED_TRACE(scan_engine_name(engine));
    LinkedAcrossFolders tree(engine);
    tree.dir.make_hardlink("root/a/f", "root/" + tree.other + "/g");
    const auto refreshed = refresh(tree.previous, tree.dir.at("root/" + tree.other));
    ASSERT_TRUE(refreshed.has_value()) << refreshed.error().message;
    const ScanResult& result = *refreshed->result;
    ASSERT_NE(tree.link(result, tree.counted, "f"), nullptr);
    EXPECT_TRUE(tree.link(result, tree.counted, "f")->counted);
    EXPECT_FALSE(tree.link(result, tree.other, "f")->counted);
    EXPECT_FALSE(tree.link(result, tree.other, "g")->counted);
    EXPECT_EQ(*result.dir_size(tree.dir.at("root/" + tree.other)),
              tree.other == "o" ? testing::allocated_size(tree.dir.at("root/o/plain")) : 0);
    const auto fresh = scan(request_for(tree.root, engine, 8)).value();
    EXPECT_EQ(result.total_size, fresh.result->total_size);
    EXPECT_EQ(result.files_found, fresh.result->files_found);
  }
}

// The counted name deleted inside the refreshed folder: the name outside
// takes the blocks over, and every ancestor's total with them.
TEST(Refresh, TheCountedNameDeletedInsideHandsTheBlocksToTheNameOutside) {
  for (const ScanEngine engine : {ScanEngine::kJwalk, ScanEngine::kBulkAttrs}) {
    SCOPED_TRACE(scan_engine_name(engine));
    LinkedAcrossFolders tree(engine);
    fs::remove(tree.dir.at("root/" + tree.counted + "/f"));
    const auto refreshed = refresh(tree.previous, tree.dir.at("root/" + tree.counted));
    ASSERT_TRUE(refreshed.has_value()) << refreshed.error().message;
    const ScanResult& result = *refreshed->result;
    ASSERT_NE(tree.link(result, tree.other, "f"), nullptr);
    EXPECT_TRUE(tree.link(result, tree.other, "f")->counted);
    EXPECT_EQ(tree.link(result, tree.other, "f")->size, tree.bytes);
    expect_same_result(result, *scan(request_for(tree.root, engine, 8)).value().result);
  }
}

}  // namespace
}  // namespace tessaly
