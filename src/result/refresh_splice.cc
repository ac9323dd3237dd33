#include "result/refresh_splice.h"

#include <algorithm>
#include <string>
#include <vector>

#include "base/paths.h"
#include "base/utf8.h"
#include "result/path_trie.h"
#include "result/result.h"

namespace tessaly {
namespace {

// `folder`'s parent and last component, split at its last separator.
std::pair<std::string_view, std::string_view> split_last(std::string_view folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
  const std::size_t slash = folder.rfind('/');
  if (slash == std::string_view::npos) return {std::string_view(), folder};
  const std::string_view parent = slash == 0 ? folder.substr(0, 1) : folder.substr(0, slash);
  return {parent, folder.substr(slash + 1)};
}

FileIdentity identity_of(const HardLink& link) { return {link.device, link.inode}; }

// The multiply-linked files of `result` whose blocks a name in a list at or
// below `folder` carries (`inside`), or in a list outside it (!`inside`).
std::set<FileIdentity> counted_links(const ScanResult& result, std::string_view folder,
                                     bool inside) {
  std::set<FileIdentity> counted;
  if (result.hard_links.empty()) return counted;
  for (auto&& [key, list] : result.children_map) {
    if (path_starts_with(key, folder) != inside) continue;
    for (const ChildEntry& entry : list) {
      const HardLink* link = entry.is_dir() ? nullptr : result.hard_link(entry);
      if (link != nullptr && link->counted) counted.insert(identity_of(*link));
    }
  }
  return counted;
}

// A name outside the folder that takes over the blocks of a file whose
// counted name was inside it: the directory listing it and the bytes.
struct MovedBlocks {
  std::string dir;
  std::uint64_t bytes;
};

}  // namespace

std::set<FileIdentity> links_counted_outside(const ScanResult& previous, std::string_view folder) {
  std::set<FileIdentity> outside = counted_links(previous, folder, false);
  if (previous.hard_links.empty()) return outside;
  // A file named in the folder, none of whose names there carries its blocks,
  // is counted outside it, also where the result lists no names (below the
  // tree depth); certain only when the folder hides no names of its own.
  for (auto&& [key, counts] : previous.folded_counts) {
    if (counts.files != 0 && path_starts_with(key, folder)) return outside;
  }
  std::set<FileIdentity> named_inside;
  for (auto&& [key, list] : previous.children_map) {
    if (!path_starts_with(key, folder)) continue;
    for (const ChildEntry& entry : list) {
      if (const HardLink* link = entry.is_dir() ? nullptr : previous.hard_link(entry)) {
        named_inside.insert(identity_of(*link));
      }
    }
  }
  const std::set<FileIdentity> counted_inside = counted_links(previous, folder, true);
  for (const FileIdentity& file : named_inside) {
    if (!counted_inside.contains(file)) outside.insert(file);
  }
  return outside;
}

std::shared_ptr<const ScanResult> splice_folder(const ScanResult& previous, std::string_view folder,
                                                const ScanResult* folder_scan) {
  const auto [parent, name] = split_last(folder);
  const bool gone = folder_scan == nullptr;
  auto result = std::make_shared<ScanResult>();
  result->root = previous.root;
  result->root_path = previous.root_path;
  result->tree_depth = previous.tree_depth;

  // What the previous result counted at and below the folder.
  std::uint64_t old_files = 0;
  std::uint64_t old_dirs = 0;
  const std::uint64_t* old_size_slot = previous.dir_size(folder);
  const std::uint64_t old_size = old_size_slot == nullptr ? 0 : *old_size_slot;

  // Files whose blocks a name inside the folder carried and no name of the
  // folder's scan carries now: an uncounted name outside takes them over.
  std::set<FileIdentity> orphaned = counted_links(previous, folder, true);
  if (!gone && !orphaned.empty()) {
    for (const FileIdentity& still : counted_links(*folder_scan, folder, true)) {
      orphaned.erase(still);
    }
  }
  std::vector<MovedBlocks> moved;

  // The list of `key` in the new children_map, `list` being what it will
  // hold: each directory in it gets its node below the key's, as a scan
  // leaves them, so that dir_sizes keys by children_map's nodes.
  PathNodes& nodes = PathMapAccess::nodes(result->children_map);
  const auto list_at = [&](std::string_view key, const ChildList& list) -> ChildList& {
    bool exact = false;
    const std::uint32_t node = nodes.intern(key, &exact);
    if (exact) {
      for (const ChildEntry& entry : list) {
        if (entry.is_dir()) nodes.intern_child(node, entry.raw_name());
      }
    }
    return PathMapAccess::value_at(result->children_map, node, key, exact);
  };

  // The untouched part's lists are shared, not copied: the new result holds
  // the blocks of `previous`, whose lists and names never change. Only a list
  // that loses the folder or hands a file's blocks over is made anew.
  result->names.share(previous.names);
  result->children_map.reserve(previous.children_map.size());
  const bool linked = !previous.hard_links.empty();
  for (auto&& [key, list] : previous.children_map) {
    if (path_starts_with(key, folder)) {
      for (const ChildEntry& entry : list) {
        if (entry.is_dir()) {
          ++old_dirs;
        } else {
          ++old_files;
        }
      }
      continue;
    }
    const bool is_parent = gone && paths_equal(key, parent);
    // A list left empty is no list, as in a scan.
    if (is_parent && list.size() == 1 && list[0].is_dir() && list[0].raw_name() == name) continue;
    ChildList& copy = list_at(key, list);
    copy = list;
    bool rebuilt = false;
    // Makes `copy` a list of the new result's own, holding the first `kept`
    // entries of `list`.
    const auto rebuild = [&](std::size_t kept) {
      if (rebuilt) return;
      copy = ChildList();
      result->names.reserve(copy, list.size());
      for (std::size_t i = 0; i < kept; ++i) result->names.append(copy, list[i]);
      rebuilt = true;
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
      const ChildEntry& entry = list[i];
      if (is_parent && entry.is_dir() && entry.raw_name() == name) {
        rebuild(i);
        continue;
      }
      const HardLink* link = linked && !entry.is_dir() ? previous.hard_link(entry) : nullptr;
      if (link == nullptr) {
        if (rebuilt) result->names.append(copy, entry);
      } else if (!link->counted && orphaned.erase(identity_of(*link)) == 1) {
        rebuild(i);
        const ChildEntry taker = result->names.entry(entry.raw_name(), link->size, false);
        result->names.append(copy, taker);
        HardLink carrier = *link;
        carrier.counted = true;
        result->hard_links.add(taker, carrier);
        moved.push_back(MovedBlocks{key, link->size});
        if (link->size >= kLargeFileThreshold) {
          result->large_files.push_back(LargeFile{utf8_lossy(entry.raw_name()),
                                                  utf8_lossy(child_path(key, entry.raw_name())),
                                                  link->size});
        }
      } else {
        if (rebuilt) result->names.append(copy, entry);
        result->hard_links.add(entry, *link);
      }
    }
  }
  for (auto&& [key, size] : previous.truncated_sizes) {
    if (!path_starts_with(key, folder)) result->truncated_sizes[key] = size;
  }
  for (auto&& [key, counts] : previous.folded_counts) {
    if (path_starts_with(key, folder)) {
      old_files += counts.files;
      old_dirs += counts.dirs;
    } else {
      result->folded_counts[key] = counts;
    }
  }

  if (!gone) {
    const ScanResult& scan = *folder_scan;
    result->names.share(scan.names);
    for (auto&& [key, list] : scan.children_map) {
      list_at(key, list) = list;
      if (scan.hard_links.empty()) continue;
      for (const ChildEntry& entry : list) {
        if (const HardLink* link = entry.is_dir() ? nullptr : scan.hard_link(entry)) {
          result->hard_links.add(entry, *link);
        }
      }
    }
  }
  PathMapAccess::borrow(result->dir_sizes, result->children_map);

  const std::uint64_t new_size = gone ? 0 : folder_scan->total_size;
  result->dir_sizes.reserve(previous.dir_sizes.size());
  for (auto&& [key, size] : previous.dir_sizes) {
    if (path_starts_with(key, folder)) continue;
    // Every ancestor's total takes the folder's change (modular arithmetic
    // makes a smaller folder a subtraction), and the blocks moved below it.
    std::uint64_t total = path_starts_with(folder, key) ? size - old_size + new_size : size;
    for (const MovedBlocks& blocks : moved) {
      if (path_starts_with(blocks.dir, key)) total += blocks.bytes;
    }
    result->dir_sizes[key] = total;
  }

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
    for (auto&& [key, size] : scan.truncated_sizes) result->truncated_sizes[key] = size;
    for (auto&& [key, counts] : scan.folded_counts) result->folded_counts[key] = counts;
    for (auto&& [key, size] : scan.dir_sizes) result->dir_sizes[key] = size;
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
