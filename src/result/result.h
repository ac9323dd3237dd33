// How a scan's directory sizes are named and rolled up. The result itself is
// public (<tessaly/result.h>, which also explains raw names and text).
#pragma once

#include <tessaly/result.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "result/path_trie.h"

namespace tessaly {

// The path compute_dir_sizes gives a child of `dir`: `dir`, a separator ("/",
// none when `dir` ends with "/", "/" when `dir` is empty) and the child's raw
// name.
std::string child_path(std::string_view dir, std::string_view raw_name);

// The total size of `dir`: its value in truncated_sizes plus the sizes of its
// children in children_map, directory children counted by their own totals.
// Fills dir_sizes with `dir` and every directory reached below it (an existing
// entry is overwritten). Iterative: the depth of the tree does not matter.
// An empty dir_sizes takes children_map's path nodes as its keys (see
// PathMapAccess::borrow) when every directory reached has one spelled as its
// key, instead of storing the paths a second time.
std::uint64_t compute_dir_sizes(std::string_view dir, const ChildrenMap& children_map,
                                const TruncatedSizes& truncated_sizes, DirSizes& dir_sizes);

}  // namespace tessaly
