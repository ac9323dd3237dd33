#include "tree_gen.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/temp_tree.h"

namespace tessaly::bench {
namespace {

using tessaly::testing::TempDir;

struct Seen {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t symlinks = 0;
  std::uint64_t max_depth = 0;
  std::uint64_t max_path = 0;
  std::map<std::uint64_t, std::uint64_t> links;  // st_nlink -> files with it
  std::vector<std::string> listing;              // "path kind size"
};

// Walks relative to descriptors so that chains longer than PATH_MAX work.
void walk(int dir_fd, const std::string& relative, std::uint64_t depth, Seen& seen) {
  DIR* dir = ::fdopendir(::dup(dir_fd));
  ASSERT_NE(dir, nullptr);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = relative + "/" + name;
    seen.max_path = std::max<std::uint64_t>(seen.max_path, path.size());
    struct stat st {};
    ASSERT_EQ(::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0) << path;
    if (S_ISDIR(st.st_mode)) {
      ++seen.dirs;
      seen.max_depth = std::max(seen.max_depth, depth + 1);
      seen.listing.push_back(path + " d");
      const int child = ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
      ASSERT_GE(child, 0) << path;
      walk(child, path, depth + 1, seen);
      ::close(child);
    } else if (S_ISLNK(st.st_mode)) {
      ++seen.symlinks;
      seen.listing.push_back(path + " l");
    } else {
      ++seen.files;
      ++seen.links[st.st_nlink];
      seen.listing.push_back(path + " f " + std::to_string(st.st_size));
    }
  }
}

Seen walk_tree(const std::string& root) {
  Seen seen;
  const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(fd, 0);
  walk(fd, "", 0, seen);
  ::close(fd);
  return seen;
}

void expect_stats_match(const TreeStats& stats, const Seen& seen) {
  EXPECT_EQ(stats.files, seen.files);
  EXPECT_EQ(stats.dirs, seen.dirs);
  EXPECT_EQ(stats.symlinks, seen.symlinks);
  EXPECT_EQ(stats.max_depth, seen.max_depth);
}

TEST(TreeGen, RealisticTreeIsReproducibleAndMatchesItsStats) {
  TempDir temp;
  const TreeRecipe recipe{TreeKind::kRealistic, 4000, 42};
  const TreeStats first = ensure_tree(temp.at("a"), recipe, false);
  const TreeStats second = ensure_tree(temp.at("b"), recipe, false);
  const Seen a = walk_tree(temp.at("a"));
  const Seen b = walk_tree(temp.at("b"));
  expect_stats_match(first, a);
  expect_stats_match(second, b);
  EXPECT_EQ(a.listing, b.listing);
  EXPECT_EQ(first.files + first.dirs + first.symlinks, 4000u);
  EXPECT_EQ(first.max_depth, 12u);
  // Sizes stay within 0-64 KiB and include empty files.
  std::uint64_t empty = 0;
  for (const std::string& line : a.listing) {
    const auto at = line.rfind(" f ");
    if (at == std::string::npos) continue;
    const std::uint64_t size = std::stoull(line.substr(at + 3));
    EXPECT_LE(size, 64u * 1024) << line;
    empty += size == 0;
  }
  EXPECT_GT(empty, 0u);

  const TreeStats other_seed =
      ensure_tree(temp.at("c"), TreeRecipe{TreeKind::kRealistic, 4000, 43}, false);
  EXPECT_NE(walk_tree(temp.at("c")).listing, a.listing);
  EXPECT_EQ(other_seed.files + other_seed.dirs + other_seed.symlinks, 4000u);
}

TEST(TreeGen, RecordLivesBesideTheTreeAndAFinishedTreeIsReused) {
  TempDir temp;
  const TreeRecipe recipe{TreeKind::kFlat, 50, 1};
  ensure_tree(temp.at("flat"), recipe, false);
  std::ifstream record(temp.at("flat.tessaly-tree"));
  ASSERT_TRUE(record.good());
  std::string first_line;
  std::getline(record, first_line);
  EXPECT_EQ(first_line, "layout 3 kind flat entries 50 seed 1");

  // A file added after the build survives a second call: the tree is reused.
  temp.write_file("flat/extra", 10);
  const TreeStats again = ensure_tree(temp.at("flat"), recipe, false);
  EXPECT_EQ(again.files, 50u);
  EXPECT_EQ(walk_tree(temp.at("flat")).files, 51u);
}

TEST(TreeGen, UnfinishedOrDifferentTreeIsRebuiltFromScratch) {
  TempDir temp;
  // What an interrupted build leaves: part of a tree and the record it starts with.
  temp.write_file("tree/leftover/old.dat", 100);
  temp.write_text("tree.tessaly-tree", "building layout 3 kind flat entries 20 seed 1\n");
  const TreeStats stats = ensure_tree(temp.at("tree"), TreeRecipe{TreeKind::kFlat, 20, 1}, false);
  Seen seen = walk_tree(temp.at("tree"));
  expect_stats_match(stats, seen);
  EXPECT_EQ(seen.files, 20u);

  // Asking for another size replaces the tree rather than adding to it.
  ensure_tree(temp.at("tree"), TreeRecipe{TreeKind::kFlat, 7, 1}, false);
  seen = walk_tree(temp.at("tree"));
  EXPECT_EQ(seen.files, 7u);
  EXPECT_EQ(seen.dirs, 0u);
}

TEST(TreeGen, ForeignDirectoryIsNeverEmptied) {
  TempDir temp;
  const std::string keep = temp.write_file("mine/keep.txt", 100);
  try {
    ensure_tree(temp.at("mine"), TreeRecipe{TreeKind::kFlat, 5, 1}, false);
    ADD_FAILURE() << "a directory with files and no record was taken";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("refusing to empty " + temp.at("mine")), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(::access(keep.c_str(), F_OK), 0);
  EXPECT_NE(::access(temp.at("mine.tessaly-tree").c_str(), F_OK), 0);

  // An empty directory is as good as a new one.
  temp.make_dir("empty");
  EXPECT_EQ(ensure_tree(temp.at("empty"), TreeRecipe{TreeKind::kFlat, 5, 1}, false).files, 5u);
}

TEST(TreeGen, RecordedRecipeNamesTheFinishedTreeOnly) {
  TempDir temp;
  EXPECT_FALSE(recorded_recipe(temp.at("none")).has_value());
  ensure_tree(temp.at("t"), TreeRecipe{TreeKind::kHardlinks, 60, 77}, false);
  const auto recipe = recorded_recipe(temp.at("t"));
  ASSERT_TRUE(recipe.has_value());
  EXPECT_EQ(recipe->kind, TreeKind::kHardlinks);
  EXPECT_EQ(recipe->entries, 60u);
  EXPECT_EQ(recipe->seed, 77u);
  temp.write_text("t.tessaly-tree", "layout 1 kind flat entries 5 seed 1\n0 0 0 0\n");
  EXPECT_FALSE(recorded_recipe(temp.at("t")).has_value()) << "an older layout names no tree";
  temp.write_text("t.tessaly-tree", "layout 3 kind flat entries 5 seed 1 extra\n0 0 0 0\n");
  EXPECT_FALSE(recorded_recipe(temp.at("t")).has_value());
}

TEST(TreeGen, DeepChainGoesBeyondPathMax) {
  TempDir temp;
  const TreeStats stats = ensure_tree(temp.at("deep"), TreeRecipe{TreeKind::kDeep, 1400, 1}, false);
  EXPECT_EQ(stats.dirs, 700u);
  EXPECT_EQ(stats.files, 700u);
  const Seen seen = walk_tree(temp.at("deep"));
  expect_stats_match(stats, seen);
  EXPECT_GT(seen.max_path, static_cast<std::uint64_t>(PATH_MAX));
  // Rebuilding removes a chain that deep too.
  ensure_tree(temp.at("deep"), TreeRecipe{TreeKind::kDeep, 10, 1}, false);
  EXPECT_EQ(walk_tree(temp.at("deep")).dirs, 5u);
}

TEST(TreeGen, HardlinkTreeGivesEveryFileFiveNames) {
  TempDir temp;
  const TreeStats stats =
      ensure_tree(temp.at("links"), TreeRecipe{TreeKind::kHardlinks, 1000, 1}, false);
  const Seen seen = walk_tree(temp.at("links"));
  expect_stats_match(stats, seen);
  EXPECT_EQ(stats.dirs, 20u);
  EXPECT_EQ(stats.files, 980u);
  ASSERT_EQ(seen.links.size(), 1u);
  EXPECT_EQ(seen.links.begin()->first, 5u);
}

TEST(TreeGen, ParsesKindNames) {
  TreeKind kind = TreeKind::kRealistic;
  EXPECT_TRUE(parse_tree_kind("hardlinks", kind));
  EXPECT_EQ(kind, TreeKind::kHardlinks);
  EXPECT_FALSE(parse_tree_kind("Flat", kind));
  EXPECT_EQ(kind, TreeKind::kHardlinks);
  EXPECT_STREQ(tree_kind_name(TreeKind::kDeep), "deep");
}

#ifdef ENGINE_BENCH_BINARY
// The engines and the floor count the same tree exactly: every name is a
// file for the floor, while the engines count each linked file's blocks once.
TEST(EngineBench, EnginesAndFloorAgreeOnAHardlinkTree) {
  TempDir temp;
  const std::string tree = temp.at("links");
  const std::string json = temp.at("out.json");
  const auto run =
      tessaly::testing::run_process({ENGINE_BENCH_BINARY, "--tree", tree, "--kind", "hardlinks",
                                     "--entries", "500", "--runs", "1", "--json", json});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::ifstream in(json);
  const auto report = nlohmann::json::parse(in);
  ASSERT_EQ(report["scanners"].size(), 3u);
  std::map<std::string, nlohmann::json> by_name;
  for (const auto& scanner : report["scanners"]) by_name[scanner["name"]] = scanner;
  for (const char* name : {"floor", "jwalk", "bulk"}) {
    EXPECT_EQ(by_name[name]["files"], 490u) << name;
    EXPECT_EQ(by_name[name]["dirs"], 10u) << name;
  }
  const std::uint64_t floor_bytes = by_name["floor"]["bytes"];
  EXPECT_GT(floor_bytes, 0u);
  EXPECT_EQ(by_name["jwalk"]["bytes"], floor_bytes / 5);
  EXPECT_EQ(by_name["bulk"]["bytes"], floor_bytes / 5);
}

// The floor reaches directories whose paths are longer than PATH_MAX, as the
// engines do; otherwise it would look faster by doing less.
TEST(EngineBench, FloorCountsAChainDeeperThanPathMax) {
  TempDir temp;
  const std::string json = temp.at("out.json");
  const auto run =
      tessaly::testing::run_process({ENGINE_BENCH_BINARY, "--tree", temp.at("deep"), "--kind",
                                     "deep", "--entries", "1400", "--runs", "1", "--json", json});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::ifstream in(json);
  const auto report = nlohmann::json::parse(in);
  for (const auto& scanner : report["scanners"]) {
    EXPECT_EQ(scanner["files"], 700u) << scanner["name"];
    EXPECT_EQ(scanner["dirs"], 700u) << scanner["name"];
  }
}

TEST(EngineBench, MemoryRunReportsThePeakOfOneScan) {
  TempDir temp;
  const std::string json = temp.at("out.json");
  const auto run = tessaly::testing::run_process(
      {ENGINE_BENCH_BINARY, "--tree", temp.at("t"), "--kind", "realistic", "--entries", "2000",
       "--scanners", "jwalk", "--memory", "--json", json});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  std::ifstream in(json);
  const auto report = nlohmann::json::parse(in);
  ASSERT_EQ(report["scanners"].size(), 1u);
  EXPECT_EQ(report["scanners"][0]["ms"].size(), 1u);
  const auto& memory = report["memory"];
  const std::uint64_t entries = memory["entries"];
  EXPECT_EQ(entries, report["scanners"][0]["files"].get<std::uint64_t>() +
                         report["scanners"][0]["dirs"].get<std::uint64_t>());
  const std::uint64_t peak = memory["peak_rss_kib"];
  const std::uint64_t before = memory["rss_before_scan_kib"];
  EXPECT_GE(peak, before);
  EXPECT_GT(before, 0u);
  EXPECT_DOUBLE_EQ(memory["bytes_per_entry"].get<double>(), peak * 1024.0 / entries);

  const auto twice = tessaly::testing::run_process({ENGINE_BENCH_BINARY, "--tree", temp.at("t"),
                                                    "--kind", "realistic", "--entries", "2000",
                                                    "--scanners", "jwalk,bulk", "--memory"});
  EXPECT_EQ(twice.exit_code, 2);
  EXPECT_EQ(twice.err, "engine_bench: --memory takes exactly one scanner\n");
}

// A tree named without a recipe is measured as it stands: a generated one
// keeps the recipe of its record, whatever the default recipe is.
TEST(EngineBench, TreeWithoutARecipeIsTakenAsItsRecordNamesIt) {
  TempDir temp;
  const std::string tree = temp.at("flat");
  const TreeStats built = ensure_tree(tree, TreeRecipe{TreeKind::kFlat, 40, 9}, false);
  ASSERT_EQ(built.files, 40u);
  const Seen before = walk_tree(tree);
  const std::string json = temp.at("out.json");
  const auto run = tessaly::testing::run_process(
      {ENGINE_BENCH_BINARY, "--tree", tree, "--runs", "1", "--json", json});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(walk_tree(tree).listing, before.listing) << "the tree was rebuilt";
  EXPECT_EQ(recorded_recipe(tree)->entries, 40u);
  std::ifstream in(json);
  const auto report = nlohmann::json::parse(in);
  EXPECT_EQ(report["kind"], "flat");
  EXPECT_EQ(report["generated"]["files"], 40u);
  for (const auto& scanner : report["scanners"]) {
    EXPECT_EQ(scanner["files"], 40u) << scanner["name"];
  }
}

// A directory the generator did not make is scanned, never emptied.
TEST(EngineBench, ForeignDirectoryWithoutARecipeIsLeftUntouched) {
  TempDir temp;
  temp.write_file("mine/keep.txt", 3000);
  temp.write_file("mine/sub/also.txt", 10);
  const Seen before = walk_tree(temp.at("mine"));
  const std::string json = temp.at("out.json");
  const auto run = tessaly::testing::run_process(
      {ENGINE_BENCH_BINARY, "--tree", temp.at("mine"), "--runs", "1", "--json", json});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(walk_tree(temp.at("mine")).listing, before.listing);
  std::ifstream in(json);
  const auto report = nlohmann::json::parse(in);
  EXPECT_EQ(report["kind"], "as found");
  EXPECT_TRUE(report["generated"].is_null());
  for (const auto& scanner : report["scanners"]) {
    EXPECT_EQ(scanner["files"], 2u) << scanner["name"];
    EXPECT_EQ(scanner["dirs"], 1u) << scanner["name"];
  }
}

TEST(EngineBench, AFileIsNoTree) {
  TempDir temp;
  const std::string file = temp.write_file("plain", 5);
  const auto run = tessaly::testing::run_process({ENGINE_BENCH_BINARY, "--tree", file});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "engine_bench: " + file + " is no directory\n");
}

TEST(EngineBench, RejectsAnUnknownScanner) {
  TempDir temp;
  const auto run =
      tessaly::testing::run_process({ENGINE_BENCH_BINARY, "--tree", temp.at("t"), "--kind", "flat",
                                     "--entries", "3", "--scanners", "floor,nope"});
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.err, "engine_bench: unknown scanner nope\n");
  EXPECT_NE(::access(temp.at("t").c_str(), F_OK), 0) << "no tree is built for a bad command";
}
#endif

}  // namespace
}  // namespace tessaly::bench
