// The aggregation that builds a scan's result from the entries of a walk, on
// the engine's collecting thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"
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

  // The blocks a walk's listings write their records to (see
  // result/child_listing.h): the result takes them over, so the records of
  // listings started on them are kept as they are, never copied.
  RecordBlocks& records() { return records_; }

  // A listing handed over by a walk (result/walk_listing.h). Every file child
  // counts (large-file rule included, with place.path as its directory) and
  // every directory child counts in dirs_found, at any depth; directory
  // children are placed under the numbers place.first_child onwards. When
  // place.depth <= tree depth all children are appended to the directory's
  // list (the listing must then be listed(); records of other RecordBlocks
  // than records() are copied); otherwise the files' summed size, when not
  // 0, goes to the truncated size of the directory's ancestor at the tree
  // depth. The directory was placed by its parent's listing (the root needs
  // none); no path is formed for it. The identities of the listing's
  // multiply-linked files join the result's hard-link table with the entries
  // that are listed.
  void record_listing(const ListingPlace& place, const ChildListing& children);

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
  // The node of the directory `dir` (a raw path the walk listed, or for an
  // item standing as one, the directory holding it), made as a list of its
  // own when the root's tree has none.
  std::uint32_t node_at(std::string_view dir);
  // The folded record of the directory at the tree depth above `path` (the
  // deepest the result lists on the way when it lists none there).
  std::uint32_t fold_at(std::string_view path);
  ResultAccess::Fold& fold(std::uint32_t index) { return ResultAccess::fold(table_, index); }
  void note_large_file(std::string_view parent, std::string_view raw_name, std::uint64_t size);

  // A directory numbered by the walk: its node, or (kFolded set) the folded
  // record of the directory at the tree depth that takes what is folded
  // below it. 4 bytes: the walk keeps one per directory until it ends.
  static constexpr std::uint32_t kFolded = 0x8000'0000U;
  static constexpr std::uint32_t kUnplaced = DirTable::kNoNode;

  std::uint32_t& walk_dir(WalkDirId id);
  // The node whose list a listing's children join (room for them reserved),
  // or nullptr when they are folded.
  ResultAccess::Node* listing_target(const ListingPlace& place, std::size_t count);
  // Places the directory numbered `id`, entry `slot` of its parent's list
  // when that is listed; its node, or kUnplaced when it is folded.
  std::uint32_t place_directory(const ListingPlace& place, WalkDirId id, std::uint32_t slot);
  // The folded record that takes what is folded below the directory `dir`
  // (the root's for a directory the walk never placed).
  std::uint32_t folded_record(WalkDirId dir);

  std::string root_;
  std::uint64_t tree_depth_;
  ScanCounters counters_;
  std::uint64_t child_entry_count_ = 0;
  std::vector<LargeFile> large_files_;
  NameStore names_;
  RecordBlocks records_;
  DirTable table_;
  HardLinkTable hard_links_;

  // The leading bytes of the last path folded by fold_at that decide its
  // directory at the tree depth, and that directory's record.
  std::string fold_prefix_;
  std::uint32_t fold_prefix_record_ = DirTable::kNoNode;
  // Folded records of directories at the tree depth not placed yet, by path.
  std::map<std::string, std::uint32_t, std::less<>> pending_folds_;
  // The directories of a walk that records listings, by number.
  std::vector<std::uint32_t> walk_dirs_;
};

}  // namespace tessaly
