// The data behind scan_tree's treemap page: the scanned tree cut down to what
// a browser draws well. Each directory keeps its largest children; the rest
// become one "(N smaller items)" entry, and a budget on the whole tree stops
// the expansion early for a tree of millions of entries (largest directories
// first). Sizes always add up: a directory's entries sum to its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tessaly/result.h>

namespace tessaly::scan_tree {

enum class PageNodeKind : std::uint8_t {
  kItem = 0,       // a file, a bundle or a mounted volume: one rectangle
  kDirectory = 1,  // a directory whose entries are in the page
  kUnlisted = 2,   // a directory whose bytes lie below the tree depth
  kSmaller = 3,    // "(N smaller items)": children folded into one
  kRemainder = 4,  // a directory's bytes its listed children do not account for
};

struct PageNode {
  static constexpr std::uint32_t kNoParent = 0xffff'ffffU;

  std::uint32_t parent = kNoParent;
  PageNodeKind kind = PageNodeKind::kItem;
  std::uint64_t size = 0;
  std::string name;         // empty for kSmaller
  std::uint64_t count = 0;  // kSmaller: how many children it stands for
};

struct PageLimits {
  // Children drawn per directory, largest first.
  std::size_t per_directory = 100;
  // Nodes after which no further directory is expanded; folded entries may
  // add at most one node per directory beyond it.
  std::size_t budget = 50'000;
};

// The page's tree: node 0 is the root (named by the result's root text); every
// other node's parent comes before it and siblings are contiguous, largest
// first. A kDirectory node's children sum to its size.
std::vector<PageNode> build_page_tree(const ScanResult& result, const PageLimits& limits = {});

// What the page shows beside the treemap.
struct PageFacts {
  std::string_view engine;
  std::uint64_t elapsed_ms = 0;
  std::uint64_t tree_depth = 0;
  // A note for the totals ("" for none).
  std::string_view note;
  // Large files listed, largest first.
  std::size_t large_files_shown = 100;
};

// The page's data as JSON in which no "<", ">" or "&" appears, so it can sit
// inside a <script> element whatever the names hold:
//   {"root", "engine", "files", "dirs", "size", "elapsed_ms", "tree_depth" (a
//    number, or "all" for kUnlimitedTreeDepth),
//    "note", "nodes": [[parent, kind, size, name or count], ...],
//    "large": {"count", "shown": [[path, size], ...]}}
// The root's parent is -1; the fourth field of a kSmaller node is its count.
std::string page_data_json(const ScanResult& result, const std::vector<PageNode>& nodes,
                           const PageFacts& facts);

}  // namespace tessaly::scan_tree
