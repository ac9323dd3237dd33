/// @file
/// The result of one scan: counts, sizes, the large files and the directory
/// tree down to the requested depth. A host walks the tree from
/// ScanResult::root_directory() through ResultDirectory, which forms each
/// child's raw path itself.
///
/// Names that are not valid UTF-8. Paths and names on disk are raw bytes, while
/// the names a result shows are UTF-8 text in which every invalid sequence is
/// replaced by U+FFFD. Everything that locates a directory works on the raw
/// bytes, so such a directory is still found and sized:
///   - `children_map` and `truncated_sizes` are keyed by the walk's own raw
///     paths;
///   - a `ChildEntry` shows `name()` as text and keeps `raw_name()`, its bytes on
///     disk, whenever they differ from the text;
///   - each child directory's path is its parent's joined with its raw name
///     (`ResultDirectory::path`), so `dir_sizes` is keyed by raw paths too (the
///     root's key is `root_path`). Two directories whose names differ only in
///     invalid bytes keep separate entries with their real sizes.
/// Displayed text (`root`, `ChildEntry::name()`, `LargeFile`'s name and path)
/// is always UTF-8. For a tree whose names are all valid UTF-8, raw bytes and
/// text coincide.
#pragma once

#include <tessaly/export.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaly {

/// Files and subtree totals of at least this many bytes (500 MiB) are large.
inline constexpr std::uint64_t kLargeFileThreshold = 524'288'000;

/// A tree depth that lists every directory: nothing is folded.
inline constexpr std::uint64_t kUnlimitedTreeDepth = static_cast<std::uint64_t>(-1);

/// The library's own access to a result's private layout.
struct ResultAccess;

/// One child of a directory: a file, a directory, or a directory that stands as
/// one item (a bundle or a mounted system volume). 8 bytes: a pointer to the
/// record the NameStore that made the entry keeps of it (the result owns that
/// store): a header giving the kind and the name's lengths, the name's bytes,
/// then a file's size or, for a directory of a result, the place of its node.
class ChildEntry {
 public:
  /// The name as UTF-8 text.
  std::string_view name() const {
    const auto head = static_cast<unsigned char>(*record_);
    if ((head & kLongHeader) == 0) return {record_ + 1, std::size_t{head} & kShortLengthMask};
    return {record_ + kLongHeaderBytes, long_length(0)};
  }
  /// The name's bytes on disk.
  std::string_view raw_name() const {
    const auto head = static_cast<unsigned char>(*record_);
    if ((head & kLongHeader) == 0) return name();
    const std::uint32_t raw_length = long_length(4);
    if (raw_length == 0) return name();
    const std::uint32_t name_length = long_length(0);
    return {record_ + kLongHeaderBytes + name_length, raw_length};
  }
  /// Whether raw_name() differs from name() (the bytes are not valid UTF-8).
  bool has_distinct_raw_name() const {
    return (static_cast<unsigned char>(*record_) & kLongHeader) != 0 && long_length(4) != 0;
  }
  /// Bytes: a file's size, a bundle's total, 0 for a directory.
  std::uint64_t size() const {
    if (is_dir()) return 0;
    const auto* at = reinterpret_cast<const unsigned char*>(tail());
    std::uint64_t value = (*at >> 1) & kFirstSizeBits;
    for (unsigned shift = 6; (*at & kMoreSize) != 0; shift += 7) {
      ++at;
      value |= static_cast<std::uint64_t>(*at & 0x7f) << shift;
    }
    return (*reinterpret_cast<const unsigned char*>(tail()) & kUnscaledSize) != 0
               ? value
               : value << kSizeScaleBits;
  }
  /// True for a directory; false for a file and for a subtree total.
  bool is_dir() const { return (static_cast<unsigned char>(*record_) & kDirectory) != 0; }

  /// Same name, raw name, size and kind.
  friend bool operator==(const ChildEntry& a, const ChildEntry& b) {
    return a.size() == b.size() && a.is_dir() == b.is_dir() && a.name() == b.name() &&
           a.raw_name() == b.raw_name();
  }

 private:
  friend class NameStore;
  friend struct ResultAccess;
  // The header's first byte: kLongHeader, kDirectory, and for a short header
  // the name's length. A short header stands alone before a name of fewer
  // than 64 bytes that is valid UTF-8; a long one is followed by two 32-bit
  // lengths (the text's, and the raw bytes' or 0 when they are the text).
  static constexpr unsigned char kLongHeader = 0x80;
  static constexpr unsigned char kDirectory = 0x40;
  static constexpr unsigned char kShortLengthMask = 0x3f;
  static constexpr std::size_t kLongHeaderBytes = 9;
  // After the name, a directory keeps its node as 4 bytes; a file its size
  // in 1 to 10 bytes: the first holds kUnscaledSize, 6 bits of the value and
  // kMoreSize, each further byte 7 bits and kMoreSize. Sizes are allocated
  // bytes, nearly always whole 512-byte units, kept as the count of units
  // (kUnscaledSize clear): a file under 32 KiB takes 1 byte, under 4 MiB 2.
  static constexpr unsigned char kUnscaledSize = 0x01;
  static constexpr unsigned char kMoreSize = 0x80;
  static constexpr unsigned kFirstSizeBits = 0x3f;
  static constexpr unsigned kSizeScaleBits = 9;
  static constexpr std::size_t kNodeBytes = 4;
  static constexpr std::size_t kMaxSizeBytes = 10;

  explicit ChildEntry(const char* record) : record_(record) {}
  std::uint32_t long_length(std::size_t at) const {
    std::uint32_t length = 0;
    std::memcpy(&length, record_ + 1 + at, sizeof length);
    return length;
  }
  // Where the name's bytes end: the size or the node follows.
  const char* tail() const {
    const auto head = static_cast<unsigned char>(*record_);
    if ((head & kLongHeader) == 0) return record_ + 1 + (head & kShortLengthMask);
    return record_ + kLongHeaderBytes + long_length(0) + long_length(4);
  }

  const char* record_;
};

/// The children of one directory: a read-only run of entries carved from the
/// blocks of the NameStore that made it (the result owns that store). 16
/// bytes. A copy shows the same entries and never grows into room the
/// original keeps.
class ChildList {
 public:
  /// The entries.
  using value_type = ChildEntry;
  /// Read-only iteration.
  using const_iterator = const ChildEntry*;
  /// Read-only iteration.
  using iterator = const ChildEntry*;
  /// Counts.
  using size_type = std::size_t;

  /// No entries.
  ChildList() = default;
  /// The same entries, without room to grow.
  ChildList(const ChildList& other) : data_(other.data_), size_(other.size_) {}
  /// The same entries, without room to grow.
  ChildList& operator=(const ChildList& other) {
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = 0;
    return *this;
  }
  /// Nothing to free: the store owns the entries.
  ~ChildList() = default;

  /// Number of entries.
  std::size_t size() const { return size_; }
  /// No entries.
  bool empty() const { return size_ == 0; }
  /// The first entry.
  const ChildEntry* data() const { return data_; }
  /// The first entry.
  const ChildEntry* begin() const { return data_; }
  /// Past the last entry.
  const ChildEntry* end() const { return data_ + size_; }
  /// The first entry (the list is not empty).
  const ChildEntry& front() const { return data_[0]; }
  /// The last entry (the list is not empty).
  const ChildEntry& back() const { return data_[size_ - 1]; }
  /// The entry at `index` (< size()).
  const ChildEntry& operator[](std::size_t index) const { return data_[index]; }
  /// The entry at `index`; std::out_of_range when `index` >= size().
  const ChildEntry& at(std::size_t index) const {
    if (index >= size_) throw std::out_of_range("child index out of range");
    return data_[index];
  }
  /// The entries as a span.
  operator std::span<const ChildEntry>() const { return {data_, size_}; }

  /// Equal entries in the same order.
  friend bool operator==(const ChildList& a, const ChildList& b) {
    if (a.size_ != b.size_) return false;
    for (std::uint32_t i = 0; i < a.size_; ++i) {
      if (!(a.data_[i] == b.data_[i])) return false;
    }
    return true;
  }

 private:
  friend class NameStore;
  friend struct ResultAccess;
  ChildEntry* data_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;  // room carved for this list; 0 in a copy
};

/// Append-only storage for the names of ChildEntry records and for the
/// ChildList runs that hold them: blocks that never move, so entries and lists
/// stay valid when the store itself is moved.
class TESSALY_EXPORT NameStore {
 public:
  /// An empty store.
  NameStore() = default;
  /// Takes `other`'s blocks; entries made by it stay valid.
  NameStore(NameStore&& other) noexcept;
  /// Frees this store's blocks and takes `other`'s.
  NameStore& operator=(NameStore&& other) noexcept;
  NameStore(const NameStore&) = delete;
  NameStore& operator=(const NameStore&) = delete;
  /// Frees the blocks: entries made by this store end with it.
  ~NameStore();

  /// An entry for `raw_name`, storing its text (and the raw bytes when they
  /// differ) and, for a file, `size` (a directory's size() is 0). Names of a
  /// gigabyte or more are refused with std::length_error.
  ChildEntry entry(std::string_view raw_name, std::uint64_t size, bool is_dir);

  /// Makes room in `list` for `more` entries after its own. A list this
  /// store carved last grows in place; any other list (empty, a copy, a list
  /// of another store) moves to new room of this store, leaving its old
  /// entries where they were. Throws std::length_error past 2^32 - 1 entries.
  void reserve(ChildList& list, std::size_t more) {
    if (list.capacity_ < list.size_ || more > list.capacity_ - list.size_) grow(list, more);
  }
  /// Appends `entry` to `list`, growing it as reserve() says (twice its size
  /// when it moves, so that appending one at a time stays linear).
  void append(ChildList& list, const ChildEntry& entry) {
    if (list.size_ >= list.capacity_) grow(list, 1);
    std::construct_at(list.data_ + list.size_, entry);
    ++list.size_;
  }

  /// Bytes of the blocks this store allocated (not those it shares).
  std::size_t capacity_bytes() const { return capacity_bytes_; }

  /// Keeps every block of `other` alive as long as this store lives, so that
  /// entries and lists made by `other` may be kept by this store's owner. New
  /// entries and lists still go to blocks of this store's own.
  void share(const NameStore& other);

 private:
  friend struct ResultAccess;
  // An entry as entry() makes it; a directory's carries `node`.
  ChildEntry make(std::string_view raw_name, std::uint64_t size, bool is_dir, std::uint32_t node);
  // Writes `size` as a ChildEntry keeps it after a file's name (at most
  // ChildEntry::kMaxSizeBytes); the bytes written.
  static std::size_t encode_size(std::uint64_t size, unsigned char* out);
  // A copy of the directory entry `directory` carrying `node`.
  ChildEntry with_node(const ChildEntry& directory, std::uint32_t node);
  char* allocate(std::size_t bytes);
  void grow(ChildList& list, std::size_t more);

  std::vector<std::shared_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t left_ = 0;
  // The block lists are carved from: the next free entry, and how many
  // entries are left after it.
  ChildEntry* list_cursor_ = nullptr;
  std::size_t list_left_ = 0;
  std::size_t capacity_bytes_ = 0;
};

/// A file, or an item standing as one, of at least kLargeFileThreshold bytes.
struct LargeFile {
  std::string name;        ///< text
  std::string path;        ///< the parent joined with the name, as text
  std::uint64_t size = 0;  ///< bytes

  /// Field by field.
  friend bool operator==(const LargeFile&, const LargeFile&) = default;
};

/// A directory that stands in the result as one item: a bundle, or a mounted
/// system volume sized by its space used.
struct SubtreeTotal {
  std::string parent;       ///< raw path of the containing directory
  std::string name;         ///< raw name bytes; the result shows them as text
  std::uint64_t size = 0;   ///< bytes
  std::uint64_t depth = 0;  ///< below the root, which is 0

  /// Field by field.
  friend bool operator==(const SubtreeTotal&, const SubtreeTotal&) = default;
};

/// What a scan knew of a file with two or more links (names) when it listed
/// one of its names. The file's blocks count once: on the first of its names
/// the walk met (`counted`), whose ChildEntry::size() is `size`; every other
/// name of it shows size() 0. When that first name is not listed (it lies in
/// an item standing as one, or below the tree depth, whose total holds the
/// blocks), no listed name of the file is counted.
struct HardLink {
  std::uint64_t device = 0;      ///< the file system's device number of the file
  std::uint64_t inode = 0;       ///< the file's number on that device
  std::uint64_t link_count = 0;  ///< the file's links, 2 or more
  std::uint64_t size = 0;        ///< the file's allocated bytes, whichever name carries them
  bool counted = false;          ///< this name is the one whose size() holds the blocks

  /// Field by field.
  friend bool operator==(const HardLink&, const HardLink&) = default;
};

/// The HardLink of each listed entry that names a file with two or more
/// links. Entries are known by the place of their record in the result's
/// NameStore, so a table belongs to the result whose entries it was given.
class TESSALY_EXPORT HardLinkTable {
 public:
  /// Notes `link` for `entry`, an entry of the result that will own this table.
  void add(const ChildEntry& entry, const HardLink& link);
  /// Orders the table so that find() takes logarithmic time; find() works
  /// before too, in linear time.
  void seal();
  /// The link noted for `entry`, or nullptr (an ordinary file, a directory, or
  /// an entry of another result). Constant time on an empty table.
  const HardLink* find(const ChildEntry& entry) const;
  /// Calls `visit` with each noted link, in no particular order.
  void for_each(const std::function<void(const HardLink&)>& visit) const {
    for (const std::vector<Noted>& block : blocks_) {
      for (const Noted& noted : block) visit(noted.link);
    }
  }
  /// Entries noted.
  std::size_t size() const { return count_; }
  /// True when no entry was noted.
  bool empty() const { return count_ == 0; }

 private:
  friend struct ResultAccess;
  struct Noted {
    const char* key;  // the entry's record, which no other entry shares
    HardLink link;
  };
  // A link's place: its block, shifted by kBlockBits, and its index there.
  static constexpr unsigned kBlockBits = 11;
  // `new_run`: the key need not follow the one noted before, even when it is
  // above it (the noter knows the two lie in different stretches of names).
  void note(const Noted& noted, bool new_run = false);
  const Noted& at(std::uint32_t place) const {
    return blocks_[place >> kBlockBits][place & ((1U << kBlockBits) - 1)];
  }
  // Fills order_ for find(): with the first and last place of each run of
  // ascending keys in ascending key order when the runs' keys do not
  // interleave, else with every place in ascending key order.
  void order_places();

  // The links in the order noted, in blocks of at most 1 << kBlockBits that
  // never move, so that noting one copies nothing and sealing copies no link.
  std::vector<std::vector<Noted>> blocks_;
  // After seal(), when the links were not noted in ascending key order: see
  // order_places().
  std::vector<std::uint32_t> order_;
  // The places of the links noted below the key noted before them, noted as
  // starting a run, or first in their block: where a run of ascending keys
  // starts, the first excepted.
  std::vector<std::uint32_t> run_starts_;
  std::size_t count_ = 0;
  std::size_t sealed_count_ = 0;    // links seal() ordered; find() searches while all are
  const char* last_key_ = nullptr;  // the key noted last
  bool sorted_ = true;              // every link noted in ascending key order (no run start)
};

/// Files and directories counted below a directory at the tree depth that
/// children_map does not list.
struct FoldedCounts {
  std::uint64_t files = 0;  ///< files, and items standing as one
  std::uint64_t dirs = 0;   ///< directories

  /// Field by field.
  friend bool operator==(const FoldedCounts&, const FoldedCounts&) = default;
};

/// Which of a result's maps a DirMap is.
enum class DirMapKind : std::uint8_t {
  kChildren,   ///< the listed directories' children
  kTruncated,  ///< the sizes folded below directories at the tree depth
  kFolded,     ///< the files and directories folded there
  kSizes,      ///< every directory's total
};

/// The directories of one result, each once: a node holding its parent, its
/// place in the parent's children, its children (a ChildList carved from the
/// result's NameStore), its total size and, at the tree depth, what is folded
/// below it. Nodes sit in blocks that never move; a copy shares them, and a
/// block is copied only before a copy changes one of its nodes. Read through
/// the maps of ScanResult; its layout is private.
class TESSALY_EXPORT DirTable {
 public:
  /// No node.
  static constexpr std::uint32_t kNoNode = 0xffff'ffffU;

  /// No directories.
  DirTable();
  /// The same nodes, sharing their blocks.
  DirTable(const DirTable& other);
  /// Takes `other`'s nodes.
  DirTable(DirTable&& other) noexcept;
  /// The same nodes, sharing their blocks.
  DirTable& operator=(const DirTable& other);
  /// Takes `other`'s nodes.
  DirTable& operator=(DirTable&& other) noexcept;
  /// Lets go of the blocks.
  ~DirTable();

  /// Keys `kind`'s map holds.
  std::size_t count(DirMapKind kind) const;
  /// The first key of `kind`'s map (a node, or for kTruncated and kFolded a
  /// folded record), or kNoNode.
  std::uint32_t first(DirMapKind kind) const;
  /// The key after `at` in `kind`'s map, or kNoNode.
  std::uint32_t next(DirMapKind kind, std::uint32_t at) const;
  /// The key of `kind`'s map whose path is `path` (component-wise; byte for
  /// byte for kSizes), or kNoNode.
  std::uint32_t find(DirMapKind kind, std::string_view path) const;
  /// The path of the key `at` of `kind`'s map.
  std::string key(DirMapKind kind, std::uint32_t at) const;

 private:
  friend struct ResultAccess;
  template <typename Value, DirMapKind Kind>
  friend class DirMap;

  // 40 bytes, one per directory.
  struct Node {
    std::uint32_t parent = kNoNode;  // kNoNode: a node spelled whole (texts_)
    std::uint32_t slot = 0;          // its entry in the parent's list, or its text
    std::uint32_t fold = kNoNode;    // its record in folds_
    std::uint32_t reached = 0;       // 1 for the root and the nodes below it
    ChildList children;
    std::uint64_t size = 0;
  };
  // A directory at the tree depth (or the root) and what is folded below it.
  struct Fold {
    std::uint32_t node = kNoNode;
    bool has_truncated = false;
    bool has_counts = false;
    std::uint64_t truncated = 0;
    FoldedCounts counts;
  };
  static constexpr std::size_t kShift = 10;
  static constexpr std::size_t kBlock = std::size_t{1} << kShift;

  const Node& node(std::uint32_t at) const { return blocks_[at >> kShift][at & (kBlock - 1)]; }
  bool is_key(DirMapKind kind, std::uint32_t at) const;
  std::uint32_t next_node(std::uint32_t at) const;
  std::uint32_t find_node(std::string_view path) const;

  std::vector<std::shared_ptr<Node[]>> blocks_;
  std::size_t size_ = 0;
  std::vector<Fold> folds_;
  std::vector<std::string> texts_;    // the whole text of each node without a parent
  std::vector<std::uint32_t> roots_;  // the nodes without a parent, the root first
  std::size_t listed_ = 0;
  std::size_t sized_ = 0;
  std::size_t truncated_ = 0;
  std::size_t counted_ = 0;
};

/// One of a result's maps: a read-only view of its DirTable with the interface
/// of a map keyed by raw directory path. Iteration visits the root's tree in
/// order (a directory, then its subdirectories in listing order) and yields
/// (path, value) pairs whose path is formed on the spot. Finding a path costs
/// time linear in its components and their siblings. Values stay valid while
/// the table lives; the map holds it.
template <typename Value, DirMapKind Kind>
class DirMap {
 public:
  /// Keys are given as text and yielded as std::string.
  using key_type = std::string;
  /// The values.
  using mapped_type = Value;
  /// What iteration yields.
  using value_type = std::pair<std::string, Value>;
  /// Counts.
  using size_type = std::size_t;

  /// A read-only input iterator.
  class const_iterator {
   public:
    /// Single pass.
    using iterator_category = std::input_iterator_tag;
    /// The pair a step yields, by value.
    using value_type = std::pair<std::string, Value>;
    /// Distances.
    using difference_type = std::ptrdiff_t;
    /// The key text and a reference to the value.
    using reference = std::pair<std::string, const Value&>;
    /// What operator-> gives: holds the pair.
    struct pointer {
      /// The pair.
      reference pair;
      /// The pair's address.
      const reference* operator->() const { return &pair; }
    };

    /// An iterator of no map.
    const_iterator() = default;
    /// The key `at` of `table`.
    const_iterator(const DirTable* table, std::uint32_t at) : table_(table), at_(at) {}
    /// The key (as text) and value here.
    reference operator*() const {
      return reference(table_->key(Kind, at_), value_of(*table_, at_));
    }
    /// The same, for member access.
    pointer operator->() const { return pointer{**this}; }
    /// Steps to the next key.
    const_iterator& operator++() {
      at_ = table_->next(Kind, at_);
      return *this;
    }
    /// Steps to the next key, giving the position before.
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++*this;
      return before;
    }
    /// Same position.
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.at_ == b.at_;
    }

   private:
    const DirTable* table_ = nullptr;
    std::uint32_t at_ = DirTable::kNoNode;
  };
  /// Iteration is read-only.
  using iterator = const_iterator;

  /// An empty map.
  DirMap() = default;
  /// The map of `table`.
  explicit DirMap(std::shared_ptr<const DirTable> table) : table_(std::move(table)) {}

  /// Number of keys.
  std::size_t size() const { return table_ ? table_->count(Kind) : 0; }
  /// No keys.
  bool empty() const { return size() == 0; }
  /// The first key.
  const_iterator begin() const {
    return table_ ? const_iterator(table_.get(), table_->first(Kind)) : end();
  }
  /// Past the last key.
  const_iterator end() const { return const_iterator(table_.get(), DirTable::kNoNode); }
  /// The entry of `key`, or end().
  const_iterator find(std::string_view key) const {
    return table_ ? const_iterator(table_.get(), table_->find(Kind, key)) : end();
  }
  /// Whether `key` is a key.
  bool contains(std::string_view key) const { return find(key) != end(); }
  /// 1 when `key` is a key, else 0.
  std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
  /// The value of `key`; std::out_of_range when absent.
  const Value& at(std::string_view key) const {
    const std::uint32_t at = table_ ? table_->find(Kind, key) : DirTable::kNoNode;
    if (at == DirTable::kNoNode) throw std::out_of_range("path not in map");
    return value_of(*table_, at);
  }

  /// The same keys, each with an equal value.
  friend bool operator==(const DirMap& a, const DirMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
      const auto other = b.find(key);
      if (other == b.end() || !(other->second == value)) return false;
    }
    return true;
  }

 private:
  friend struct ResultAccess;
  static const Value& value_of(const DirTable& table, std::uint32_t at) {
    if constexpr (Kind == DirMapKind::kChildren) {
      return table.node(at).children;
    } else if constexpr (Kind == DirMapKind::kSizes) {
      return table.node(at).size;
    } else if constexpr (Kind == DirMapKind::kTruncated) {
      return table.folds_[at].truncated;
    } else {
      return table.folds_[at].counts;
    }
  }

  std::shared_ptr<const DirTable> table_;
};

/// Children of directories, keyed by raw path, any spelling of the same
/// components matching.
using ChildrenMap = DirMap<ChildList, DirMapKind::kChildren>;
/// Sizes not listed below directories at the tree depth, keyed as ChildrenMap.
using TruncatedSizes = DirMap<std::uint64_t, DirMapKind::kTruncated>;
/// Directory totals, keyed by raw path byte for byte.
using DirSizes = DirMap<std::uint64_t, DirMapKind::kSizes>;
/// Folded counts, keyed as TruncatedSizes.
using FoldedCountsMap = DirMap<FoldedCounts, DirMapKind::kFolded>;

struct ScanResult;

/// A directory of a scan result, reached from the root through the directory
/// entries listed below it: a view that holds the directory's raw path and
/// stays valid while the result lives. Hosts walk a result with it without
/// forming paths themselves.
class TESSALY_EXPORT ResultDirectory {
 public:
  /// The directory's raw path: ScanResult::root_path for the root, and for a
  /// child its parent's path, a separator ("/", none when the parent's path
  /// ends with "/") and the child's raw_name().
  const std::string& path() const { return path_; }
  /// The directory's children in recording order; empty when the result
  /// lists none (an empty directory, or one deeper than the tree depth).
  std::span<const ChildEntry> children() const { return children_; }
  /// The directory's total size in bytes: everything below it, including
  /// what children() do not list; 0 when the result holds no size for it.
  std::uint64_t size() const { return size_; }
  /// Bytes below the directory that children() do not list (non-zero only
  /// for directories exactly tree-depth levels below the root).
  std::uint64_t unlisted_size() const;
  /// The directory of `entry`, an entry of children() for which is_dir() is
  /// true; nothing for a file or an item standing as one. Throws
  /// std::bad_alloc when memory for the child's path runs out.
  std::optional<ResultDirectory> child(const ChildEntry& entry) const;
  /// The size `entry` (an entry of children()) stands for: a directory's
  /// total (as child(entry)->size()), else the entry's own size().
  std::uint64_t child_size(const ChildEntry& entry) const;

 private:
  friend struct ScanResult;
  // The directory of `node` in the result's DirTable (kNoNode: none).
  ResultDirectory(const ScanResult& result, std::string path, std::uint32_t node);

  const ScanResult* result_;
  std::string path_;
  std::span<const ChildEntry> children_;
  std::uint64_t size_ = 0;
  std::uint32_t node_ = DirTable::kNoNode;
};

/// The finished result of one scan. Immutable once assembled; shared between the
/// caller and the scan cache. Movable but not copyable (the entries point into
/// `names`).
struct TESSALY_EXPORT ScanResult {
  /// The root as handed to the engine, as text.
  std::string root;
  /// The root's raw bytes: the key of the root's own entry in `dir_sizes`.
  std::string root_path;
  /// Files and subtree totals of at least kLargeFileThreshold bytes, largest
  /// first.
  std::vector<LargeFile> large_files;
  /// Storage of the names of every ChildEntry below, and of the lists that
  /// hold them.
  NameStore names;
  // The four maps below are views of one DirTable, which they hold together.
  /// Children of every directory whose children lie no deeper than the tree
  /// depth, in recording order; keyed by the walk's raw directory paths.
  ChildrenMap children_map;
  /// For directories exactly tree-depth levels below the root: the summed size
  /// of everything below them that children_map does not list. Absent means 0.
  TruncatedSizes truncated_sizes;
  /// For the same directories: how many files and directories below them
  /// children_map does not list (what files_found and dirs_found count there),
  /// so that a refresh can take a folder's share out of the counters. Absent
  /// means none.
  FoldedCountsMap folded_counts;
  /// Total size of the root and of every directory reached through
  /// children_map, keyed by the raw paths compute_dir_sizes builds.
  DirSizes dir_sizes;
  /// Files, and items standing as one, counted.
  std::uint64_t files_found = 0;
  /// Directories counted, the root not included.
  std::uint64_t dirs_found = 0;
  /// Bytes counted.
  std::uint64_t total_size = 0;
  /// Milliseconds spent computing dir_sizes.
  std::uint64_t compute_dir_sizes_ms = 0;
  /// How deep the directory lists reach: directories this many levels below
  /// the root stand for everything below them (kUnlimitedTreeDepth: none do).
  std::uint64_t tree_depth = kUnlimitedTreeDepth;
  /// Identities of the multiply-linked files among the entries of
  /// children_map (directories deeper than the tree depth list none, and the
  /// files inside an item standing as one are not listed). Empty for a result
  /// that was given none.
  HardLinkTable hard_links;

  /// The children recorded for `dir`, or nullptr.
  const ChildList* children_of(std::string_view dir) const;
  /// truncated_sizes' value for `dir`, 0 when absent.
  std::uint64_t truncated_size(std::string_view dir) const;
  /// dir_sizes' value for `dir` (looked up byte for byte), or nullptr.
  const std::uint64_t* dir_size(std::string_view dir) const;
  /// The identity of the file `entry` (an entry of this result's children)
  /// names when that file has two or more links, or nullptr for an ordinary
  /// file, a directory or an item standing as one. Of a file's names the first
  /// the walk met carries its blocks (HardLink::counted), the others show
  /// size() 0; an import counts the first name its file does not mark
  /// "uncounted".
  const HardLink* hard_link(const ChildEntry& entry) const { return hard_links.find(entry); }
  /// The root directory, from which every listed directory is reached.
  /// Throws std::bad_alloc when memory for the root's path runs out.
  ResultDirectory root_directory() const;
};

}  // namespace tessaly
