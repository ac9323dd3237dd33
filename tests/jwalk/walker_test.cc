#include "jwalk/walker.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tessaly/result.h>

#include "base/paths.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using namespace std::chrono_literals;
using tessaly::testing::make_long_chain;
using tessaly::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

// --- Helpers -----------------------------------------------------------------

// Trees of these tests go to memory when the machine has a tmpfs at /dev/shm:
// removing many thousands of directories from a disk-backed file system can
// take minutes, and nothing tested here depends on the file system's kind.
const bool kScratchInMemory = [] {
  if (std::getenv("TMPDIR") == nullptr && ::access("/dev/shm", W_OK | X_OK) == 0) {
    ::setenv("TMPDIR", "/dev/shm", 0);
  }
  return true;
}();

// One handed-over entry, or error, with its parent's path, which the test
// forms from the numbers the walk gives its directories.
struct TestItem {
  bool is_error = false;
  std::string parent;
  std::string name;
  std::uint64_t depth = 0;
  EntryKind kind = EntryKind::kOther;
  std::uint64_t size = 0;
  std::size_t listing_size = 0;  // on a listing's first entry, its size; else 0
  int error = 0;
  std::string error_path;
};

// The kind of every entry a filter kept, by path: the walk hands on only
// whether an entry is a directory.
class KindLog {
 public:
  // `inner`, noting the kinds of what it keeps.
  ChildFilter wrap(ChildFilter inner) {
    return [this, inner = std::move(inner)](DirListing& listing) {
      inner(listing);
      std::lock_guard lock(mutex_);
      for (const ListedEntry& entry : listing.entries()) {
        if (entry.keep) kinds_[listing.child_path(entry)] = entry.kind;
      }
    };
  }
  EntryKind at(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return kinds_.at(path);
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, EntryKind> kinds_;
};

// Takes the walk's batches apart into items, in order; `root` as the walk got
// it, `kinds` filled by the walk's filter.
class ItemReader {
 public:
  ItemReader(ParallelWalk& walk, std::string root, const KindLog& kinds)
      : walk_(walk), root_(std::move(root)), kinds_(kinds) {}

  bool next(TestItem& item) {
    while (index_ >= items_.size()) {
      items_.clear();
      index_ = 0;
      WalkBatch batch;
      if (!walk_.next(batch)) return false;
      take(batch);
    }
    item = items_[index_++];
    return true;
  }

 private:
  void take(const WalkBatch& batch) {
    if (batch.is_error) {
      TestItem item;
      item.is_error = true;
      item.error = batch.error;
      item.error_path = batch.error_path;
      items_.push_back(std::move(item));
      return;
    }
    const ListingPlace& place = *batch.place;
    const std::string parent = place.depth == 0 ? split_root(root_).first : paths_.at(place.dir);
    WalkDirId next_dir = place.first_child;
    for (std::size_t i = 0; i < batch.children->size(); ++i) {
      const ChildListing::Item child = (*batch.children)[i];
      const std::string path = place.depth == 0 ? root_ : join_path(parent, child.name);
      TestItem item;
      item.parent = parent;
      item.name = child.name;
      item.depth = place.depth;
      item.kind = kinds_.at(path);
      EXPECT_EQ(child.fields.is_dir, item.kind == EntryKind::kDirectory) << path;
      item.size = child.fields.size;
      item.listing_size = i == 0 ? batch.children->size() : 0;
      if (child.fields.is_dir) paths_[next_dir++] = path;
      if (!child.fields.is_dir && child.fields.size >= kLargeFileThreshold) {
        EXPECT_EQ(place.path, parent) << "a large file's listing carries its path";
      }
      items_.push_back(std::move(item));
    }
  }

  ParallelWalk& walk_;
  const std::string root_;
  const KindLog& kinds_;
  std::map<WalkDirId, std::string> paths_;
  std::vector<TestItem> items_;
  std::size_t index_ = 0;
};

struct Seen {
  std::string path;  // parent joined with name
  std::uint64_t depth;
  EntryKind kind;
  std::uint64_t size;
};

struct WalkLog {
  std::vector<Seen> items;
  std::vector<std::pair<int, std::string>> errors;
};

// A filter that keeps everything and sizes non-directories by their
// allocated blocks, as the engine does.
void keep_and_size(DirListing& listing) {
  for (ListedEntry& entry : listing.entries()) {
    if (entry.kind == EntryKind::kRegular || entry.kind == EntryKind::kOther) {
      struct stat st {};
      if (listing.stat_child(entry, st, false)) {
        entry.size = static_cast<std::uint64_t>(st.st_blocks) * 512;
      }
    }
  }
}

WalkLog walk_all(const std::string& root, ChildFilter filter = keep_and_size,
                 WorkerPool& pool = worker_pool()) {
  WalkLog log;
  KindLog kinds;
  ParallelWalk walk(root, kinds.wrap(std::move(filter)), pool);
  ItemReader reader(walk, root, kinds);
  TestItem item;
  while (reader.next(item)) {
    if (item.is_error) {
      log.errors.emplace_back(item.error, item.error_path);
      continue;
    }
    log.items.push_back(Seen{join_path(item.parent, item.name), item.depth, item.kind, item.size});
  }
  return log;
}

std::vector<std::string> paths_of(const WalkLog& log) {
  std::vector<std::string> paths;
  for (const Seen& seen : log.items) paths.push_back(seen.path);
  return paths;
}

const Seen* find(const WalkLog& log, const std::string& path) {
  for (const Seen& seen : log.items) {
    if (seen.path == path) return &seen;
  }
  return nullptr;
}

const char* probe_env(const char* name) { return std::getenv(name); }

// --- Low-level helpers ---------------------------------------------------------

TEST(SplitRoot, SeparatesParentAndLastComponent) {
  EXPECT_EQ(split_root("/a/b/c.app"), std::make_pair(std::string("/a/b"), std::string("c.app")));
  EXPECT_EQ(split_root("/a/b/"), std::make_pair(std::string("/a"), std::string("b")));
  EXPECT_EQ(split_root("/a//b//"), std::make_pair(std::string("/a"), std::string("b")));
  EXPECT_EQ(split_root("/a"), std::make_pair(std::string("/"), std::string("a")));
  EXPECT_EQ(split_root("a"), std::make_pair(std::string(""), std::string("a")));
  EXPECT_EQ(split_root("a/b"), std::make_pair(std::string("a"), std::string("b")));
  EXPECT_EQ(split_root("/"), std::make_pair(std::string(""), std::string("/")));
  EXPECT_EQ(split_root("//"), std::make_pair(std::string(""), std::string("/")));
}

TEST(DirectoryReader, ListsEveryEntryWithItsKindAndNoDots) {
  TempDir dir;
  dir.write_file("file", 10);
  dir.write_file(".hidden");
  dir.make_dir("sub");
  dir.make_symlink("file", "link");
  dir.make_fifo("pipe");
  const int fd = open_directory_at(AT_FDCWD, dir.path(), false).value_or(-1);
  ASSERT_GE(fd, 0);
  std::map<std::string, EntryKind> seen;
  DirectoryReader reader(fd);
  std::string_view name;
  EntryKind kind;
  int error = 0;
  while (reader.next(name, kind, error)) {
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(seen.emplace(std::string(name), kind).second) << "repeated " << name;
  }
  EXPECT_EQ(reader.error(), 0);
  ::close(fd);
  EXPECT_EQ(seen, (std::map<std::string, EntryKind>{{".hidden", EntryKind::kRegular},
                                                    {"file", EntryKind::kRegular},
                                                    {"link", EntryKind::kSymlink},
                                                    {"pipe", EntryKind::kOther},
                                                    {"sub", EntryKind::kDirectory}}));
}

TEST(DirectoryReader, ReadsDirectoriesLargerThanItsBuffer) {
  TempDir dir;
  std::set<std::string> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "entry-with-a-rather-long-name-" + std::to_string(i);
    dir.write_file(name);
    expected.insert(name);
  }
  const int fd = open_directory_at(AT_FDCWD, dir.path(), false).value_or(-1);
  ASSERT_GE(fd, 0);
  std::set<std::string> seen;
  std::size_t count = 0;
  DirectoryReader reader(fd);
  std::string_view name;
  EntryKind kind;
  int error = 0;
  while (reader.next(name, kind, error)) {
    seen.emplace(name);
    ++count;
  }
  ::close(fd);
  EXPECT_EQ(count, 3000u);
  EXPECT_EQ(seen, expected);
}

TEST(OpenDirectoryAt, RefusesALinkUnlessTheLastComponentMayBeFollowed) {
  TempDir dir;
  dir.make_dir("real");
  dir.make_symlink("real", "link");
  const auto refused = open_directory_at(AT_FDCWD, dir.at("link"), false);
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error() == ELOOP || refused.error() == ENOTDIR) << refused.error();
  const int followed = open_directory_at(AT_FDCWD, dir.at("link"), true).value_or(-1);
  EXPECT_GE(followed, 0);
  if (followed >= 0) ::close(followed);
  EXPECT_EQ(open_directory_at(AT_FDCWD, dir.at("missing"), true), std::unexpected(ENOENT));
  EXPECT_EQ(open_directory_at(AT_FDCWD, "", true), std::unexpected(ENOENT));
}

TEST(StatAt, StatsPathsLongerThanPathMax) {
  TempDir dir;
  const std::string bottom = make_long_chain(dir.path(), std::string(200, 'p'), PATH_MAX + 300);
  ASSERT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));
  struct stat st {};
  EXPECT_TRUE(stat_at(AT_FDCWD, bottom + "/deep.txt", st, false).has_value());
  EXPECT_EQ(st.st_size, 5000);
  EXPECT_EQ(stat_at(AT_FDCWD, bottom + "/nothing", st, false), std::unexpected(ENOENT));
  const int fd = open_directory_at(AT_FDCWD, bottom, false).value_or(-1);
  ASSERT_GE(fd, 0);
  struct stat by_fd {};
  EXPECT_EQ(::fstatat(fd, "deep.txt", &by_fd, 0), 0);
  EXPECT_EQ(by_fd.st_ino, st.st_ino);
  ::close(fd);
}

// --- The walk ----------------------------------------------------------------

TEST(ParallelWalk, HandsOverEveryEntryOnceWithDepthKindAndSize) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/a.txt", 10000);
  dir.write_file("root/.hidden", 1);
  dir.write_file("root/sub/b.bin", 70000);
  dir.make_dir("root/sub/empty");
  dir.write_file("root/sub/deeper/c", 3);
  dir.make_symlink("sub", "root/link-to-dir");
  dir.make_fifo("root/sub/pipe");
  const WalkLog log = walk_all(root);
  EXPECT_TRUE(log.errors.empty());
  const std::string parent = dir.path();
  EXPECT_THAT(paths_of(log),
              UnorderedElementsAreArray(std::vector<std::string>{
                  root, root + "/a.txt", root + "/.hidden", root + "/sub", root + "/link-to-dir",
                  root + "/sub/b.bin", root + "/sub/empty", root + "/sub/deeper",
                  root + "/sub/pipe", root + "/sub/deeper/c"}));
  EXPECT_EQ(find(log, root)->depth, 0u);
  EXPECT_EQ(find(log, root)->kind, EntryKind::kDirectory);
  EXPECT_EQ(find(log, root + "/a.txt")->depth, 1u);
  EXPECT_EQ(find(log, root + "/a.txt")->size, tessaly::testing::allocated_size(root + "/a.txt"));
  EXPECT_EQ(find(log, root + "/sub/b.bin")->size,
            tessaly::testing::allocated_size(root + "/sub/b.bin"));
  EXPECT_EQ(find(log, root + "/sub/deeper/c")->depth, 3u);
  EXPECT_EQ(find(log, root + "/link-to-dir")->kind, EntryKind::kSymlink);
  EXPECT_EQ(find(log, root + "/sub/pipe")->kind, EntryKind::kOther);
  EXPECT_EQ(find(log, root + "/sub/empty")->kind, EntryKind::kDirectory);
}

TEST(ParallelWalk, ALargeDirectoryComesInBoundedPartsThatNumberItsSubdirectories) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  constexpr int kFiles = static_cast<int>(kMaxListingEntries) + 100;
  for (int i = 0; i < kFiles; ++i) dir.write_file("root/f" + std::to_string(i), 1);
  for (int i = 0; i < 40; ++i) dir.write_file("root/d" + std::to_string(i) + "/inner", 1);
  ParallelWalk walk(root, keep_and_size);
  std::map<WalkDirId, std::string> paths;
  std::set<std::string> inner_files;
  int root_parts = 0;
  std::size_t root_entries = 0;
  WalkBatch batch;
  while (walk.next(batch)) {
    ASSERT_FALSE(batch.is_error);
    const ListingPlace& place = *batch.place;
    ASSERT_LE(batch.children->size(), kMaxListingEntries);
    if (place.depth == 0) {
      paths[kWalkRoot] = root;
      continue;
    }
    if (place.dir == kWalkRoot) {
      ++root_parts;
      root_entries += batch.children->size();
    }
    WalkDirId next_dir = place.first_child;
    for (std::size_t i = 0; i < batch.children->size(); ++i) {
      const ChildListing::Item child = (*batch.children)[i];
      const std::string path = join_path(paths.at(place.dir), child.name);
      if (child.fields.is_dir) paths[next_dir++] = path;
      if (child.name == "inner") inner_files.insert(path);
    }
  }
  EXPECT_EQ(root_parts, 2);
  EXPECT_EQ(root_entries, static_cast<std::size_t>(kFiles + 40));
  std::set<std::string> expected;
  for (int i = 0; i < 40; ++i) expected.insert(root + "/d" + std::to_string(i) + "/inner");
  EXPECT_EQ(inner_files, expected);
}

TEST(ParallelWalk, ALargeDirectoryIsSizedInSharesOnSeveralWorkersAndKeepsItsOrder) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  constexpr std::size_t kFiles = 3 * kShareEntries + 5;
  for (std::size_t i = 0; i < kFiles; ++i) dir.write_file("root/f" + std::to_string(i), 1);
  for (int i = 0; i < 3; ++i) dir.write_file("root/d" + std::to_string(i) + "/inner", 1);
  std::vector<std::string> listed_order;
  {
    const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    DirectoryReader reader(fd);
    std::string_view name;
    EntryKind kind;
    int error = 0;
    while (reader.next(name, kind, error))
      listed_order.emplace_back(root + "/" + std::string(name));
    ::close(fd);
  }
  // The share the listing worker filters waits until another worker has
  // filtered one, so that the test holds however the threads are scheduled.
  WorkerPool pool(2);
  std::mutex mutex;
  std::condition_variable changed;
  std::set<std::thread::id> threads;
  std::multiset<std::string> filtered;
  std::size_t largest_share = 0;
  const WalkLog log = walk_all(
      root,
      [&](DirListing& listing) {
        keep_and_size(listing);
        if (listing.depth() != 0u) return;
        std::unique_lock lock(mutex);
        threads.insert(std::this_thread::get_id());
        largest_share = std::max(largest_share, listing.entries().size());
        for (const ListedEntry& entry : listing.entries())
          filtered.insert(listing.child_path(entry));
        changed.notify_all();
        changed.wait_for(lock, 60s, [&] { return threads.size() >= 2; });
      },
      pool);
  EXPECT_TRUE(log.errors.empty());
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(largest_share, kShareEntries);
  EXPECT_EQ(filtered, std::multiset<std::string>(listed_order.begin(), listed_order.end()));
  std::vector<std::string> handed_over;
  for (const Seen& seen : log.items) {
    if (seen.depth == 1) handed_over.push_back(seen.path);
  }
  EXPECT_EQ(handed_over, listed_order);
  EXPECT_EQ(find(log, root + "/f7")->size, tessaly::testing::allocated_size(root + "/f7"));
  EXPECT_EQ(find(log, root + "/d2/inner")->depth, 2u);
}

TEST(ParallelWalk, ParentsComeBeforeTheirContentsAndEachListingStaysTogether) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < 5; ++j) {
      dir.write_file("root/d" + std::to_string(i) + "/e" + std::to_string(j) + "/f", 1);
      dir.write_file("root/d" + std::to_string(i) + "/g" + std::to_string(j), 1);
    }
  }
  KindLog kinds;
  ParallelWalk walk(root, kinds.wrap(keep_and_size));
  std::set<std::string> seen_dirs;
  std::map<std::string, std::vector<std::string>> listing_of;
  std::string current_parent;
  std::set<std::string> finished_parents;
  std::map<std::string, std::size_t> announced_size;
  ItemReader items(walk, root, kinds);
  TestItem item;
  int count = 0;
  while (items.next(item)) {
    ASSERT_FALSE(item.is_error);
    ++count;
    const std::string& parent = item.parent;
    if (item.depth > 0) {
      EXPECT_TRUE(seen_dirs.count(parent)) << parent << " listed before its own entry";
    }
    if (parent != current_parent) {
      EXPECT_FALSE(finished_parents.count(parent)) << "listing of " << parent << " split";
      finished_parents.insert(current_parent);
      current_parent = parent;
      announced_size[parent] = item.listing_size;
    } else {
      EXPECT_EQ(item.listing_size, 0u) << parent << "/" << item.name;
    }
    listing_of[parent].emplace_back(item.name);
    if (item.kind == EntryKind::kDirectory) seen_dirs.insert(join_path(parent, item.name));
  }
  EXPECT_EQ(count, 1 + 6 + 6 * 10 + 30);
  // Within a directory, the order of its listing, whose size its first entry
  // announced.
  for (const auto& [parent, names] : listing_of) {
    EXPECT_EQ(announced_size[parent], names.size()) << parent;
    if (parent == dir.path()) continue;
    const int fd = open_directory_at(AT_FDCWD, parent, false).value_or(-1);
    ASSERT_GE(fd, 0);
    std::vector<std::string> listed;
    DirectoryReader reader(fd);
    std::string_view name;
    EntryKind kind;
    int error = 0;
    while (reader.next(name, kind, error)) listed.emplace_back(name);
    ::close(fd);
    EXPECT_EQ(names, listed) << parent;
  }
}

TEST(ParallelWalk, FilterSeesTheRootFirstAsOneElementListWithoutDepth) {
  TempDir dir;
  const std::string root = dir.make_dir("top/root");
  dir.write_file("top/root/x/y", 1);
  std::mutex mutex;
  std::vector<std::tuple<std::optional<std::uint64_t>, std::string, std::vector<std::string>>>
      calls;
  WalkLog log = walk_all(root, [&](DirListing& listing) {
    std::vector<std::string> names;
    for (ListedEntry& entry : listing.entries()) names.emplace_back(listing.name(entry));
    std::lock_guard lock(mutex);
    calls.emplace_back(listing.depth(), listing.path(), names);
  });
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(std::get<0>(calls[0]), std::nullopt);
  EXPECT_EQ(std::get<1>(calls[0]), dir.at("top"));
  EXPECT_THAT(std::get<2>(calls[0]), ElementsAre("root"));
  std::sort(calls.begin() + 1, calls.end());
  EXPECT_EQ(std::get<0>(calls[1]), 0u);
  EXPECT_EQ(std::get<1>(calls[1]), root);
  EXPECT_THAT(std::get<2>(calls[1]), ElementsAre("x"));
  EXPECT_EQ(std::get<0>(calls[2]), 1u);
  EXPECT_EQ(std::get<1>(calls[2]), root + "/x");
  EXPECT_THAT(std::get<2>(calls[2]), ElementsAre("y"));
}

TEST(ParallelWalk, FilterRunsOnTheWorkerThatListedTheDirectory) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 20; ++i) dir.write_file("root/d" + std::to_string(i) + "/f", 1);
  WorkerPool pool(3);
  std::atomic<int> off_pool{0};
  std::atomic<int> listings{0};
  walk_all(
      root,
      [&](DirListing& listing) {
        if (!pool.is_worker_thread()) off_pool.fetch_add(1);
        if (listing.depth()) listings.fetch_add(1);
      },
      pool);
  EXPECT_EQ(off_pool.load(), 0);
  EXPECT_EQ(listings.load(), 21);
}

TEST(ParallelWalk, RemovedChildrenAreNeitherHandedOverNorEntered) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/keep/inner", 1);
  dir.write_file("root/skip/inner", 1);
  dir.write_file("root/drop-me", 1);
  std::atomic<int> entered_skip{0};
  const WalkLog log = walk_all(root, [&](DirListing& listing) {
    if (listing.path() == root + "/skip") entered_skip.fetch_add(1);
    for (ListedEntry& entry : listing.entries()) {
      const std::string_view name = listing.name(entry);
      if (name == "skip" || name == "drop-me") entry.keep = false;
    }
  });
  EXPECT_EQ(entered_skip.load(), 0);
  EXPECT_THAT(paths_of(log), UnorderedElementsAreArray(std::vector<std::string>{
                                 root, root + "/keep", root + "/keep/inner"}));
}

TEST(ParallelWalk, RemovingTheRootWalksNothing) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/f", 1);
  std::atomic<int> calls{0};
  const WalkLog log = walk_all(root, [&](DirListing& listing) {
    calls.fetch_add(1);
    for (ListedEntry& entry : listing.entries()) entry.keep = false;
  });
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(log.items.empty());
  EXPECT_TRUE(log.errors.empty());
}

TEST(ParallelWalk, MissingRootReachesTheFilterAsAnError) {
  TempDir dir;
  std::vector<std::pair<EntryKind, int>> root_call;
  const WalkLog log = walk_all(dir.at("missing"), [&](DirListing& listing) {
    for (ListedEntry& entry : listing.entries()) root_call.emplace_back(entry.kind, entry.error);
  });
  ASSERT_EQ(root_call.size(), 1u);
  EXPECT_EQ(root_call[0], std::make_pair(EntryKind::kError, ENOENT));
  ASSERT_EQ(log.items.size(), 1u);
  EXPECT_EQ(log.items[0].kind, EntryKind::kError);
}

TEST(ParallelWalk, RootSymlinkToADirectoryIsFollowedButLinksBelowAreNot) {
  TempDir dir;
  dir.write_file("real/f", 100);
  dir.write_file("other/g", 1);
  dir.make_symlink(dir.at("other"), "real/to-other");
  const std::string root = dir.make_symlink(dir.at("real"), "alias");
  const WalkLog log = walk_all(root);
  EXPECT_THAT(paths_of(log), UnorderedElementsAreArray(
                                 std::vector<std::string>{root, root + "/f", root + "/to-other"}));
  EXPECT_EQ(find(log, root)->kind, EntryKind::kDirectory);
  EXPECT_EQ(find(log, root + "/to-other")->kind, EntryKind::kSymlink);
}

TEST(ParallelWalk, DanglingRootSymlinkStaysALink) {
  TempDir dir;
  const std::string root = dir.make_symlink(dir.at("nowhere"), "alias");
  const WalkLog log = walk_all(root);
  ASSERT_EQ(log.items.size(), 1u);
  EXPECT_EQ(log.items[0].kind, EntryKind::kSymlink);
}

TEST(ParallelWalk, RootThatIsAFileIsTheOnlyItem) {
  TempDir dir;
  const std::string root = dir.write_file("plain", 4096);
  const WalkLog log = walk_all(root);
  ASSERT_EQ(log.items.size(), 1u);
  EXPECT_EQ(log.items[0].path, root);
  EXPECT_EQ(log.items[0].kind, EntryKind::kRegular);
  EXPECT_EQ(log.items[0].depth, 0u);
}

TEST(ParallelWalk, RootWithTrailingSeparatorKeepsItForTheChildrensParent) {
  TempDir dir;
  dir.write_file("root/f", 1);
  const std::string root = dir.at("root") + "/";
  KindLog kinds;
  ParallelWalk walk(root, kinds.wrap(keep_and_size));
  ItemReader reader(walk, root, kinds);
  TestItem item;
  std::vector<std::pair<std::string, std::string>> seen;
  while (reader.next(item)) seen.emplace_back(item.parent, item.name);
  EXPECT_THAT(seen, ElementsAre(std::make_pair(dir.path(), std::string("root")),
                                std::make_pair(root, std::string("f"))));
}

TEST(ParallelWalk, RelativeRootIsWalkedFromTheWorkingDirectory) {
  TempDir dir;
  dir.write_file("rel/sub/f", 1);
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  const WalkLog log = walk_all("rel");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_THAT(paths_of(log),
              UnorderedElementsAreArray(std::vector<std::string>{"rel", "rel/sub", "rel/sub/f"}));
}

TEST(ParallelWalk, WalksBelowPathMax) {
  TempDir dir;
  const std::string segment(100, 's');
  const std::string bottom = make_long_chain(dir.at(""), segment, PATH_MAX * 2 + 100);
  const WalkLog log = walk_all(dir.path());
  EXPECT_TRUE(log.errors.empty());
  const Seen* deep = find(log, bottom + "/deep.txt");
  ASSERT_NE(deep, nullptr);
  EXPECT_GT(deep->path.size(), static_cast<std::size_t>(2 * PATH_MAX));
  EXPECT_EQ(deep->kind, EntryKind::kRegular);
  EXPECT_GE(deep->size, 5000u);
  const std::uint64_t levels = std::count(bottom.begin() + dir.path().size(), bottom.end(), '/');
  EXPECT_EQ(deep->depth, levels + 1);
}

TEST(ParallelWalk, HundredThousandSiblingDirectories) {
  TempDir dir;
  const std::string root = dir.make_dir("wide");
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  constexpr int kSiblings = 100000;
  for (int i = 0; i < kSiblings; ++i) {
    ASSERT_EQ(::mkdirat(fd, std::to_string(i).c_str(), 0755), 0);
  }
  // A few of them hold something, so that descending into them matters.
  for (int i = 0; i < kSiblings; i += 10000) {
    const std::string file = std::to_string(i) + "/f";
    ::close(::openat(fd, file.c_str(), O_WRONLY | O_CREAT, 0644));
  }
  ::close(fd);
  std::uint64_t dirs = 0;
  std::uint64_t files = 0;
  KindLog kinds;
  ParallelWalk walk(root, kinds.wrap(keep_and_size));
  ItemReader reader(walk, root, kinds);
  TestItem item;
  std::vector<std::string> errors;
  while (reader.next(item)) {
    if (item.is_error) {
      errors.push_back(item.error_path + ": " + std::strerror(item.error));
    } else if (item.depth > 0) {
      (item.kind == EntryKind::kDirectory ? dirs : files) += 1;
    }
  }
  EXPECT_THAT(errors, ::testing::IsEmpty());
  EXPECT_EQ(dirs, static_cast<std::uint64_t>(kSiblings));
  EXPECT_EQ(files, 10u);
}

TEST(ParallelWalk, ReportsAnUnlistableDirectoryAsAnErrorItem) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  dir.write_file("root/locked/secret", 1);
  dir.write_file("root/open/f", 1);
  ::chmod(dir.at("root/locked").c_str(), 0);
  ::chmod(dir.path().c_str(), 0755);
  if (const auto runnable = testing::unprivileged_program(testing::own_program_path()); !runnable) {
    GTEST_SKIP() << runnable.error();
  }
  const std::string result = testing::run_test_child(
      "ParallelWalkChild.WalkAndCount", {"TESSALY_WALK_ROOT=" + root}, /*unprivileged=*/true);
  EXPECT_EQ(result, "entries 4 errors " + std::to_string(EACCES) + ":" + root + "/locked");
}

TEST(ParallelWalk, LowDescriptorLimitLosesNoDirectory) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  int dirs = 0;
  int files = 0;
  for (int i = 0; i < 60; ++i) {
    for (int j = 0; j < 4; ++j) {
      dir.write_file("root/" + std::to_string(i) + "/" + std::to_string(j) + "/x/f", 1);
      dirs += 2;
      ++files;
    }
    ++dirs;
  }
  const std::string expected = "entries " + std::to_string(1 + dirs + files) + " errors";
  // The child uses up its descriptors down to a handful while four workers
  // walk, so directories keep running into EMFILE and must wait their turn.
  EXPECT_EQ(testing::run_test_child(
                "ParallelWalkChild.WalkAndCount",
                {"TESSALY_WALK_ROOT=" + root, "TESSALY_WALK_FREE_FDS=3", "RAYON_NUM_THREADS=4"},
                false, 64),
            expected);
  EXPECT_EQ(
      testing::run_test_child("ParallelWalkChild.WalkAndCount",
                              {"TESSALY_WALK_ROOT=" + root, "RAYON_NUM_THREADS=2"}, false, 24),
      expected);
}

TEST(ParallelWalk, CountsDistinctWorkerThreadsFromTheEnvironment) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 24; ++i) dir.make_dir("root/d" + std::to_string(i));
  EXPECT_EQ(testing::run_test_child("ParallelWalkChild.CountListingThreads",
                                    {"TESSALY_WALK_ROOT=" + root, "RAYON_NUM_THREADS=1"}),
            "threads 1");
  EXPECT_EQ(testing::run_test_child("ParallelWalkChild.CountListingThreads",
                                    {"TESSALY_WALK_ROOT=" + root, "RAYON_NUM_THREADS=4"}),
            "threads 4");
}

TEST(ParallelWalk, FilterExceptionIsRethrownAfterTheWalk) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 10; ++i) dir.write_file("root/d" + std::to_string(i) + "/f", 1);
  std::atomic<int> listed{0};
  ParallelWalk walk(root, [&](DirListing& listing) {
    if (listing.depth()) listed.fetch_add(1);
    if (listing.path() == root + "/d3") throw std::runtime_error("filter failed");
  });
  WalkBatch item;
  EXPECT_THROW(
      {
        while (walk.next(item)) {
        }
      },
      std::runtime_error);
  EXPECT_EQ(listed.load(), 11);
}

TEST(ParallelWalk, StoppingEarlyEndsTheWalkWithoutWaitingForTheTree) {
  TempDir dir;
  const std::string root = dir.make_dir("root");
  for (int i = 0; i < 200; ++i) dir.make_dir("root/d" + std::to_string(i) + "/e");
  std::atomic<int> listed_after_stop{0};
  std::atomic<bool> stopped{false};
  {
    ParallelWalk walk(root, [&](DirListing& listing) {
      if (stopped.load() && listing.depth()) listed_after_stop.fetch_add(1);
      std::this_thread::sleep_for(1ms);
    });
    WalkBatch item;
    ASSERT_TRUE(walk.next(item));
    walk.stop();
    stopped = true;
  }
  // Only directories already being listed when the walk stopped finish.
  EXPECT_LE(listed_after_stop.load(), static_cast<int>(worker_pool().thread_count()));
}

// --- Children run by the tests above in a fresh process ------------------------

TEST(ParallelWalkChild, WalkAndCount) {
  const char* root = probe_env("TESSALY_WALK_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  std::vector<int> hog;
  if (const char* free_fds = probe_env("TESSALY_WALK_FREE_FDS")) {
    // Warm the pool first: its threads need no descriptors, but creating them
    // later should not be what fails.
    worker_pool();
    const int keep_free = std::atoi(free_fds);
    while (true) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      hog.push_back(fd);
    }
    for (int i = 0; i < keep_free && !hog.empty(); ++i) {
      ::close(hog.back());
      hog.pop_back();
    }
  }
  std::uint64_t entries = 0;
  std::string errors;
  {
    KindLog kinds;
    ParallelWalk walk(root, kinds.wrap(keep_and_size));
    ItemReader reader(walk, root, kinds);
    TestItem item;
    while (reader.next(item)) {
      if (item.is_error) {
        errors += " " + std::to_string(item.error) + ":" + item.error_path;
      } else {
        ++entries;
      }
    }
  }
  for (int fd : hog) ::close(fd);
  std::printf("RESULT entries %llu errors%s\n", static_cast<unsigned long long>(entries),
              errors.c_str());
  std::fflush(stdout);
}

TEST(ParallelWalkChild, CountListingThreads) {
  const char* root = probe_env("TESSALY_WALK_ROOT");
  if (root == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  std::mutex mutex;
  std::condition_variable joined;
  std::set<std::thread::id> threads;
  // Each listing holds its worker until four workers have joined or a short
  // while has passed, so that every available worker is drawn in.
  walk_all(root, [&](DirListing& listing) {
    if (!listing.depth()) return;
    std::unique_lock lock(mutex);
    threads.insert(std::this_thread::get_id());
    joined.notify_all();
    joined.wait_for(lock, 50ms, [&] { return threads.size() >= 4; });
  });
  std::printf("RESULT threads %zu\n", threads.size());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
