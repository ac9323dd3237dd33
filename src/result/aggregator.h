// The aggregation that builds a scan's result from the entries of a walk, on
// the engine's collecting thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"
#include "result/path_trie.h"
#include "result/result.h"
#include "result/walk_listing.h"

namespace tessaly {

// `root` followed by the first `depth` components of `path` below it, or all of
// them when there are fewer; `root` itself when `path` does not lie under
// `root` (component-wise).
std::string truncate_to_depth(std::string_view root, std::string_view path, std::uint64_t depth);

// What finishing a scan hands back: the result and the two numbers of the
// post-walk log line.
struct FinishedScan {
  std::shared_ptr<const ScanResult> result;
  std::uint64_t dir_sizes_count = 0;    // entries in dir_sizes
  std::uint64_t child_entry_count = 0;  // ChildEntry records over all of children_map
};

// The aggregation state of one scan. Owned and used by the engine's collecting
// thread only.
class ScanAggregator {
 public:
  // `root` is the root exactly as handed to the engine.
  ScanAggregator(std::string_view root, std::uint64_t tree_depth);
  ScanAggregator(const ScanAggregator&) = delete;
  ScanAggregator& operator=(const ScanAggregator&) = delete;

  // A bundle or volume total, counted and placed like a file.
  void record_subtree_total(const SubtreeTotal& total);

  // A listing handed over by a walk (result/walk_listing.h): any container
  // with size() and operator[] giving `.name` (raw) and `.fields` with `.size`
  // and `.is_dir`. Every file child counts (large-file rule included, with
  // place.path as its directory) and every directory child counts in
  // dirs_found, at any depth; directory children are placed under the
  // numbers place.first_child onwards. When place.depth <= tree depth all
  // children are appended to the directory's list; otherwise the files'
  // summed size, when not 0, goes to the truncated size of the directory's
  // ancestor at the tree depth. The directory was placed by its parent's
  // listing (the root needs none); no path is formed for it. `links`, the
  // identities of the multiply-linked files among the children (by index),
  // join the result's hard-link table with the entries that are listed.
  template <class Children>
  void record_listing(const ListingPlace& place, const Children& children,
                      std::span<const LinkedChild> links = {});

  // Bytes below `dir` (a raw path at or below the tree depth) known only as a
  // sum: total_size += bytes, added to the truncated size of dir's ancestor at
  // the tree depth.
  void record_unlisted_bytes(std::string_view dir, std::uint64_t bytes);
  // Files and directories known only as counts: added to the counters.
  void record_unlisted_counts(std::uint64_t files, std::uint64_t dirs);

  // The running counters, for progress. The reference stays valid for the
  // aggregator's lifetime.
  const ScanCounters& counters() const { return counters_; }

  // Sorts the large files, runs and times compute_dir_sizes from the root on
  // `clock` and assembles the result. Call once, after the last record: the
  // maps and lists move into the result, while counters() keeps the final
  // counts.
  FinishedScan finish(const Clock& clock = monotonic_clock());

 private:
  ChildList& list_for(std::string_view dir);
  // children_map's node for `dir`. It becomes the anchor of the next lookup
  // when its text is `dir` byte for byte.
  std::uint32_t children_node(std::string_view dir);
  std::uint64_t& truncated_slot(std::string_view path);
  void note_large_file(std::string_view parent, std::string_view raw_name, std::uint64_t size);
  void forget_caches();

  // A directory numbered by the walk: its node in children_map's paths
  // when its parent's children are listed, and the place in folded_ of the
  // directory at the tree depth that takes what is folded below it. 8 bytes:
  // the walk keeps one per directory until the scan ends.
  struct WalkDir {
    std::uint32_t node = PathNodes::kNone;
    std::uint32_t fold = kNoFold;
  };
  // A directory at the tree depth (or the root), and its slots in
  // truncated_sizes and folded_counts once something is folded below it.
  struct Folded {
    std::uint32_t node = PathNodes::kNone;
    bool is_root = false;
    std::uint64_t* truncated = nullptr;
    FoldedCounts* counted = nullptr;
  };
  static constexpr std::uint32_t kNoFold = 0xffff'ffffU;

  WalkDir& walk_dir(WalkDirId id);
  // The list a listing's children join, or nullptr when they are folded.
  ChildList* listing_target(const ListingPlace& place, std::size_t count);
  void place_directory(const ListingPlace& place, WalkDirId id, std::string_view name);
  // What is folded below `dir`: `map`'s value (kept in `slot`) for the
  // directory at the tree depth above it, or for the root when the walk placed
  // no such directory.
  template <class Value, class Map>
  Value& folded_value(WalkDirId dir, Value* Folded::*slot, Map& map);
  std::uint32_t root_fold();
  std::uint64_t& folded_size(WalkDirId dir);
  FoldedCounts& folded_counts(WalkDirId dir);
  // The folded counts of the ancestor at the tree depth of `path`.
  FoldedCounts& folded_counts_at(std::string_view path);

  std::string root_;
  std::uint64_t tree_depth_;
  ScanCounters counters_;
  std::uint64_t child_entry_count_ = 0;
  std::vector<LargeFile> large_files_;
  NameStore names_;
  ChildrenMap children_map_;
  TruncatedSizes truncated_sizes_;
  FoldedCountsMap folded_counts_;
  HardLinkTable hard_links_;

  // The last directory whose children_map node was looked up by path, when
  // its node's text is its path byte for byte: the next one nearly always
  // lies just below it, and is then found from it without hashing its path.
  std::uint32_t anchor_node_ = PathNodes::kNone;
  std::string anchor_text_;
  // The leading bytes of the last path folded into a truncated size that
  // decide its ancestor at the tree depth, and that ancestor's size.
  std::string truncated_prefix_;
  std::uint64_t* truncated_prefix_slot_ = nullptr;
  // The directories of a walk that records listings, by number.
  std::vector<WalkDir> walk_dirs_;
  std::vector<Folded> folded_;
  std::uint32_t root_fold_ = kNoFold;  // the root's place in folded_
  bool root_node_spelled_ = false;     // the root's node has another spelling
};

template <class Children>
void ScanAggregator::record_listing(const ListingPlace& place, const Children& children,
                                    std::span<const LinkedChild> links) {
  const std::size_t count = children.size();
  if (count == 0) return;
  ChildList* list = listing_target(place, count);
  const std::size_t first = list == nullptr ? 0 : list->size();
  std::uint64_t file_bytes = 0;
  std::uint64_t dirs = 0;
  WalkDirId next_dir = place.first_child;
  for (std::size_t i = 0; i < count; ++i) {
    const auto child = children[i];
    const bool is_dir = child.fields.is_dir;
    const std::uint64_t size = is_dir ? 0 : child.fields.size;
    if (is_dir) {
      ++dirs;
      place_directory(place, next_dir++, child.name);
    } else {
      ++counters_.files_found;
      counters_.total_size += size;
      file_bytes += size;
      if (size >= kLargeFileThreshold) note_large_file(place.path, child.name, size);
    }
    if (list != nullptr) names_.append(*list, names_.entry(child.name, size, is_dir));
  }
  counters_.dirs_found += dirs;
  if (list != nullptr) {
    child_entry_count_ += count;
    for (const LinkedChild& linked : links)
      hard_links_.add((*list)[first + linked.index], linked.link);
    return;
  }
  if (file_bytes != 0) folded_size(place.dir) += file_bytes;
  FoldedCounts& folded = folded_counts(place.dir);
  folded.files += count - dirs;
  folded.dirs += dirs;
}

}  // namespace tessaly
