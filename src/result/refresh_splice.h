// The result of a refresh: a previous result with one folder's part replaced
// by that folder's own scan.
#pragma once

#include <tessaly/result.h>

#include <cstdint>
#include <memory>
#include <set>
#include <string_view>
#include <utility>

namespace tessaly {

// A multiply-linked file by device and inode, as HardLink gives them (in the
// encoding of the engine that made the result).
using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

// The multiply-linked files whose blocks `previous` counted under a name
// outside `folder` (a raw path below its root): those of names it lists
// outside, and, when the folder holds nothing below the tree depth, those
// named in the folder none of whose names there carries the blocks. A refresh
// of the folder seeds its walk with them, so that the names outside keep the
// blocks and the folder's names count 0. What the result does not know stays
// out: a file counted only under names below the tree depth while the folder
// too hides names there, and a file that had one name at the previous scan
// (a link made since from the folder to a file outside it counts that file
// once more until the outside name's folder is refreshed).
std::set<FileIdentity> links_counted_outside(const ScanResult& previous, std::string_view folder);

// A new result equal to `previous` with everything at and below `folder`
// replaced: `folder` is the raw path of a directory `previous` lists (a
// dir_sizes key below the root, spelled as previous spells it), and
// `folder_scan` its own scan, made with the same request except for a tree
// depth reduced by the folder's depth below the root, or nullptr when the
// folder is gone (its entry leaves its parent's list, its size every
// ancestor, its files and directories the counters). Counters, dir_sizes of
// every ancestor up to the root, children lists, truncated sizes, folded
// counts and large files then equal a scan of the whole root.
//
// Hard links across the folder's edge (with `folder_scan` seeded by
// links_counted_outside): a file whose blocks a name inside the folder
// carried, and no name of `folder_scan` carries now, has them taken over by
// the first name of it listed outside the folder (its size, every ancestor's
// total and total_size grow by them), so that it still counts once. The
// entries of both results keep their HardLink in the new result's table.
//
// The untouched part is shared with `previous`: the new result's directory
// table holds the previous table's blocks, copying only those of the nodes it
// changes (the folder's ancestors, and the siblings after a folder that is
// gone) and adding the folder's subtree as new nodes; its lists and names
// stay in `previous`'s blocks. So the cost follows the folder and its depth,
// not the previous result's size. `previous` is only read. Throws
// std::bad_alloc when memory runs out, with nothing changed.
std::shared_ptr<const ScanResult> splice_folder(const ScanResult& previous, std::string_view folder,
                                                const ScanResult* folder_scan);

}  // namespace tessaly
