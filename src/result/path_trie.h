// The path trie behind the result's maps (the public side is
// <tessaly/path_map.h>): the nodes with their hash states, and the node-level
// access the aggregation of a scan uses. Keys compared by components follow
// paths_equal.
#pragma once

#include <tessaly/path_map.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/paths.h"

namespace tessaly {

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

  // The node of the child `name` (one component, as a directory listing
  // gives it) of the node `parent`, created when absent, without forming
  // the parent's text.
  std::uint32_t intern_child(std::uint32_t parent, std::string_view name);

  // The node's text: when `spelled`, for a key given in another spelling of
  // the same components, the spelling first given as key.
  std::string text(std::uint32_t node, bool spelled = true) const;
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

  // Makes room for `nodes` nodes whose names take `name_bytes` together.
  void reserve(std::size_t nodes, std::size_t name_bytes = 0);
  // Bytes of all nodes' names together.
  std::size_t name_bytes() const { return names_.size(); }
  // Gives back the room kept for nodes not yet made.
  void shrink_to_fit();
  void clear();

 private:
  // 24 bytes: a map keeps one per directory.
  struct Node {
    std::uint64_t state;
    std::uint32_t name_offset;
    std::uint32_t name_length : 28;
    std::uint32_t flags : 4;
    std::uint32_t parent;  // kNone for a node holding its whole text
    std::uint32_t value;
  };
  struct Slot {
    std::uint32_t node;
    std::uint32_t tag;
  };

  // Nodes in blocks of 4,096 that never move: the trie grows without
  // copying them or reserving room for as many again.
  class NodeBlocks {
   public:
    NodeBlocks() = default;
    NodeBlocks(const NodeBlocks& other) { *this = other; }
    NodeBlocks(NodeBlocks&&) noexcept = default;
    NodeBlocks& operator=(NodeBlocks&&) noexcept = default;
    ~NodeBlocks() = default;
    NodeBlocks& operator=(const NodeBlocks& other) {
      if (this == &other) return *this;
      std::vector<std::unique_ptr<Node[]>> blocks;
      blocks.reserve(other.blocks_.size());
      for (const auto& block : other.blocks_) {
        blocks.push_back(std::make_unique<Node[]>(kBlock));
        std::copy_n(block.get(), kBlock, blocks.back().get());
      }
      blocks_ = std::move(blocks);
      size_ = other.size_;
      return *this;
    }
    Node& operator[](std::size_t i) { return blocks_[i >> kShift][i & (kBlock - 1)]; }
    const Node& operator[](std::size_t i) const { return blocks_[i >> kShift][i & (kBlock - 1)]; }
    std::size_t size() const { return size_; }
    void push_back(const Node& node) {
      if ((size_ >> kShift) == blocks_.size()) blocks_.push_back(std::make_unique<Node[]>(kBlock));
      (*this)[size_++] = node;
    }
    void reserve(std::size_t nodes) { blocks_.reserve((nodes + kBlock - 1) >> kShift); }
    void shrink_to_fit() { blocks_.shrink_to_fit(); }
    void clear() {
      blocks_.clear();
      size_ = 0;
    }

   private:
    static constexpr std::size_t kShift = 12;
    static constexpr std::size_t kBlock = std::size_t{1} << kShift;
    std::vector<std::unique_ptr<Node[]>> blocks_;
    std::size_t size_ = 0;
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
  NodeBlocks nodes_;
  std::string names_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  // Keys whose spelling differs from the text of the node that already stood
  // for their components.
  std::unordered_map<std::uint32_t, std::string> key_texts_;
};

// Node-level access to a PathMap, for the aggregation of a scan.
struct PathMapAccess {
  // The trie of `keys`; the mutable one is the map's own (a borrowed trie is
  // copied first).
  static const PathNodes& nodes(const PathKeys& keys);
  static PathNodes& nodes(PathKeys& keys);

  template <typename Value, PathKeying Keying>
  static const PathNodes& nodes(const PathMap<Value, Keying>& map) {
    return nodes(map.keys_);
  }
  template <typename Value, PathKeying Keying>
  static PathNodes& nodes(PathMap<Value, Keying>& map) {
    return nodes(map.keys_);
  }

  // Empties `map` and makes the nodes of `lender`'s trie its possible keys:
  // a node whose text is a key of `map` byte for byte becomes one through
  // value_of_node, without a node of its own. The trie is held, not copied,
  // and stays unchanged while `map` holds it.
  template <typename Value, PathKeying Keying, typename LenderValue, PathKeying LenderKeying>
  static void borrow(PathMap<Value, Keying>& map,
                     const PathMap<LenderValue, LenderKeying>& lender) {
    map.values_.clear();
    borrow(map.keys_, lender.keys_);
  }
  // The value of `node` of the borrowed trie, whose text is the key,
  // created (default) when absent.
  template <typename Value, PathKeying Keying>
  static Value& value_of_node(PathMap<Value, Keying>& map, std::uint32_t node) {
    const std::size_t slot = borrowed_slot(map.keys_, node);
    if (slot == map.values_.size()) map.values_.emplace_back();
    return map.values_[slot];
  }
  // Whether `map` borrows a trie.
  template <typename Value, PathKeying Keying>
  static bool borrows(const PathMap<Value, Keying>& map) {
    return map.keys_.borrowed_;
  }

  // The value of `node`, created (default) when the node has none; `key` is
  // the text the node is keyed by, known to be the node's text when
  // `key_is_text`.
  template <typename Value, PathKeying Keying>
  static Value& value_at(PathMap<Value, Keying>& map, std::uint32_t node, std::string_view key,
                         bool key_is_text) {
    PathKeys& keys = map.keys_;
    nodes(keys);  // the map's own trie
    if (keys.nodes_->value(node) == PathNodes::kNone) {
      keys.nodes_->set_value(node, static_cast<std::uint32_t>(keys.owners_.size()), key,
                             key_is_text);
      keys.owners_.push_back(node);
      map.values_.emplace_back();
    }
    return map.values_[keys.nodes_->value(node)];
  }

  // The value of `node`, or nullptr.
  template <typename Value, PathKeying Keying>
  static const Value* value_of(const PathMap<Value, Keying>& map, std::uint32_t node) {
    if (map.keys_.borrowed_ || !map.keys_.nodes_) return nullptr;
    const PathNodes& nodes = *map.keys_.nodes_;
    if (node >= PathNodes::kUnsure || nodes.value(node) == PathNodes::kNone) return nullptr;
    return &map.values_[nodes.value(node)];
  }

 private:
  static void borrow(PathKeys& keys, const PathKeys& lender);
  static std::size_t borrowed_slot(PathKeys& keys, std::uint32_t node);
};

}  // namespace tessaly
