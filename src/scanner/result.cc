#include "scanner/result.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "scanner/clock.h"
#include "scanner/utf8.h"

namespace tessaly {
namespace {

constexpr std::array<std::string_view, 5> kBundleSuffixes = {".app", ".framework", ".bundle",
                                                             ".plugin", ".kext"};

constexpr std::size_t kNameBlockBytes = 64 * 1024;
constexpr std::size_t kMaxNameBytes = std::size_t{1} << 30;

// The separator compute_dir_sizes puts between a directory's text and a
// child's name.
std::string_view separator_after(std::string_view dir) {
  if (dir.empty()) return "/";
  return dir.back() == '/' ? std::string_view() : std::string_view("/");
}

}  // namespace

bool is_bundle_name(std::string_view name) {
  if (name.size() < 4) return false;
  return std::any_of(kBundleSuffixes.begin(), kBundleSuffixes.end(),
                     [name](std::string_view suffix) { return name.ends_with(suffix); });
}

std::string truncate_to_depth(std::string_view root, std::string_view path, std::uint64_t depth) {
  PathComponents root_components(root);
  PathComponents path_components(path);
  std::string_view root_part;
  std::string_view path_part;
  while (root_components.next(root_part)) {
    if (!path_components.next(path_part) || path_part != root_part) return std::string(root);
  }
  std::string ancestor(root);
  for (std::uint64_t i = 0; i < depth && path_components.next(path_part); ++i) {
    append_path(ancestor, path_part);
  }
  return ancestor;
}

NameStore::NameStore(NameStore&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      left_(std::exchange(other.left_, 0)),
      capacity_bytes_(std::exchange(other.capacity_bytes_, 0)) {
  other.blocks_.clear();
}

NameStore& NameStore::operator=(NameStore&& other) noexcept {
  if (this != &other) {
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    cursor_ = std::exchange(other.cursor_, nullptr);
    left_ = std::exchange(other.left_, 0);
    capacity_bytes_ = std::exchange(other.capacity_bytes_, 0);
  }
  return *this;
}

NameStore::~NameStore() = default;

char* NameStore::allocate(std::size_t bytes) {
  if (bytes > left_) {
    // A name too large to share a block gets one of its own, leaving the
    // current block open for the names after it.
    if (bytes > kNameBlockBytes / 4) {
      blocks_.push_back(std::make_unique_for_overwrite<char[]>(bytes));
      capacity_bytes_ += bytes;
      return blocks_.back().get();
    }
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kNameBlockBytes));
    capacity_bytes_ += kNameBlockBytes;
    cursor_ = blocks_.back().get();
    left_ = kNameBlockBytes;
  }
  char* out = cursor_;
  cursor_ += bytes;
  left_ -= bytes;
  return out;
}

ChildEntry NameStore::entry(std::string_view raw_name, std::uint64_t size, bool is_dir) {
  if (raw_name.size() >= kMaxNameBytes) throw std::length_error("name too long for a ChildEntry");
  if (raw_name.empty()) return ChildEntry(nullptr, 0, 0, size, is_dir);
  if (is_valid_utf8(raw_name)) {
    char* data = allocate(raw_name.size());
    std::memcpy(data, raw_name.data(), raw_name.size());
    return ChildEntry(data, static_cast<std::uint32_t>(raw_name.size()), 0, size, is_dir);
  }
  const std::string text = utf8_lossy(raw_name);
  char* data = allocate(text.size() + raw_name.size());
  std::memcpy(data, text.data(), text.size());
  std::memcpy(data + text.size(), raw_name.data(), raw_name.size());
  return ChildEntry(data, static_cast<std::uint32_t>(text.size()),
                    static_cast<std::uint32_t>(raw_name.size()), size, is_dir);
}

const std::vector<ChildEntry>* ScanResult::children_of(std::string_view dir) const {
  const auto it = children_map.find(dir);
  return it == children_map.end() ? nullptr : &it->second;
}

std::uint64_t ScanResult::truncated_size(std::string_view dir) const {
  const auto it = truncated_sizes.find(dir);
  return it == truncated_sizes.end() ? 0 : it->second;
}

const std::uint64_t* ScanResult::dir_size(std::string_view dir) const {
  const auto it = dir_sizes.find(dir);
  return it == dir_sizes.end() ? nullptr : &it->second;
}

std::string child_path(std::string_view dir, std::string_view raw_name) {
  const std::string_view separator = separator_after(dir);
  std::string path;
  path.reserve(dir.size() + separator.size() + raw_name.size());
  path.append(dir).append(separator).append(raw_name);
  return path;
}

std::uint64_t compute_dir_sizes(std::string_view dir, const ChildrenMap& children_map,
                                const TruncatedSizes& truncated_sizes, DirSizes& dir_sizes) {
  // One frame per directory on the current path from `dir`; `path` holds the
  // text of the innermost one, and each frame remembers where its text ends.
  struct Frame {
    const std::vector<ChildEntry>* children;
    std::size_t next_child;
    std::size_t path_length;
    std::uint64_t total;
  };
  std::string path(dir);
  std::vector<Frame> stack;

  const auto enter = [&] {
    const auto listed = children_map.find(std::string_view(path));
    std::uint64_t own = 0;
    if (!truncated_sizes.empty()) {
      const auto truncated = truncated_sizes.find(std::string_view(path));
      if (truncated != truncated_sizes.end()) own = truncated->second;
    }
    stack.push_back(
        Frame{listed == children_map.end() ? nullptr : &listed->second, 0, path.size(), own});
  };

  enter();
  while (true) {
    Frame& frame = stack.back();
    if (frame.children != nullptr && frame.next_child < frame.children->size()) {
      const ChildEntry& child = (*frame.children)[frame.next_child++];
      if (!child.is_dir()) {
        frame.total += child.size();
        continue;
      }
      path.resize(frame.path_length);
      path.append(separator_after(path)).append(child.raw_name());
      enter();
      continue;
    }
    path.resize(frame.path_length);
    const std::uint64_t total = frame.total;
    dir_sizes.insert_or_assign(path, total);
    stack.pop_back();
    if (stack.empty()) return total;
    stack.back().total += total;
  }
}

ScanAggregator::ScanAggregator(std::string_view root, std::uint64_t tree_depth)
    : root_(root), tree_depth_(tree_depth) {}

std::vector<ChildEntry>& ScanAggregator::list_for(std::string_view dir) {
  auto it = children_map_.find(dir);
  if (it == children_map_.end()) it = children_map_.try_emplace(std::string(dir)).first;
  return it->second;
}

std::vector<ChildEntry>& ScanAggregator::list_for(
    const std::shared_ptr<const std::string>& parent) {
  if (parent != list_parent_ || list_ == nullptr) {
    // A new parent object is nearly always a directory met for the first
    // time, so insert straight away rather than look up first.
    list_ = &children_map_.try_emplace(*parent).first->second;
    list_parent_ = parent;
  }
  return *list_;
}

std::uint64_t& ScanAggregator::truncated_slot_for(
    const std::shared_ptr<const std::string>& parent) {
  if (parent != truncated_parent_ || truncated_slot_ == nullptr) {
    truncated_slot_ = &truncated_sizes_[truncate_to_depth(root_, *parent, tree_depth_)];
    truncated_parent_ = parent;
  }
  return *truncated_slot_;
}

void ScanAggregator::add_truncated(std::string_view path, std::uint64_t size) {
  truncated_sizes_[truncate_to_depth(root_, path, tree_depth_)] += size;
}

void ScanAggregator::note_large_file(std::string_view parent, std::string_view raw_name,
                                     std::uint64_t size) {
  if (size < kLargeFileThreshold) return;
  large_files_.push_back(
      LargeFile{utf8_lossy(raw_name), utf8_lossy(join_path(parent, raw_name)), size});
}

void ScanAggregator::record_directory(const std::shared_ptr<const std::string>& parent,
                                      std::string_view name, std::uint64_t depth) {
  ++counters_.dirs_found;
  if (depth <= tree_depth_) {
    list_for(parent).push_back(names_.entry(name, 0, true));
    ++child_entry_count_;
  }
}

void ScanAggregator::record_file(const std::shared_ptr<const std::string>& parent,
                                 std::string_view name, std::uint64_t depth, std::uint64_t size) {
  note_large_file(*parent, name, size);
  counters_.total_size += size;
  ++counters_.files_found;
  if (depth <= tree_depth_) {
    list_for(parent).push_back(names_.entry(name, size, false));
    ++child_entry_count_;
  } else if (size != 0) {
    truncated_slot_for(parent) += size;
  }
}

void ScanAggregator::record_subtree_total(const SubtreeTotal& total) {
  note_large_file(total.parent, total.name, total.size);
  if (total.depth <= tree_depth_) {
    list_for(std::string_view(total.parent)).push_back(names_.entry(total.name, total.size, false));
    ++child_entry_count_;
  } else if (total.size != 0) {
    add_truncated(join_path(total.parent, total.name), total.size);
  }
  counters_.total_size += total.size;
  ++counters_.files_found;
}

void ScanAggregator::record_listing(std::string_view dir, const ChildListing& children,
                                    std::uint64_t depth) {
  if (children.empty()) return;
  std::uint64_t file_bytes = 0;
  for (std::size_t i = 0; i < children.size(); ++i) {
    const ChildListing::Item child = children[i];
    if (child.is_dir) {
      ++counters_.dirs_found;
      continue;
    }
    ++counters_.files_found;
    counters_.total_size += child.size;
    file_bytes += child.size;
    note_large_file(dir, child.name, child.size);
  }
  if (depth <= tree_depth_) {
    std::vector<ChildEntry>& list = list_for(dir);
    list.reserve(list.size() + children.size());
    for (std::size_t i = 0; i < children.size(); ++i) {
      const ChildListing::Item child = children[i];
      list.push_back(names_.entry(child.name, child.size, child.is_dir));
    }
    child_entry_count_ += children.size();
  } else if (file_bytes != 0) {
    add_truncated(dir, file_bytes);
  }
}

FinishedScan ScanAggregator::finish() {
  // Stable, so equal sizes keep their recording order.
  std::stable_sort(large_files_.begin(), large_files_.end(),
                   [](const LargeFile& a, const LargeFile& b) { return a.size > b.size; });

  FinishedScan finished;
  auto result = std::make_shared<ScanResult>();
  result->large_files = std::move(large_files_);
  result->names = std::move(names_);
  result->children_map = std::move(children_map_);
  result->truncated_sizes = std::move(truncated_sizes_);
  result->files_found = counters_.files_found;
  result->dirs_found = counters_.dirs_found;
  result->total_size = counters_.total_size;

  const Instant started = monotonic_now();
  finished.compute_started = started;
  result->root = utf8_lossy(root_);
  result->root_path = root_;
  result->dir_sizes.reserve(result->children_map.size() + 1);
  compute_dir_sizes(result->root_path, result->children_map, result->truncated_sizes,
                    result->dir_sizes);
  result->compute_dir_sizes_ms = whole_millis_between(started, monotonic_now());

  finished.dir_sizes_count = result->dir_sizes.size();
  finished.child_entry_count = child_entry_count_;
  finished.result = std::move(result);

  large_files_.clear();
  children_map_.clear();
  truncated_sizes_.clear();
  list_parent_.reset();
  list_ = nullptr;
  truncated_parent_.reset();
  truncated_slot_ = nullptr;
  return finished;
}

}  // namespace tessaly
