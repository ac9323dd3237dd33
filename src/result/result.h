// How a scan's directories are laid out and sized. The result itself is
// public (<tessaly/result.h>, which also explains raw names and text).
#pragma once

#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// The path of a child of `dir`: `dir`, a separator ("/", none when `dir` ends
// with "/", "/" when `dir` is empty) and the child's raw name.
std::string child_path(std::string_view dir, std::string_view raw_name);

// Every node's total: its folded size, its files' sizes and its child
// directories' totals; then the number of keys of each map. Linear in the
// nodes and their entries, whatever the depth.
void compute_dir_sizes(DirTable& table);

// What the result's own layers (aggregation, refresh) reach inside a result.
struct ResultAccess {
  using Node = DirTable::Node;
  using Fold = DirTable::Fold;
  // Nodes a table holds at most: the walk tags its numbers' top bit.
  static constexpr std::size_t kMaxNodes = 0x7fff'ffffU;

  // A directory entry of a result, made in `store`, carrying the place of its
  // node, which its size() never shows.
  static ChildEntry directory_entry(NameStore& store, std::string_view raw_name,
                                    std::uint32_t node) {
    return store.make(raw_name, 0, true, node);
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

  // Adds to `to` the links of `from` whose entry's name `keep` accepts (by
  // the address of its bytes).
  template <class Keep>
  static void copy_links(HardLinkTable& to, const HardLinkTable& from, Keep keep) {
    for (const std::vector<HardLinkTable::Noted>& block : from.blocks_) {
      for (const HardLinkTable::Noted& noted : block) {
        if (keep(noted.key)) to.note(noted);
      }
    }
  }
  // The key copy_links gives an entry.
  static const char* link_key(const ChildEntry& entry) { return entry.name().data(); }

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

}  // namespace tessaly
