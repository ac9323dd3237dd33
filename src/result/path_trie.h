// Maps keyed by directory paths that store each path once, as a node below its
// parent: the memory of a deep tree's keys stays linear in its directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/paths.h"

namespace tessaly {

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

}  // namespace tessaly
