// Deterministic benchmark trees. The same kind, size and seed always give the
// same names, sizes, links and layout, so figures taken on different days or
// machines describe the same data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaly::bench {

enum class TreeKind {
  kRealistic,  // files of 0-64 KiB over many directories up to depth 12
  kFlat,       // one directory holding every file
  kDeep,       // a single chain of directories, one file in each
  kHardlinks,  // files that each have several names in different directories
};

struct TreeRecipe {
  TreeKind kind = TreeKind::kRealistic;
  std::uint64_t entries = 500'000;  // entries below the root, roughly
  std::uint64_t seed = 0x7e55a1;
};

// What a generated tree holds, as a scanner should count it.
struct TreeStats {
  std::uint64_t files = 0;  // regular files, each name counted
  std::uint64_t dirs = 0;   // directories below the root
  std::uint64_t symlinks = 0;
  std::uint64_t max_depth = 0;
};

// Parses "realistic", "flat", "deep" or "hardlinks".
bool parse_tree_kind(const std::string& text, TreeKind& kind);
const char* tree_kind_name(TreeKind kind);

// Builds the tree at `root` unless a finished tree of the same recipe is
// already there (a tree whose generation was interrupted is rebuilt from
// scratch). The completion record lives beside the root, never inside it, so
// it is not part of what a scan counts. Throws std::runtime_error on failure.
TreeStats ensure_tree(const std::string& root, const TreeRecipe& recipe, bool verbose);

// The recipe of the finished tree at `root` as its completion record names it;
// nothing when there is no record, or one this generator's layout does not
// produce any more.
std::optional<TreeRecipe> recorded_recipe(const std::string& root);

}  // namespace tessaly::bench
