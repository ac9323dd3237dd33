// The result of one scan and the aggregation that builds it from a walk.
//
// Names that are not valid UTF-8. Paths and names on disk are raw bytes, while
// the names a result shows are UTF-8 text in which every invalid sequence is
// replaced by U+FFFD. Everything that locates a directory works on the raw
// bytes, so such a directory is still found and sized:
//   - `children_map` and `truncated_sizes` are keyed by the walk's own raw
//     paths;
//   - a `ChildEntry` shows `name()` as text and keeps `raw_name()`, its bytes on
//     disk, whenever they differ from the text;
//   - `compute_dir_sizes` rebuilds each child directory's path from the raw
//     root and the raw names, so `dir_sizes` is keyed by raw paths too (the
//     root's key is `root_path`). Two directories whose names differ only in
//     invalid bytes keep separate entries with their real sizes.
// Displayed text (`root`, `ChildEntry::name()`, `LargeFile`'s name and path)
// is always UTF-8. For a tree whose names are all valid UTF-8, raw bytes and
// text coincide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scanner/clock.h"
#include "scanner/paths.h"
#include "scanner/progress.h"

namespace tessaly {

// Files and subtree totals of at least this many bytes (500 MiB) are large.
inline constexpr std::uint64_t kLargeFileThreshold = 524'288'000;

// True when `name` ends with ".app", ".framework", ".bundle", ".plugin" or
// ".kext", byte for byte and case-sensitively. Replacing invalid UTF-8 never
// changes the answer, so raw names and their text agree.
bool is_bundle_name(std::string_view name);

// `root` followed by the first `depth` components of `path` below it, or all of
// them when there are fewer; `root` itself when `path` does not lie under
// `root` (component-wise).
std::string truncate_to_depth(std::string_view root, std::string_view path, std::uint64_t depth);

// One child of a directory: a file, a directory, or a directory that stands as
// one item (a bundle or a mounted system volume). 24 bytes; the name bytes
// live in the NameStore that made the entry, which the result owns.
class ChildEntry {
 public:
  // The name as UTF-8 text.
  std::string_view name() const { return {data_, name_length_}; }
  // The name's bytes on disk.
  std::string_view raw_name() const {
    return raw_length_ == 0 ? name() : std::string_view(data_ + name_length_, raw_length_);
  }
  bool has_distinct_raw_name() const { return raw_length_ != 0; }
  // Bytes: a file's size, a bundle's total, 0 for a directory.
  std::uint64_t size() const { return size_; }
  // True for a directory; false for a file and for a subtree total.
  bool is_dir() const { return is_dir_ != 0; }

  friend bool operator==(const ChildEntry& a, const ChildEntry& b) {
    return a.size_ == b.size_ && a.is_dir_ == b.is_dir_ && a.name() == b.name() &&
           a.raw_name() == b.raw_name();
  }

 private:
  friend class NameStore;
  ChildEntry(const char* data, std::uint32_t name_length, std::uint32_t raw_length,
             std::uint64_t size, bool is_dir)
      : data_(data),
        size_(size),
        name_length_(name_length),
        raw_length_(raw_length),
        is_dir_(is_dir ? 1 : 0) {}

  const char* data_;
  std::uint64_t size_;
  std::uint32_t name_length_;
  std::uint32_t raw_length_ : 31;
  std::uint32_t is_dir_ : 1;
};

// Append-only storage for the names of ChildEntry records: blocks that never
// move, so entries stay valid when the store itself is moved.
class NameStore {
 public:
  NameStore() = default;
  NameStore(NameStore&& other) noexcept;
  NameStore& operator=(NameStore&& other) noexcept;
  NameStore(const NameStore&) = delete;
  NameStore& operator=(const NameStore&) = delete;
  ~NameStore();

  // An entry for `raw_name`, storing its text (and the raw bytes when they
  // differ). Names of a gigabyte or more are refused with std::length_error.
  ChildEntry entry(std::string_view raw_name, std::uint64_t size, bool is_dir);

  // Bytes held in blocks.
  std::size_t capacity_bytes() const { return capacity_bytes_; }

 private:
  char* allocate(std::size_t bytes);

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t capacity_bytes_ = 0;
};

struct LargeFile {
  std::string name;  // text
  std::string path;  // the parent joined with the name, as text
  std::uint64_t size = 0;

  friend bool operator==(const LargeFile&, const LargeFile&) = default;
};

// A directory that stands in the result as one item: a bundle, or a mounted
// system volume sized by its space used.
struct SubtreeTotal {
  std::string parent;  // raw path of the containing directory
  std::string name;    // raw name bytes; the result shows them as text
  std::uint64_t size = 0;
  std::uint64_t depth = 0;  // below the root, which is 0

  friend bool operator==(const SubtreeTotal&, const SubtreeTotal&) = default;
};

// Byte-wise string hash that also accepts string_view lookups.
struct BytesHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

using ChildrenMap = std::unordered_map<std::string, std::vector<ChildEntry>, PathHash, PathEqual>;
using TruncatedSizes = std::unordered_map<std::string, std::uint64_t, PathHash, PathEqual>;
using DirSizes = std::unordered_map<std::string, std::uint64_t, BytesHash, std::equal_to<>>;

// The finished result of one scan. Immutable once assembled; shared between the
// caller and the scan cache. Movable but not copyable (the entries point into
// `names`).
struct ScanResult {
  // The root as handed to the engine, as text.
  std::string root;
  // The root's raw bytes: the key of the root's own entry in `dir_sizes`.
  std::string root_path;
  // Files and subtree totals of at least kLargeFileThreshold bytes, largest
  // first.
  std::vector<LargeFile> large_files;
  // Storage of the names of every ChildEntry below.
  NameStore names;
  // Children of every directory whose children lie no deeper than the tree
  // depth, in recording order; keyed by the walk's raw directory paths.
  ChildrenMap children_map;
  // For directories exactly tree-depth levels below the root: the summed size
  // of everything below them that children_map does not list. Absent means 0.
  TruncatedSizes truncated_sizes;
  // Total size of the root and of every directory reached through
  // children_map, keyed by the raw paths compute_dir_sizes builds.
  DirSizes dir_sizes;
  std::uint64_t files_found = 0;
  std::uint64_t dirs_found = 0;
  std::uint64_t total_size = 0;
  std::uint64_t compute_dir_sizes_ms = 0;

  // The children recorded for `dir`, or nullptr.
  const std::vector<ChildEntry>* children_of(std::string_view dir) const;
  // truncated_sizes' value for `dir`, 0 when absent.
  std::uint64_t truncated_size(std::string_view dir) const;
  // dir_sizes' value for `dir` (looked up byte for byte), or nullptr.
  const std::uint64_t* dir_size(std::string_view dir) const;
};

// The path compute_dir_sizes gives a child of `dir`: `dir`, a separator ("/",
// none when `dir` ends with "/", "/" when `dir` is empty) and the child's raw
// name.
std::string child_path(std::string_view dir, std::string_view raw_name);

// The total size of `dir`: its value in truncated_sizes plus the sizes of its
// children in children_map, directory children counted by their own totals.
// Fills dir_sizes with `dir` and every directory reached below it (an existing
// entry is overwritten). Iterative: the depth of the tree does not matter.
std::uint64_t compute_dir_sizes(std::string_view dir, const ChildrenMap& children_map,
                                const TruncatedSizes& truncated_sizes, DirSizes& dir_sizes);

// One directory's kept children in read order, as a bulk reader hands them to
// the collecting thread: names packed in one buffer.
class ChildListing {
 public:
  struct Item {
    std::string_view name;  // raw bytes
    std::uint64_t size;
    bool is_dir;
  };

  void add_file(std::string_view raw_name, std::uint64_t size) { add(raw_name, size, false); }
  void add_directory(std::string_view raw_name) { add(raw_name, 0, true); }
  void reserve(std::size_t entries, std::size_t name_bytes) {
    slots_.reserve(entries);
    names_.reserve(name_bytes);
  }

  std::size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  Item operator[](std::size_t i) const {
    const Slot& slot = slots_[i];
    return Item{std::string_view(names_).substr(slot.offset, slot.length), slot.size, slot.is_dir};
  }

 private:
  struct Slot {
    std::size_t offset;
    std::uint64_t size;
    std::size_t length;
    bool is_dir;
  };

  void add(std::string_view raw_name, std::uint64_t size, bool is_dir) {
    slots_.push_back(Slot{names_.size(), size, raw_name.size(), is_dir});
    names_.append(raw_name);
  }

  std::string names_;
  std::vector<Slot> slots_;
};

// What finishing a scan hands back: the result and the two numbers of the
// post-walk log line.
struct FinishedScan {
  std::shared_ptr<const ScanResult> result;
  std::uint64_t dir_sizes_count = 0;    // entries in dir_sizes
  std::uint64_t child_entry_count = 0;  // ChildEntry records over all of children_map
  Instant compute_started;              // when the timed compute_dir_sizes step began
};

// The aggregation state of one scan. Owned and used by the engine's collecting
// thread only.
class ScanAggregator {
 public:
  // `root` is the root exactly as handed to the engine.
  ScanAggregator(std::string_view root, std::uint64_t tree_depth);
  ScanAggregator(const ScanAggregator&) = delete;
  ScanAggregator& operator=(const ScanAggregator&) = delete;

  // Recording rules for a walk that hands over one entry at a time. `parent` is
  // the raw path of the containing directory, never null; all children of one
  // directory share one object, and consecutive entries with the same object
  // reuse the lookups of the previous one. `name` is the raw name, depth >= 1.

  // dirs_found += 1; listed as a directory child of `parent` when depth <=
  // tree depth.
  void record_directory(const std::shared_ptr<const std::string>& parent, std::string_view name,
                        std::uint64_t depth);
  // Large-file rule, files_found += 1, total_size += size; listed under
  // `parent` when depth <= tree depth, else added to the truncated size of
  // its ancestor at the tree depth.
  void record_file(const std::shared_ptr<const std::string>& parent, std::string_view name,
                   std::uint64_t depth, std::uint64_t size);
  // A bundle or volume total, counted and placed like a file.
  void record_subtree_total(const SubtreeTotal& total);

  // A whole directory listing of a bulk walk; `depth` is the children's depth.
  // Every file child counts (large-file rule included) and every directory
  // child counts in dirs_found, at any depth. When depth <= tree depth all
  // children are appended to dir's list; otherwise the files' summed size, when
  // not 0, goes to the truncated size of dir's ancestor at the tree depth.
  void record_listing(std::string_view dir, const ChildListing& children, std::uint64_t depth);

  // Directories a walk entered that no listing carries.
  void count_directories(std::uint64_t count) { counters_.dirs_found += count; }

  // The running counters, for progress. The reference stays valid for the
  // aggregator's lifetime.
  const ScanCounters& counters() const { return counters_; }

  // Sorts the large files, runs and times compute_dir_sizes from the root and
  // assembles the result. Call once, after the last record: the maps and lists
  // move into the result, while counters() keeps the final counts.
  FinishedScan finish();

 private:
  std::vector<ChildEntry>& list_for(const std::shared_ptr<const std::string>& parent);
  std::vector<ChildEntry>& list_for(std::string_view dir);
  std::uint64_t& truncated_slot_for(const std::shared_ptr<const std::string>& parent);
  void add_truncated(std::string_view path, std::uint64_t size);
  void note_large_file(std::string_view parent, std::string_view raw_name, std::uint64_t size);

  std::string root_;
  std::uint64_t tree_depth_;
  ScanCounters counters_;
  std::uint64_t child_entry_count_ = 0;
  std::vector<LargeFile> large_files_;
  NameStore names_;
  ChildrenMap children_map_;
  TruncatedSizes truncated_sizes_;

  // The parent object of the last listed entry and its list; holding the
  // object keeps its address from being reused by another directory.
  std::shared_ptr<const std::string> list_parent_;
  std::vector<ChildEntry>* list_ = nullptr;
  // The same for the last entry folded into a truncated size.
  std::shared_ptr<const std::string> truncated_parent_;
  std::uint64_t* truncated_slot_ = nullptr;
};

}  // namespace tessaly
