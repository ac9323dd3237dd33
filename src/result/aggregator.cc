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
    : root_(root), tree_depth_(tree_depth), records_(tree_depth) {
  ResultAccess::add_root(table_, root_);
}

std::uint32_t ScanAggregator::node_at(std::string_view dir) {
  const std::uint32_t found = ResultAccess::find_node(table_, dir);
  return found != DirTable::kNoNode ? found : ResultAccess::add_root(table_, dir);
}

std::uint32_t ScanAggregator::fold_at(std::string_view path) {
  // Paths that agree on the leading bytes that decided the last directory
  // (and continue with a new component there) share it.
  const std::size_t decided = fold_prefix_.size();
  if (fold_prefix_record_ != DirTable::kNoNode && path.size() >= decided &&
      path.substr(0, decided) == fold_prefix_ &&
      (path.size() == decided || path[decided] == '/' || fold_prefix_.back() == '/')) {
    return fold_prefix_record_;
  }
  fold_prefix_.clear();
  fold_prefix_record_ = DirTable::kNoNode;
  const std::uint32_t root = ResultAccess::root(table_);
  PathComponents root_parts(root_);
  PathComponents parts(path);
  std::string_view root_part;
  std::string_view part;
  while (root_parts.next(root_part)) {
    if (!parts.next(part) || part != root_part) return ResultAccess::fold_of(table_, root);
  }
  std::uint32_t node = root;
  std::size_t end = root_.empty() ? 0 : component_end(path, part);
  for (std::uint64_t depth = 0; depth < tree_depth_ && parts.next(part); ++depth) {
    std::uint32_t found = DirTable::kNoNode;
    for (const ChildEntry& entry : ResultAccess::node(std::as_const(table_), node).children) {
      if (entry.is_dir() && entry.raw_name() == part) {
        found = ResultAccess::node_of(entry);
        break;
      }
    }
    if (found == DirTable::kNoNode) {
      // Its directory at the tree depth is not placed yet: the record waits
      // under its path until the walk is over.
      const auto [pending, added] = pending_folds_.try_emplace(
          truncate_to_depth(root_, path, tree_depth_), DirTable::kNoNode);
      if (added) {
        ResultAccess::folds(table_).emplace_back();
        pending->second = static_cast<std::uint32_t>(ResultAccess::folds(table_).size() - 1);
      }
      return pending->second;
    }
    node = found;
    end = component_end(path, part);
  }
  const std::uint32_t record = ResultAccess::fold_of(table_, node);
  if (end != 0) {
    fold_prefix_.assign(path.substr(0, end));
    fold_prefix_record_ = record;
  }
  return record;
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
    ResultAccess::Node& node = ResultAccess::node(table_, node_at(total.parent));
    names_.append(node.children, names_.entry(total.name, total.size, false));
    node.size += total.size;
    ++child_entry_count_;
  } else {
    ResultAccess::Fold& folded = fold(fold_at(join_path(total.parent, total.name)));
    if (total.size != 0) {
      folded.truncated += total.size;
      folded.has_truncated = true;
    }
    ++folded.counts.files;
    folded.has_counts = true;
  }
  counters_.total_size += total.size;
  ++counters_.files_found;
}

std::uint32_t& ScanAggregator::walk_dir(WalkDirId id) {
  if (id >= walk_dirs_.size()) {
    if (id >= ResultAccess::kMaxNodes) throw std::length_error("too many directories in one scan");
    if (walk_dirs_.empty()) {
      walk_dirs_.resize(1);
      walk_dirs_[0] = ResultAccess::root(table_);
    }
    if (id >= walk_dirs_.size()) {
      walk_dirs_.resize(std::max<std::size_t>(id + 1, walk_dirs_.size() * 2), kUnplaced);
    }
  }
  return walk_dirs_[id];
}

ResultAccess::Node* ScanAggregator::listing_target(const ListingPlace& place, std::size_t count) {
  if (place.depth > tree_depth_) return nullptr;
  const std::uint32_t node = walk_dir(place.dir);
  // A directory never placed has no list: what it holds folds into the root.
  if (node == kUnplaced || (node & kFolded) != 0) return nullptr;
  ResultAccess::Node& target = ResultAccess::node(table_, node);
  names_.reserve(target.children, count);
  return &target;
}

std::uint32_t ScanAggregator::place_directory(const ListingPlace& place, WalkDirId id,
                                              std::uint32_t slot) {
  walk_dir(id);  // first, as it may move the others
  const std::uint32_t parent = walk_dir(place.dir);
  std::uint32_t placed = kUnplaced;
  std::uint32_t node = kUnplaced;
  if (place.depth <= tree_depth_ && parent != kUnplaced && (parent & kFolded) == 0) {
    // Listed as a child: a node of its own.
    ResultAccess::Node child;
    child.parent = parent;
    child.slot = slot;
    node = ResultAccess::add_node(table_, child);
    placed = node;
  } else {
    placed = kFolded | folded_record(place.dir);
  }
  walk_dirs_[id] = placed;
  return node;
}

std::uint32_t ScanAggregator::folded_record(WalkDirId dir) {
  const std::uint32_t placed = walk_dir(dir);
  if (placed == kUnplaced) return ResultAccess::fold_of(table_, ResultAccess::root(table_));
  if ((placed & kFolded) != 0) return placed & ~kFolded;
  return ResultAccess::fold_of(table_, placed);
}

void ScanAggregator::record_listing(const ListingPlace& place, const ChildListing& children) {
  const std::size_t count = children.size();
  if (count == 0) return;
  const std::size_t dirs = children.dirs();
  counters_.files_found += count - dirs;
  counters_.dirs_found += dirs;
  counters_.total_size += children.file_bytes();
  for (const LargeChild& large : children.large_files()) {
    note_large_file(place.path, large.raw_name, large.size);
  }
  ResultAccess::Node* target = listing_target(place, count);
  if (target == nullptr) {
    for (std::size_t i = 0; i < dirs; ++i) place_directory(place, place.first_child + i, 0);
    ResultAccess::Fold& folded = fold(folded_record(place.dir));
    if (children.file_bytes() != 0) {
      folded.truncated += children.file_bytes();
      folded.has_truncated = true;
    }
    folded.counts.files += count - dirs;
    folded.counts.dirs += dirs;
    folded.has_counts = true;
    return;
  }
  if (!children.listed()) throw std::logic_error("a listed directory's listing without names");
  // The files' bytes join the directory's size here, so that finishing need
  // not read every entry again.
  target->size += children.file_bytes();
  ChildList* list = &target->children;
  const std::size_t first = list->size();
  const std::span<const ChildEntry> entries = children.entries();
  if (children.records() == &records_) {
    // The records are this result's: each directory gets its node written in.
    ResultAccess::append_reserved(*list, entries);
    WalkDirId next_dir = place.first_child;
    for (std::size_t i = 0, placed = 0; placed < dirs; ++i) {
      if (!entries[i].is_dir()) continue;
      ++placed;
      const std::uint32_t node =
          place_directory(place, next_dir++, static_cast<std::uint32_t>(first + i));
      ResultAccess::set_node(entries[i], node);
    }
  } else {
    // Records of another store: copied.
    WalkDirId next_dir = place.first_child;
    for (std::size_t i = 0; i < count; ++i) {
      const ChildEntry& entry = entries[i];
      if (entry.is_dir()) {
        const std::uint32_t node =
            place_directory(place, next_dir++, static_cast<std::uint32_t>(first + i));
        names_.append(*list, ResultAccess::directory_entry(names_, entry.raw_name(), node));
      } else {
        names_.append(*list, names_.entry(entry.raw_name(), entry.size(), false));
      }
    }
  }
  child_entry_count_ += count;
  // Each stretch of records starts a run of the links' keys, so that sealing
  // finds the runs apart and only puts them in order.
  const std::span<const std::uint32_t> breaks = children.breaks();
  std::size_t next_break = 0;
  bool new_run = true;
  for (const LinkedChild& linked : children.links()) {
    for (; next_break < breaks.size() && breaks[next_break] <= linked.index; ++next_break)
      new_run = true;
    ResultAccess::add_link(hard_links_, (*list)[first + linked.index], linked.link, new_run);
    new_run = false;
  }
}

void ScanAggregator::record_unlisted_bytes(std::string_view dir, std::uint64_t bytes) {
  if (bytes == 0) return;
  counters_.total_size += bytes;
  ResultAccess::Fold& folded = fold(fold_at(dir));
  folded.truncated += bytes;
  folded.has_truncated = true;
}

void ScanAggregator::record_unlisted_counts(std::uint64_t files, std::uint64_t dirs) {
  counters_.files_found += files;
  counters_.dirs_found += dirs;
}

FinishedScan ScanAggregator::finish(const Clock& clock) {
  // Stable, so equal sizes keep their recording order.
  std::stable_sort(large_files_.begin(), large_files_.end(),
                   [](const LargeFile& a, const LargeFile& b) { return a.size > b.size; });

  // The walk's directory numbers are of no more use.
  std::vector<std::uint32_t>().swap(walk_dirs_);
  fold_prefix_.clear();
  fold_prefix_record_ = DirTable::kNoNode;

  FinishedScan finished;
  auto result = std::make_shared<ScanResult>();
  result->large_files = std::move(large_files_);
  std::size_t record_bytes = 0;
  std::vector<std::shared_ptr<char[]>> record_blocks = records_.take(record_bytes);
  ResultAccess::adopt_blocks(names_, std::move(record_blocks), record_bytes);
  result->names = std::move(names_);
  hard_links_.seal();
  result->hard_links = std::move(hard_links_);
  result->files_found = counters_.files_found;
  result->dirs_found = counters_.dirs_found;
  result->total_size = counters_.total_size;
  result->tree_depth = tree_depth_;
  result->root = utf8_lossy(root_);
  result->root_path = root_;

  // Records folded under a path before its directory was placed join it
  // (or, for a path the root's tree does not hold, a node of that text).
  for (const auto& [path, index] : pending_folds_) {
    std::uint32_t node = ResultAccess::find_node(table_, path);
    if (node == DirTable::kNoNode) node = ResultAccess::add_root(table_, path);
    const std::uint32_t record = ResultAccess::fold_of(table_, node);
    ResultAccess::Fold& into = fold(record);
    ResultAccess::Fold& from = fold(index);
    into.truncated += from.truncated;
    into.counts.files += from.counts.files;
    into.counts.dirs += from.counts.dirs;
    into.has_truncated = into.has_truncated || from.has_truncated;
    into.has_counts = into.has_counts || from.has_counts;
    from = ResultAccess::Fold();
  }
  pending_folds_.clear();

  const Instant started = clock.now();
  compute_dir_sizes(table_, true);
  ResultAccess::set_table(*result, std::make_shared<const DirTable>(std::move(table_)));
  result->compute_dir_sizes_ms = whole_millis_between(started, clock.now());

  finished.dir_sizes_count = result->dir_sizes.size();
  finished.child_entry_count = child_entry_count_;
  finished.result = std::move(result);

  large_files_.clear();
  table_ = DirTable();
  hard_links_ = HardLinkTable();
  return finished;
}

}  // namespace tessaly
