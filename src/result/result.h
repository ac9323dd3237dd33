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
#include <deque>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/paths.h"
#include "progress/progress.h"

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

// How a path-keyed map compares keys: by path components (see paths.h, so
// "/a//b/" and "/a/b" are one key) or byte for byte.
enum class PathKeying : std::uint8_t { kComponents, kBytes };

// The directory paths of one map, each stored once as a node: a parent node
// and the name below it, or, for a path that has no such parent (a root, or a
// text that separators do not split into parent and name), its whole text.
// A node's text is its parent's text, a separator ("/", none after a text
// ending in "/") and its name. Memory is linear in the number of nodes
// whatever their depth; finding a path costs time linear in its length.
//
// Each node carries a hash state computable both from a whole text and from
// the parent's state and a name, so a child is found from its parent without
// forming its text. Equality is never decided from hashes alone.
//
// Nodes may exist without a value: the ancestors created so that a deep key
// is stored as a chain. They are not keys of the map.
class PathNodes {
 public:
  static constexpr std::uint32_t kNone = 0xffff'ffffU;
  // find_child: some node has the hash but is not the plain (parent, name)
  // child; only a comparison of whole texts decides.
  static constexpr std::uint32_t kUnsure = 0xffff'fffeU;

  explicit PathNodes(PathKeying keying) : keying_(keying) {}

  PathKeying keying() const { return keying_; }
  std::size_t node_count() const { return nodes_.size(); }

  // The node whose path equals `path` under the keying, or kNone.
  std::uint32_t find(std::string_view path) const;
  // The node of `path`, created (with any missing ancestors) when absent.
  // When `exact` is given, it tells whether the node's text is `path` byte
  // for byte (always so for a node just created).
  std::uint32_t intern(std::string_view path, bool* exact = nullptr);
  // intern, faster when `path` lies just below `hint` or one of its
  // ancestors: `hint` is an existing node whose text is exactly `hint_text`.
  std::uint32_t intern_near(std::string_view path, std::uint32_t hint, std::string_view hint_text,
                            bool* exact = nullptr);

  // The node's text (for a key given in another spelling of the same
  // components, the spelling first given as key).
  std::string text(std::uint32_t node) const;
  // True when the node's stored text is `text` byte for byte.
  bool text_is(std::uint32_t node, std::string_view text) const;

  // Hash states. The state of a whole text; the state of the child `name` of
  // `parent` (bytes: its text joined with the name; components: its
  // components followed by `name` as one component).
  static std::uint64_t text_state(PathKeying keying, std::string_view text);
  std::uint64_t state(std::uint32_t node) const { return nodes_[node].state; }
  std::uint64_t child_state(std::uint32_t parent, std::string_view name) const;
  // The components state of a text with components state `state` followed by
  // the single component `component`.
  static std::uint64_t component_state(std::uint64_t state, std::string_view component);
  // The node with hash `state` that is the child `name` of `parent`; kNone
  // when no node has that hash; kUnsure when only other nodes have it.
  std::uint32_t find_child(std::uint64_t state, std::uint32_t parent, std::string_view name) const;
  // find, given the text's state.
  std::uint32_t find_hashed(std::string_view text, std::uint64_t state) const;
  // A new node `name` below `parent` with the given state. The caller has made
  // sure no node holds that text yet; under component keying `name` is one
  // component and `parent`'s text is not empty.
  std::uint32_t add_child(std::uint32_t parent, std::string_view name, std::uint64_t state);

  // The value slot a map keeps for a node; kNone for no value.
  std::uint32_t value(std::uint32_t node) const { return nodes_[node].value; }
  // Gives `node` the value slot `slot`; `key` is the text it is keyed by, and
  // `key_is_text` tells that the node's text is known to be `key` already.
  void set_value(std::uint32_t node, std::uint32_t slot, std::string_view key, bool key_is_text);

  void reserve(std::size_t nodes);
  void clear();

 private:
  struct Node {
    std::uint64_t state;
    std::uint64_t name_offset;
    std::uint32_t name_length;
    std::uint32_t parent;  // kNone for a node holding its whole text
    std::uint32_t value;
    std::uint32_t flags;
  };
  struct Slot {
    std::uint32_t node;
    std::uint32_t tag;
  };

  std::string_view name_of(const Node& node) const {
    return std::string_view(names_).substr(node.name_offset, node.name_length);
  }
  std::string_view separator_below(std::uint32_t parent) const;
  bool same_text(std::uint32_t node, std::string_view text) const;
  bool same_components(std::uint32_t node, std::string_view text) const;
  std::uint32_t add_node(std::uint32_t parent, std::string_view name, std::uint64_t state);
  // A text the path being created splits down to: its length, the slash
  // before its last name, its hash state.
  struct Cut {
    std::size_t length;
    std::size_t slash;
    std::uint64_t state;
  };
  std::uint32_t create(std::string_view path, std::uint64_t state);
  std::uint32_t below_hint(std::string_view path, std::uint32_t hint, std::string_view hint_text,
                           bool* exact);
  std::size_t split_point(std::string_view path) const;
  void insert_slot(std::uint32_t node);
  void grow();

  PathKeying keying_;
  std::vector<Node> nodes_;
  std::string names_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  // Keys whose spelling differs from the text of the node that already stood
  // for their components.
  std::unordered_map<std::uint32_t, std::string> key_texts_;
};

// A map from directory paths to values over PathNodes, with the interface of
// an unordered map keyed by path text. Iteration visits keys in insertion
// order and yields (text, value) pairs whose text is materialized from the
// nodes. References to values stay valid until the map is cleared.
template <typename Value, PathKeying Keying>
class PathMap {
 public:
  using key_type = std::string;
  using mapped_type = Value;
  using value_type = std::pair<std::string, Value>;
  using size_type = std::size_t;

  template <bool Const>
  class Iterator {
    using Map = std::conditional_t<Const, const PathMap, PathMap>;
    using Ref = std::conditional_t<Const, const Value&, Value&>;

   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = std::pair<std::string, Value>;
    using difference_type = std::ptrdiff_t;
    using reference = std::pair<std::string, Ref>;
    struct pointer {
      reference pair;
      const reference* operator->() const { return &pair; }
    };

    Iterator() = default;
    Iterator(Map* map, std::size_t index) : map_(map), index_(index) {}
    operator Iterator<true>() const requires(!Const) { return Iterator<true>(map_, index_); }
    std::size_t index() const { return index_; }

    reference operator*() const {
      return reference(map_->nodes_.text(map_->owners_[index_]), map_->values_[index_]);
    }
    pointer operator->() const { return pointer{**this}; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    Map* map_ = nullptr;
    std::size_t index_ = 0;
  };
  using iterator = Iterator<false>;
  using const_iterator = Iterator<true>;

  PathMap() = default;
  PathMap(std::initializer_list<std::pair<std::string_view, Value>> entries) {
    for (const auto& [key, value] : entries) (*this)[key] = value;
  }

  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  iterator begin() { return iterator(this, 0); }
  iterator end() { return iterator(this, values_.size()); }
  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, values_.size()); }

  iterator find(std::string_view key) { return iterator(this, slot_of(key)); }
  const_iterator find(std::string_view key) const { return const_iterator(this, slot_of(key)); }
  bool contains(std::string_view key) const { return slot_of(key) != values_.size(); }
  std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
  Value& at(std::string_view key) { return values_[checked_slot(key)]; }
  const Value& at(std::string_view key) const { return values_[checked_slot(key)]; }

  Value& operator[](std::string_view key) {
    bool exact = false;
    const std::uint32_t node = nodes_.intern(key, &exact);
    return value_at(node, key, exact);
  }
  std::pair<iterator, bool> try_emplace(std::string_view key) {
    bool exact = false;
    const std::uint32_t node = nodes_.intern(key, &exact);
    const bool inserted = nodes_.value(node) == PathNodes::kNone;
    value_at(node, key, exact);
    return {iterator(this, nodes_.value(node)), inserted};
  }
  std::pair<iterator, bool> insert_or_assign(std::string_view key, Value value) {
    auto placed = try_emplace(key);
    values_[placed.first.index()] = std::move(value);
    return placed;
  }

  void reserve(std::size_t keys) { nodes_.reserve(keys); }
  void clear() {
    nodes_.clear();
    values_.clear();
    owners_.clear();
  }

  // Node-level access for the aggregation of a scan.
  const PathNodes& nodes() const { return nodes_; }
  PathNodes& nodes() { return nodes_; }
  // The value of `node`, created (default) when the node has none; `key` is
  // the text the node is keyed by, known to be the node's text when
  // `key_is_text`.
  Value& value_at(std::uint32_t node, std::string_view key, bool key_is_text) {
    if (nodes_.value(node) == PathNodes::kNone) {
      nodes_.set_value(node, static_cast<std::uint32_t>(values_.size()), key, key_is_text);
      values_.emplace_back();
      owners_.push_back(node);
    }
    return values_[nodes_.value(node)];
  }
  // The value of `node`, or nullptr.
  const Value* value_of(std::uint32_t node) const {
    if (node >= PathNodes::kUnsure || nodes_.value(node) == PathNodes::kNone) return nullptr;
    return &values_[nodes_.value(node)];
  }

  friend bool operator==(const PathMap& a, const PathMap& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.values_.size(); ++i) {
      const std::string key = a.nodes_.text(a.owners_[i]);
      const std::size_t other = b.slot_of(key);
      if (other == b.values_.size() || !(b.values_[other] == a.values_[i])) return false;
    }
    return true;
  }

 private:
  std::size_t slot_of(std::string_view key) const {
    const std::uint32_t node = nodes_.find(key);
    if (node == PathNodes::kNone || nodes_.value(node) == PathNodes::kNone) return values_.size();
    return nodes_.value(node);
  }
  std::size_t checked_slot(std::string_view key) const {
    const std::size_t slot = slot_of(key);
    if (slot == values_.size()) throw std::out_of_range("path not in map");
    return slot;
  }

  PathNodes nodes_{Keying};
  std::deque<Value> values_;
  std::vector<std::uint32_t> owners_;
};

using ChildrenMap = PathMap<std::vector<ChildEntry>, PathKeying::kComponents>;
using TruncatedSizes = PathMap<std::uint64_t, PathKeying::kComponents>;
using DirSizes = PathMap<std::uint64_t, PathKeying::kBytes>;

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
  // The next `count` records under `parent`, at `depth`, are one listing's
  // entries: makes room for them at once. Changes nothing that is recorded.
  void expect_children(const std::shared_ptr<const std::string>& parent, std::uint64_t depth,
                       std::size_t count);
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
  // children_map's node for `dir`. It becomes the anchor of the next lookup
  // when its text is `dir` byte for byte; `holder`, when given, owns `dir`.
  std::uint32_t children_node(std::string_view dir,
                              const std::shared_ptr<const std::string>* holder);
  std::uint64_t& truncated_slot_for(const std::shared_ptr<const std::string>& parent);
  std::uint64_t& truncated_slot(std::string_view path);
  void note_large_file(std::string_view parent, std::string_view raw_name, std::uint64_t size);
  void forget_caches();

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
  // The last directory whose children_map node was looked up, when its node's
  // text is its path byte for byte: a walk's next directory nearly always
  // lies just below it, and is then found from it without hashing its path.
  std::uint32_t anchor_node_ = PathNodes::kNone;
  std::string_view anchor_text_;
  std::shared_ptr<const std::string> anchor_holder_;
  std::string anchor_copy_;
  // The same for the last entry folded into a truncated size.
  std::shared_ptr<const std::string> truncated_parent_;
  std::uint64_t* truncated_slot_ = nullptr;
  // The leading bytes of the last path folded into a truncated size that
  // decide its ancestor at the tree depth, and that ancestor's size.
  std::string truncated_prefix_;
  std::uint64_t* truncated_prefix_slot_ = nullptr;
};

}  // namespace tessaly
