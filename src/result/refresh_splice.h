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

// A multiply-linked file by stat device and inode.
using FileIdentity = std::pair<std::uint64_t, std::uint64_t>;

// The multiply-linked files whose blocks `previous` counted under names
// outside `folder` (a raw path below its root). A refresh of the folder seeds
// its walk with them, so that those names keep the blocks and the folder's
// names count 0. The result has no table of link identities yet, so this set
// is empty: a file linked both inside and outside a refreshed folder is then
// counted once more. This is the one place to fill once the result keeps
// (device, inode, counted) per listed name of a multiply-linked file.
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
// This stage copies the untouched part of `previous` (its maps and names):
// the cost is linear in the previous result, not in the folder. `previous`
// is only read. Throws std::bad_alloc when memory runs out, with nothing
// changed.
std::shared_ptr<const ScanResult> splice_folder(const ScanResult& previous, std::string_view folder,
                                                const ScanResult* folder_scan);

}  // namespace tessaly
