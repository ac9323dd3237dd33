// How a scan's directories are laid out and sized. The result itself is
// public (<tessaly/result.h>, which also explains raw names and text).
#pragma once

#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"

namespace tessaly {

// The path of a child of `dir`: `dir`, a separator ("/", none when `dir` ends
// with "/", "/" when `dir` is empty) and the child's raw name.
std::string child_path(std::string_view dir, std::string_view raw_name);

// Every node's total: its folded size, its files' sizes and its child
// directories' totals; then the number of keys of each map. Linear in the
// nodes and their entries, whatever the depth. With `files_summed`, each
// node's size already holds its entries' sizes summed (as an aggregator adds
// them up listing by listing), and the entries are not read again.
void compute_dir_sizes(DirTable& table, bool files_summed = false);

// What the result's own layers (aggregation, refresh) reach inside a result.
struct ResultAccess {
  using Node = DirTable::Node;
  using Fold = DirTable::Fold;
  // Nodes a table holds at most: the walk tags its numbers' top bit.
  static constexpr std::size_t kMaxNodes = 0x7fff'ffffU;
  // Bytes a name of a ChildEntry stays under.
  static constexpr std::size_t kMaxRecordName = std::size_t{1} << 30;

  // A directory entry of a result, made in `store`, carrying the place of its
  // node, which its size() never shows.
  static ChildEntry directory_entry(NameStore& store, std::string_view raw_name,
                                    std::uint32_t node) {
    return store.make(raw_name, 0, true, node);
  }
  // Writes the record of an entry to the room `allocate(bytes)` gives: the
  // header (after the UTF-8 check), the name, then a file's size or a
  // directory's `node`. Names of a gigabyte or more are refused with
  // std::length_error.
  template <class Allocate>
  static ChildEntry make_record(Allocate&& allocate, std::string_view raw_name, std::uint64_t size,
                                bool is_dir, std::uint32_t node);
  // Writes `node` into the record of the directory entry `entry`.
  static void set_node(const ChildEntry& entry, std::uint32_t node) {
    std::memcpy(const_cast<char*>(entry.tail()), &node, sizeof node);
  }
  // Appends `entries` to `list`, which has room for them.
  static void append_reserved(ChildList& list, std::span<const ChildEntry> entries) {
    std::memcpy(static_cast<void*>(list.data_ + list.size_), entries.data(),
                entries.size() * sizeof(ChildEntry));
    list.size_ += static_cast<std::uint32_t>(entries.size());
  }
  // Makes `store` own `blocks` (of `bytes` together) as its own.
  static void adopt_blocks(NameStore& store, std::vector<std::shared_ptr<char[]>> blocks,
                           std::size_t bytes) {
    store.blocks_.insert(store.blocks_.end(), std::make_move_iterator(blocks.begin()),
                         std::make_move_iterator(blocks.end()));
    store.capacity_bytes_ += bytes;
  }
  // A copy of the directory entry `entry`, made in `store`, carrying `node`.
  static ChildEntry with_node(NameStore& store, const ChildEntry& entry, std::uint32_t node) {
    return store.with_node(entry, node);
  }
  // The node a directory entry of a result carries.
  static std::uint32_t node_of(const ChildEntry& entry) {
    std::uint32_t node = 0;
    std::memcpy(&node, entry.tail(), sizeof node);
    return node;
  }

  static std::size_t node_count(const DirTable& table) { return table.size_; }
  static const Node& node(const DirTable& table, std::uint32_t at) { return table.node(at); }
  // The node to write, its block copied first when another table shares it.
  static Node& node(DirTable& table, std::uint32_t at);
  static std::uint32_t add_node(DirTable& table, const Node& node);
  // A node spelled whole: the first is the root; others hold lists only.
  static std::uint32_t add_root(DirTable& table, std::string_view text);
  static std::uint32_t root(const DirTable& table) {
    return table.roots_.empty() ? DirTable::kNoNode : table.roots_[0];
  }
  static std::uint32_t find_node(const DirTable& table, std::string_view path) {
    return table.find_node(path);
  }
  static std::string text(const DirTable& table, std::uint32_t at);
  // The node's folded record, made when it has none.
  static std::uint32_t fold_of(DirTable& table, std::uint32_t at);
  static Fold& fold(DirTable& table, std::uint32_t fold) { return table.folds_[fold]; }
  static const Fold& fold(const DirTable& table, std::uint32_t fold) { return table.folds_[fold]; }
  static std::vector<Fold>& folds(DirTable& table) { return table.folds_; }
  static const std::vector<Fold>& folds(const DirTable& table) { return table.folds_; }
  // Counts the keys of each map anew.
  static void count_keys(DirTable& table);
  // The node after `at` in the tree order of the maps (kNoNode at the end).
  static std::uint32_t next_node(const DirTable& table, std::uint32_t at) {
    return table.next_node(at);
  }

  // The number of keys of each map, as count_keys leaves them.
  static std::size_t& key_count(DirTable& table, DirMapKind kind) {
    switch (kind) {
      case DirMapKind::kChildren:
        return table.listed_;
      case DirMapKind::kSizes:
        return table.sized_;
      case DirMapKind::kTruncated:
        return table.truncated_;
      case DirMapKind::kFolded:
        break;
    }
    return table.counted_;
  }

  // Adds to `to` the links of `from` whose entry `keep` accepts (by its
  // link_key).
  template <class Keep>
  static void copy_links(HardLinkTable& to, const HardLinkTable& from, Keep keep) {
    for (const std::vector<HardLinkTable::Noted>& block : from.blocks_) {
      for (const HardLinkTable::Noted& noted : block) {
        if (keep(noted.key)) to.note(noted);
      }
    }
  }
  // Notes `link` for `entry`; `new_run` as HardLinkTable::note.
  static void add_link(HardLinkTable& table, const ChildEntry& entry, const HardLink& link,
                       bool new_run) {
    table.note(HardLinkTable::Noted{link_key(entry), link}, new_run);
  }
  // The key a hard-link table knows an entry by: the address of its record,
  // which no other entry shares, taken without reading the record (which
  // the thread that wrote it may still hold in its cache). Records lie in a
  // block in the order of their names.
  static const char* link_key(const ChildEntry& entry) { return entry.record_; }

  // The table a result's maps show (nullptr for a result without one).
  static const std::shared_ptr<const DirTable>& table(const ScanResult& result) {
    return result.dir_sizes.table_;
  }
  static void set_table(ScanResult& result, const std::shared_ptr<const DirTable>& table) {
    result.children_map = ChildrenMap(table);
    result.truncated_sizes = TruncatedSizes(table);
    result.folded_counts = FoldedCountsMap(table);
    result.dir_sizes = DirSizes(table);
  }
};

template <class Allocate>
ChildEntry ResultAccess::make_record(Allocate&& allocate, std::string_view raw_name,
                                     std::uint64_t size, bool is_dir, std::uint32_t node) {
  if (raw_name.size() >= kMaxRecordName) throw std::length_error("name too long for a ChildEntry");
  unsigned char tail[ChildEntry::kMaxSizeBytes];
  std::size_t tail_bytes = ChildEntry::kNodeBytes;
  if (is_dir) {
    std::memcpy(tail, &node, sizeof node);
  } else {
    tail_bytes = NameStore::encode_size(size, tail);
  }
  const unsigned char kind = is_dir ? ChildEntry::kDirectory : 0;
  const bool valid = is_valid_utf8(raw_name);
  if (valid && raw_name.size() <= ChildEntry::kShortLengthMask) {
    char* data = allocate(1 + raw_name.size() + tail_bytes);
    data[0] = static_cast<char>(kind | raw_name.size());
    if (!raw_name.empty()) std::memcpy(data + 1, raw_name.data(), raw_name.size());
    std::memcpy(data + 1 + raw_name.size(), tail, tail_bytes);
    return ChildEntry(data);
  }
  const std::string text = valid ? std::string() : utf8_lossy(raw_name);
  const std::string_view shown = valid ? raw_name : std::string_view(text);
  const std::string_view raw = valid ? std::string_view() : raw_name;
  const std::size_t name_bytes = ChildEntry::kLongHeaderBytes + shown.size() + raw.size();
  char* data = allocate(name_bytes + tail_bytes);
  data[0] = static_cast<char>(ChildEntry::kLongHeader | kind);
  const auto shown_length = static_cast<std::uint32_t>(shown.size());
  const auto raw_length = static_cast<std::uint32_t>(raw.size());
  std::memcpy(data + 1, &shown_length, sizeof shown_length);
  std::memcpy(data + 5, &raw_length, sizeof raw_length);
  std::memcpy(data + ChildEntry::kLongHeaderBytes, shown.data(), shown.size());
  if (!raw.empty()) {
    std::memcpy(data + ChildEntry::kLongHeaderBytes + shown.size(), raw.data(), raw.size());
  }
  std::memcpy(data + name_bytes, tail, tail_bytes);
  return ChildEntry(data);
}

}  // namespace tessaly
