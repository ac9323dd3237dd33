#include "result/aggregator.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/clock.h"
#include "base/paths.h"
#include "base/utf8.h"

namespace tessaly {
namespace {

// Where the component `part`, yielded by PathComponents over `path`, ends in
// `path`.
std::size_t component_end(std::string_view path, std::string_view part) {
  const char* begin = path.data();
  if (part.data() >= begin && part.data() < begin + path.size()) {
    return static_cast<std::size_t>(part.data() - begin) + part.size();
  }
  return 1;  // the root component, yielded as a literal "/"
}

// truncate_to_depth, also telling through `decided` how many leading bytes of
// `path` determine the answer (0 when that cannot be told).
std::string ancestor_at_depth(std::string_view root, std::string_view path, std::uint64_t depth,
                              std::size_t* decided) {
  PathComponents root_components(root);
  PathComponents path_components(path);
  std::string_view root_part;
  std::string_view path_part;
  std::size_t end = 0;
  if (decided != nullptr) *decided = 0;
  while (root_components.next(root_part)) {
    if (!path_components.next(path_part) || path_part != root_part) return std::string(root);
    end = component_end(path, path_part);
  }
  std::string ancestor(root);
  for (std::uint64_t i = 0; i < depth && path_components.next(path_part); ++i) {
    append_path(ancestor, path_part);
    end = component_end(path, path_part);
  }
  if (decided != nullptr) *decided = end;
  return ancestor;
}

}  // namespace

std::string truncate_to_depth(std::string_view root, std::string_view path, std::uint64_t depth) {
  return ancestor_at_depth(root, path, depth, nullptr);
}

ScanAggregator::ScanAggregator(std::string_view root, std::uint64_t tree_depth)
    : root_(root), tree_depth_(tree_depth) {}

std::uint32_t ScanAggregator::children_node(std::string_view dir) {
  PathNodes& nodes = PathMapAccess::nodes(children_map_);
  bool exact = false;
  const std::uint32_t node = anchor_node_ == PathNodes::kNone
                                 ? nodes.intern(dir, &exact)
                                 : nodes.intern_near(dir, anchor_node_, anchor_text_, &exact);
  if (!exact) {
    anchor_node_ = PathNodes::kNone;
    anchor_text_.clear();
    return node;
  }
  anchor_node_ = node;
  anchor_text_.assign(dir);
  return node;
}

ChildList& ScanAggregator::list_for(std::string_view dir) {
  const std::uint32_t node = children_node(dir);
  return PathMapAccess::value_at(children_map_, node, dir, node == anchor_node_);
}

std::uint64_t& ScanAggregator::truncated_slot(std::string_view path) {
  // Paths that agree on the leading bytes that decided the last ancestor (and
  // continue with a new component there) share that ancestor.
  const std::size_t decided = truncated_prefix_.size();
  if (truncated_prefix_slot_ != nullptr && path.size() >= decided &&
      path.substr(0, decided) == truncated_prefix_ &&
      (path.size() == decided || path[decided] == '/' || truncated_prefix_.back() == '/')) {
    return *truncated_prefix_slot_;
  }
  std::size_t length = 0;
  const std::string ancestor = ancestor_at_depth(root_, path, tree_depth_, &length);
  std::uint64_t& slot = truncated_sizes_[ancestor];
  if (length == 0) {
    truncated_prefix_.clear();
    truncated_prefix_slot_ = nullptr;
  } else {
    truncated_prefix_.assign(path.substr(0, length));
    truncated_prefix_slot_ = &slot;
  }
  return slot;
}

void ScanAggregator::note_large_file(std::string_view parent, std::string_view raw_name,
                                     std::uint64_t size) {
  if (size < kLargeFileThreshold) return;
  large_files_.push_back(
      LargeFile{utf8_lossy(raw_name), utf8_lossy(join_path(parent, raw_name)), size});
}

void ScanAggregator::record_subtree_total(const SubtreeTotal& total) {
  note_large_file(total.parent, total.name, total.size);
  if (total.depth <= tree_depth_) {
    ChildList& list = list_for(std::string_view(total.parent));
    names_.append(list, names_.entry(total.name, total.size, false));
    ++child_entry_count_;
  } else {
    const std::string path = join_path(total.parent, total.name);
    if (total.size != 0) truncated_slot(path) += total.size;
    ++folded_counts_at(path).files;
  }
  counters_.total_size += total.size;
  ++counters_.files_found;
}

ScanAggregator::WalkDir& ScanAggregator::walk_dir(WalkDirId id) {
  if (id >= walk_dirs_.size()) {
    if (id >= PathNodes::kUnsure) throw std::length_error("too many directories in one scan");
    if (walk_dirs_.empty()) {
      // The root: its node in children_map's paths, spelled as given.
      walk_dirs_.resize(1);
      bool exact = false;
      walk_dirs_[0].node = PathMapAccess::nodes(children_map_).intern(root_, &exact);
      root_node_spelled_ = !exact;
      if (tree_depth_ == 0) walk_dirs_[0].fold = root_fold();
    }
    if (id >= walk_dirs_.size()) {
      walk_dirs_.resize(std::max<std::size_t>(id + 1, walk_dirs_.size() * 2));
    }
  }
  return walk_dirs_[id];
}

std::uint32_t ScanAggregator::root_fold() {
  if (root_fold_ == kNoFold) {
    folded_.push_back(Folded{PathNodes::kNone, true});
    root_fold_ = static_cast<std::uint32_t>(folded_.size() - 1);
  }
  return root_fold_;
}

ChildList* ScanAggregator::listing_target(const ListingPlace& place, std::size_t count) {
  if (place.depth > tree_depth_) return nullptr;
  const WalkDir& dir = walk_dir(place.dir);
  ChildList& list =
      place.dir == kWalkRoot && root_node_spelled_
          ? PathMapAccess::value_at(children_map_, dir.node, root_, false)
          : PathMapAccess::value_at(children_map_, dir.node, std::string_view(), true);
  names_.reserve(list, count);
  return &list;
}

void ScanAggregator::place_directory(const ListingPlace& place, WalkDirId id,
                                     std::string_view name) {
  walk_dir(id);  // first, as it may move the others
  const WalkDir& parent = walk_dir(place.dir);
  WalkDir child;
  if (place.depth <= tree_depth_) {
    // Listed as a child, so reached by compute_dir_sizes: its path is a node.
    child.node = PathMapAccess::nodes(children_map_).intern_child(parent.node, name);
    if (place.depth == tree_depth_) {
      folded_.push_back(Folded{child.node});
      child.fold = static_cast<std::uint32_t>(folded_.size() - 1);
    }
  } else {
    child.fold = parent.fold;
  }
  walk_dirs_[id] = child;
}

template <class Value, class Map>
Value& ScanAggregator::folded_value(WalkDirId dir, Value* Folded::*slot, Map& map) {
  std::uint32_t fold = walk_dir(dir).fold;
  // A directory the walk never placed lies under the root at least.
  if (fold == kNoFold) fold = root_fold();
  Folded& folded = folded_[fold];
  if (folded.*slot == nullptr) {
    folded.*slot =
        folded.is_root ? &map[root_] : &map[PathMapAccess::nodes(children_map_).text(folded.node)];
  }
  return *(folded.*slot);
}

std::uint64_t& ScanAggregator::folded_size(WalkDirId dir) {
  return folded_value(dir, &Folded::truncated, truncated_sizes_);
}

FoldedCounts& ScanAggregator::folded_counts(WalkDirId dir) {
  return folded_value(dir, &Folded::counted, folded_counts_);
}

FoldedCounts& ScanAggregator::folded_counts_at(std::string_view path) {
  return folded_counts_[truncate_to_depth(root_, path, tree_depth_)];
}

void ScanAggregator::record_unlisted_bytes(std::string_view dir, std::uint64_t bytes) {
  if (bytes == 0) return;
  counters_.total_size += bytes;
  truncated_slot(dir) += bytes;
}

void ScanAggregator::record_unlisted_counts(std::uint64_t files, std::uint64_t dirs) {
  counters_.files_found += files;
  counters_.dirs_found += dirs;
}

void ScanAggregator::forget_caches() {
  anchor_node_ = PathNodes::kNone;
  anchor_text_.clear();
  truncated_prefix_.clear();
  truncated_prefix_slot_ = nullptr;
  walk_dirs_.clear();
  folded_.clear();
  root_fold_ = kNoFold;
}

FinishedScan ScanAggregator::finish(const Clock& clock) {
  // Stable, so equal sizes keep their recording order.
  std::stable_sort(large_files_.begin(), large_files_.end(),
                   [](const LargeFile& a, const LargeFile& b) { return a.size > b.size; });

  // The walk's directory numbers are of no more use: their memory goes
  // before the directory sizes take theirs.
  std::vector<WalkDir>().swap(walk_dirs_);
  std::vector<Folded>().swap(folded_);
  PathMapAccess::nodes(children_map_).shrink_to_fit();

  FinishedScan finished;
  auto result = std::make_shared<ScanResult>();
  result->large_files = std::move(large_files_);
  result->names = std::move(names_);
  result->children_map = std::move(children_map_);
  result->truncated_sizes = std::move(truncated_sizes_);
  result->folded_counts = std::move(folded_counts_);
  hard_links_.seal();
  result->hard_links = std::move(hard_links_);
  result->files_found = counters_.files_found;
  result->dirs_found = counters_.dirs_found;
  result->total_size = counters_.total_size;
  result->tree_depth = tree_depth_;

  const Instant started = clock.now();
  result->root = utf8_lossy(root_);
  result->root_path = root_;
  // Each directory reached is a listed one or a child of one, spelled the
  // same: dir_sizes keys them by children_map's nodes.
  compute_dir_sizes(result->root_path, result->children_map, result->truncated_sizes,
                    result->dir_sizes);
  result->compute_dir_sizes_ms = whole_millis_between(started, clock.now());

  finished.dir_sizes_count = result->dir_sizes.size();
  finished.child_entry_count = child_entry_count_;
  finished.result = std::move(result);

  large_files_.clear();
  children_map_.clear();
  truncated_sizes_.clear();
  folded_counts_.clear();
  hard_links_ = HardLinkTable();
  forget_caches();
  return finished;
}

}  // namespace tessaly
