#include "result/refresh_splice.h"

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/paths.h"
#include "base/utf8.h"
#include "result/result.h"

namespace tessaly {
namespace {

using Node = ResultAccess::Node;
constexpr std::uint32_t kNoNode = DirTable::kNoNode;

FileIdentity identity_of(const HardLink& link) { return {link.device, link.inode}; }

// Calls `visit` with `top` and each node below it in `table`, leaving out the
// subtree of `skip`.
template <class Visit>
void for_subtree(const DirTable& table, std::uint32_t top, std::uint32_t skip, Visit visit) {
  if (top == kNoNode || top == skip) return;
  std::vector<std::uint32_t> stack{top};
  while (!stack.empty()) {
    const std::uint32_t at = stack.back();
    stack.pop_back();
    const Node& node = ResultAccess::node(table, at);
    visit(at, node);
    for (std::size_t i = node.children.size(); i-- > 0;) {
      const ChildEntry& entry = node.children[i];
      if (!entry.is_dir()) continue;
      const std::uint32_t child = ResultAccess::node_of(entry);
      if (child != skip) stack.push_back(child);
    }
  }
}

// Whether `at` lies at or below `top`.
bool lies_under(const DirTable& table, std::uint32_t at, std::uint32_t top) {
  for (; at != kNoNode; at = ResultAccess::node(table, at).parent) {
    if (at == top) return true;
  }
  return false;
}

// The node of `folder` in `result`'s table (below its root), or kNoNode.
std::uint32_t folder_node(const ScanResult& result, std::string_view folder) {
  const auto& table = ResultAccess::table(result);
  if (!table) return kNoNode;
  const std::uint32_t node = ResultAccess::find_node(*table, folder);
  if (node == kNoNode || ResultAccess::node(*table, node).parent == kNoNode) return kNoNode;
  return node;
}

// The multiply-linked files of `result` whose blocks a name in a list at or
// below the node `folder` carries (`inside`), or in a list of the root's tree
// outside it (!`inside`).
std::set<FileIdentity> counted_links(const ScanResult& result, std::uint32_t folder, bool inside) {
  std::set<FileIdentity> counted;
  const auto& table = ResultAccess::table(result);
  if (result.hard_links.empty() || !table) return counted;
  const auto note = [&](std::uint32_t, const Node& node) {
    for (const ChildEntry& entry : node.children) {
      const HardLink* link = entry.is_dir() ? nullptr : result.hard_link(entry);
      if (link != nullptr && link->counted) counted.insert(identity_of(*link));
    }
  };
  if (inside) {
    for_subtree(*table, folder, kNoNode, note);
  } else {
    for_subtree(*table, ResultAccess::root(*table), folder, note);
  }
  return counted;
}

// A name outside the folder that takes over the blocks of a file whose
// counted name was inside it: the node listing it and the bytes.
struct MovedBlocks {
  std::uint32_t dir;
  std::uint64_t bytes;
};

}  // namespace

std::set<FileIdentity> links_counted_outside(const ScanResult& previous, std::string_view folder) {
  const std::uint32_t top = folder_node(previous, folder);
  std::set<FileIdentity> outside = counted_links(previous, top, false);
  if (previous.hard_links.empty() || top == kNoNode) return outside;
  const DirTable& table = *ResultAccess::table(previous);
  // A file named in the folder, none of whose names there carries its blocks,
  // is counted outside it, also where the result lists no names (below the
  // tree depth); certain only when the folder hides no names of its own.
  for (const ResultAccess::Fold& fold : ResultAccess::folds(table)) {
    if (fold.has_counts && fold.counts.files != 0 && lies_under(table, fold.node, top)) {
      return outside;
    }
  }
  std::set<FileIdentity> named_inside;
  for_subtree(table, top, kNoNode, [&](std::uint32_t, const Node& node) {
    for (const ChildEntry& entry : node.children) {
      if (const HardLink* link = entry.is_dir() ? nullptr : previous.hard_link(entry)) {
        named_inside.insert(identity_of(*link));
      }
    }
  });
  const std::set<FileIdentity> counted_inside = counted_links(previous, top, true);
  for (const FileIdentity& file : named_inside) {
    if (!counted_inside.contains(file)) outside.insert(file);
  }
  return outside;
}

std::shared_ptr<const ScanResult> splice_folder(const ScanResult& previous, std::string_view folder,
                                                const ScanResult* folder_scan) {
  const std::uint32_t top = folder_node(previous, folder);
  if (top == kNoNode) throw std::logic_error("refreshed folder is not listed in the result");
  const bool gone = folder_scan == nullptr;
  const DirTable& old = *ResultAccess::table(previous);
  auto result = std::make_shared<ScanResult>();
  result->root = previous.root;
  result->root_path = previous.root_path;
  result->tree_depth = previous.tree_depth;
  // The untouched part is shared, not copied: the new table holds the blocks
  // of the previous one and copies a block only before changing a node of it
  // (the path from the root to the folder); the new result holds the blocks
  // of `previous`'s names and lists, which never change.
  auto table = std::make_shared<DirTable>(old);
  result->names.share(previous.names);

  // What the previous result counted at and below the folder.
  std::uint64_t old_files = 0;
  std::uint64_t old_dirs = 0;
  std::size_t old_nodes = 0;
  std::size_t old_listed = 0;
  std::unordered_set<const char*> dropped;  // link keys of entries no longer listed
  const std::uint64_t old_size = ResultAccess::node(old, top).size;
  for_subtree(old, top, kNoNode, [&](std::uint32_t, const Node& node) {
    ++old_nodes;
    if (!node.children.empty()) ++old_listed;
    for (const ChildEntry& entry : node.children) {
      if (entry.is_dir()) {
        ++old_dirs;
      } else {
        ++old_files;
        if (previous.hard_link(entry) != nullptr) dropped.insert(ResultAccess::link_key(entry));
      }
    }
  });
  for (ResultAccess::Fold& fold : ResultAccess::folds(*table)) {
    if ((fold.has_counts || fold.has_truncated) && lies_under(old, fold.node, top)) {
      if (fold.has_counts) {
        old_files += fold.counts.files;
        old_dirs += fold.counts.dirs;
        --ResultAccess::key_count(*table, DirMapKind::kFolded);
      }
      if (fold.has_truncated) --ResultAccess::key_count(*table, DirMapKind::kTruncated);
      fold.has_counts = false;
      fold.has_truncated = false;
    }
  }
  ResultAccess::key_count(*table, DirMapKind::kSizes) -= old_nodes;
  ResultAccess::key_count(*table, DirMapKind::kChildren) -= old_listed;

  // Files whose blocks a name inside the folder carried and no name of the
  // folder's scan carries now: an uncounted name outside takes them over.
  std::set<FileIdentity> orphaned = counted_links(previous, top, true);
  if (!gone && !orphaned.empty()) {
    const auto& scan_table = ResultAccess::table(*folder_scan);
    const std::uint32_t scan_root = scan_table ? ResultAccess::root(*scan_table) : kNoNode;
    for (const FileIdentity& still : counted_links(*folder_scan, scan_root, true)) {
      orphaned.erase(still);
    }
  }

  const Node folder_node_before = ResultAccess::node(old, top);
  const std::uint32_t parent = folder_node_before.parent;
  if (gone) {
    // The folder's entry leaves its parent's list (a list left empty is no
    // list, as in a scan); the directories after it move up one place.
    const ChildList& list = ResultAccess::node(old, parent).children;
    ChildList rebuilt;
    if (list.size() > 1) result->names.reserve(rebuilt, list.size() - 1);
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i == folder_node_before.slot) continue;
      result->names.append(rebuilt, list[i]);
      if (i > folder_node_before.slot && list[i].is_dir()) {
        ResultAccess::node(*table, ResultAccess::node_of(list[i])).slot -= 1;
      }
    }
    if (rebuilt.empty()) --ResultAccess::key_count(*table, DirMapKind::kChildren);
    ResultAccess::node(*table, parent).children = rebuilt;
  } else {
    // The folder's scan joins under the folder's node; its other nodes are
    // added, its lists copied with their directories' new places (a
    // directory's record is copied to carry its new node; the files' records
    // stay where the scan keeps them).
    const ScanResult& scan = *folder_scan;
    result->names.share(scan.names);
    const DirTable& from = *ResultAccess::table(scan);
    const auto count = static_cast<std::uint32_t>(ResultAccess::node_count(from));
    const std::uint32_t scan_root = ResultAccess::root(from);
    std::vector<std::uint32_t> placed(count, kNoNode);
    const auto copy_fold = [&](std::uint32_t fold) -> std::uint32_t {
      if (fold == kNoNode) return kNoNode;
      const ResultAccess::Fold& record = ResultAccess::fold(from, fold);
      if (!record.has_truncated && !record.has_counts) return kNoNode;
      std::vector<ResultAccess::Fold>& folds = ResultAccess::folds(*table);
      folds.push_back(record);
      if (record.has_truncated) ++ResultAccess::key_count(*table, DirMapKind::kTruncated);
      if (record.has_counts) ++ResultAccess::key_count(*table, DirMapKind::kFolded);
      return static_cast<std::uint32_t>(folds.size() - 1);
    };
    for (std::uint32_t at = 0; at < count; ++at) {
      const Node& node = ResultAccess::node(from, at);
      if (at == scan_root) {
        placed[at] = top;
        Node& replaced = ResultAccess::node(*table, top);
        replaced.fold = copy_fold(node.fold);
        if (replaced.fold != kNoNode) ResultAccess::fold(*table, replaced.fold).node = top;
        replaced.children = ChildList();
        replaced.size = node.size;
        continue;
      }
      if (node.parent == kNoNode || placed[node.parent] == kNoNode) continue;
      Node added;
      added.parent = placed[node.parent];
      added.slot = node.slot;
      added.size = node.size;
      added.fold = copy_fold(node.fold);
      placed[at] = ResultAccess::add_node(*table, added);
      if (added.fold != kNoNode) ResultAccess::fold(*table, added.fold).node = placed[at];
    }
    for (std::uint32_t at = 0; at < count; ++at) {
      const ChildList& list = ResultAccess::node(from, at).children;
      if (placed[at] == kNoNode || list.empty()) continue;
      ChildList copy;
      result->names.reserve(copy, list.size());
      for (const ChildEntry& entry : list) {
        if (!entry.is_dir()) {
          result->names.append(copy, entry);
          continue;
        }
        const std::uint32_t node = placed[ResultAccess::node_of(entry)];
        result->names.append(copy, ResultAccess::with_node(result->names, entry, node));
      }
      ResultAccess::node(*table, placed[at]).children = copy;
    }
    ResultAccess::key_count(*table, DirMapKind::kSizes) += scan.dir_sizes.size();
    ResultAccess::key_count(*table, DirMapKind::kChildren) += scan.children_map.size();
    ResultAccess::copy_links(result->hard_links, scan.hard_links, [](const char*) { return true; });
  }

  // A file that lost its counted name: the first name listed outside the
  // folder, in the maps' order, carries its blocks now (its list is made
  // anew with that one entry changed).
  std::vector<MovedBlocks> moved;
  if (!orphaned.empty()) {
    const DirTable& now = *table;
    std::vector<std::uint32_t> lists;
    for_subtree(now, ResultAccess::root(now), top,
                [&](std::uint32_t at, const Node&) { lists.push_back(at); });
    for (const std::uint32_t at : lists) {
      if (orphaned.empty()) break;
      const ChildList list = ResultAccess::node(*table, at).children;
      ChildList rebuilt;
      bool changed = false;
      for (std::size_t i = 0; i < list.size(); ++i) {
        const ChildEntry& entry = list[i];
        const HardLink* link = entry.is_dir() ? nullptr : previous.hard_link(entry);
        if (link == nullptr || link->counted || orphaned.erase(identity_of(*link)) == 0) {
          if (changed) result->names.append(rebuilt, entry);
          continue;
        }
        if (!changed) {
          result->names.reserve(rebuilt, list.size());
          for (std::size_t j = 0; j < i; ++j) result->names.append(rebuilt, list[j]);
          changed = true;
        }
        const ChildEntry taker = result->names.entry(entry.raw_name(), link->size, false);
        result->names.append(rebuilt, taker);
        dropped.insert(ResultAccess::link_key(entry));
        HardLink carrier = *link;
        carrier.counted = true;
        result->hard_links.add(taker, carrier);
        moved.push_back(MovedBlocks{at, link->size});
        if (link->size >= kLargeFileThreshold) {
          const std::string dir = ResultAccess::text(now, at);
          result->large_files.push_back(LargeFile{utf8_lossy(entry.raw_name()),
                                                  utf8_lossy(child_path(dir, entry.raw_name())),
                                                  link->size});
        }
      }
      if (changed) ResultAccess::node(*table, at).children = rebuilt;
    }
  }
  ResultAccess::copy_links(result->hard_links, previous.hard_links,
                           [&](const char* key) { return !dropped.contains(key); });

  // Every ancestor's total takes the folder's change (modular arithmetic
  // makes a smaller folder a subtraction), and the blocks moved below it.
  const std::uint64_t new_size = gone ? 0 : folder_scan->total_size;
  for (std::uint32_t at = parent; at != kNoNode; at = ResultAccess::node(*table, at).parent) {
    Node& node = ResultAccess::node(*table, at);
    node.size = node.size - old_size + new_size;
  }
  for (const MovedBlocks& blocks : moved) {
    for (std::uint32_t at = blocks.dir; at != kNoNode; at = ResultAccess::node(*table, at).parent) {
      ResultAccess::node(*table, at).size += blocks.bytes;
    }
  }
  ResultAccess::set_table(*result, table);

  const std::string folder_text = utf8_lossy(folder);
  for (const LargeFile& file : previous.large_files) {
    if (!path_starts_with(file.path, folder_text)) result->large_files.push_back(file);
  }

  result->files_found = previous.files_found - old_files;
  result->dirs_found = previous.dirs_found - old_dirs - (gone ? 1 : 0);
  result->total_size = previous.total_size - old_size + new_size;
  for (const MovedBlocks& blocks : moved) result->total_size += blocks.bytes;

  if (!gone) {
    const ScanResult& scan = *folder_scan;
    result->large_files.insert(result->large_files.end(), scan.large_files.begin(),
                               scan.large_files.end());
    result->files_found += scan.files_found;
    result->dirs_found += scan.dirs_found;
    result->compute_dir_sizes_ms = scan.compute_dir_sizes_ms;
  }
  result->hard_links.seal();
  std::stable_sort(result->large_files.begin(), result->large_files.end(),
                   [](const LargeFile& a, const LargeFile& b) { return a.size > b.size; });
  return result;
}

}  // namespace tessaly
