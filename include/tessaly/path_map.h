/// @file
/// Maps keyed by directory paths that store each path once, as a node below
/// its parent: the memory of a deep tree's keys stays linear in its
/// directories. The result's maps are of this kind.
#pragma once

#include <tessaly/export.h>

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
#include <utility>
#include <vector>

namespace tessaly {

/// How a path-keyed map compares keys.
enum class PathKeying : std::uint8_t {
  kComponents,  ///< by path components: "/a//b/" and "/a/b" are one key
  kBytes,       ///< byte for byte
};

class PathNodes;
struct PathMapAccess;

/// The keys of one PathMap, each numbered by the slot of its value in
/// insertion order. Memory is linear in the number of directories whatever
/// their depth; finding a key costs time linear in its length. The keys of a
/// scan's directory totals are the nodes of its children lists' paths, held
/// once for both maps.
class TESSALY_EXPORT PathKeys {
 public:
  /// find's answer for a key that is not in the map.
  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);

  /// No keys, compared as `keying` says.
  explicit PathKeys(PathKeying keying);
  /// The same keys, stored anew.
  PathKeys(const PathKeys& other);
  /// Takes `other`'s keys, leaving it empty.
  PathKeys(PathKeys&& other);
  /// Replaces the keys with a copy of `other`'s.
  PathKeys& operator=(const PathKeys& other);
  /// Replaces the keys with `other`'s, leaving it empty.
  PathKeys& operator=(PathKeys&& other) noexcept;
  /// Frees the keys.
  ~PathKeys();

  /// The slot of `key` under the keying, or kAbsent.
  std::size_t find(std::string_view key) const;
  /// The slot of `key`, a new one (the next in order) when it was absent, and
  /// whether it was.
  std::pair<std::size_t, bool> emplace(std::string_view key);
  /// The key of `slot` (for a key given in another spelling of the same
  /// components, the spelling first given).
  std::string key(std::size_t slot) const;
  /// Number of keys.
  std::size_t size() const { return owners_.size(); }
  /// Makes room for `keys` keys.
  void reserve(std::size_t keys);
  /// Removes every key.
  void clear();

 private:
  friend struct PathMapAccess;
  // Gives the map a trie of its own, of its keying, holding its keys (when
  // it borrows one or has none yet).
  void own_nodes();

  PathKeying keying_;
  // The trie. A map that borrows another map's trie (compared by components)
  // holds only the nodes whose whole text is a key byte for byte, by their
  // slot in `node_slots_`; it never adds nodes to it, and stores its own
  // trie as soon as a key needs one.
  std::shared_ptr<PathNodes> nodes_;
  std::vector<std::uint32_t> owners_;      // the node of each slot
  std::vector<std::uint32_t> node_slots_;  // borrowed: the slot of each node
  bool borrowed_ = false;
};

/// A map from directory paths to values, with the interface of an unordered
/// map keyed by path text. Iteration visits keys in insertion order and
/// yields (text, value) pairs whose text is materialized from the stored
/// paths. References to values stay valid until the map is cleared.
template <typename Value, PathKeying Keying>
class PathMap {
 public:
  /// Keys are given as text and yielded as std::string.
  using key_type = std::string;
  /// The values.
  using mapped_type = Value;
  /// What iteration yields.
  using value_type = std::pair<std::string, Value>;
  /// Counts.
  using size_type = std::size_t;

  /// An input iterator in insertion order; `Const` for a const map.
  template <bool Const>
  class Iterator {
    using Map = std::conditional_t<Const, const PathMap, PathMap>;
    using Ref = std::conditional_t<Const, const Value&, Value&>;

   public:
    /// Single pass.
    using iterator_category = std::input_iterator_tag;
    /// The pair a step yields, by value.
    using value_type = std::pair<std::string, Value>;
    /// Distances.
    using difference_type = std::ptrdiff_t;
    /// The key text and a reference to the value.
    using reference = std::pair<std::string, Ref>;
    /// What operator-> gives: holds the pair.
    struct pointer {
      /// The pair.
      reference pair;
      /// The pair's address.
      const reference* operator->() const { return &pair; }
    };

    /// An iterator of no map.
    Iterator() = default;
    /// The iterator at `index` (insertion order) of `map`.
    Iterator(Map* map, std::size_t index) : map_(map), index_(index) {}
    /// The same position, read-only.
    operator Iterator<true>() const requires(!Const) { return Iterator<true>(map_, index_); }
    /// The position in insertion order.
    std::size_t index() const { return index_; }

    /// The key (as text) and value here.
    reference operator*() const {
      return reference(map_->keys_.key(index_), map_->values_[index_]);
    }
    /// The same, for member access.
    pointer operator->() const { return pointer{**this}; }
    /// Steps to the next key.
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    /// Steps to the next key, giving the position before.
    Iterator operator++(int) {
      Iterator before = *this;
      ++index_;
      return before;
    }
    /// Same position.
    friend bool operator==(const Iterator& a, const Iterator& b) { return a.index_ == b.index_; }

   private:
    Map* map_ = nullptr;
    std::size_t index_ = 0;
  };
  /// Iterator of a mutable map.
  using iterator = Iterator<false>;
  /// Iterator of a const map.
  using const_iterator = Iterator<true>;

  /// An empty map.
  PathMap() = default;
  /// A map of `entries`; a repeated key keeps the last value.
  PathMap(std::initializer_list<std::pair<std::string_view, Value>> entries) {
    for (const auto& [key, value] : entries) (*this)[key] = value;
  }

  /// Number of keys.
  std::size_t size() const { return values_.size(); }
  /// No keys.
  bool empty() const { return values_.empty(); }
  /// First key in insertion order.
  iterator begin() { return iterator(this, 0); }
  /// Past the last key.
  iterator end() { return iterator(this, values_.size()); }
  /// First key in insertion order.
  const_iterator begin() const { return const_iterator(this, 0); }
  /// Past the last key.
  const_iterator end() const { return const_iterator(this, values_.size()); }

  /// The entry of `key` under the keying, or end().
  iterator find(std::string_view key) { return iterator(this, slot_of(key)); }
  /// The entry of `key` under the keying, or end().
  const_iterator find(std::string_view key) const { return const_iterator(this, slot_of(key)); }
  /// Whether `key` is a key.
  bool contains(std::string_view key) const { return slot_of(key) != values_.size(); }
  /// 1 when `key` is a key, else 0.
  std::size_t count(std::string_view key) const { return contains(key) ? 1 : 0; }
  /// The value of `key`; std::out_of_range when absent.
  Value& at(std::string_view key) { return values_[checked_slot(key)]; }
  /// The value of `key`; std::out_of_range when absent.
  const Value& at(std::string_view key) const { return values_[checked_slot(key)]; }

  /// The value of `key`, created (default) when absent.
  Value& operator[](std::string_view key) { return values_[try_emplace(key).first.index()]; }
  /// The entry of `key`, created with a default value when absent, and
  /// whether it was.
  std::pair<iterator, bool> try_emplace(std::string_view key) {
    const auto [slot, inserted] = keys_.emplace(key);
    if (inserted) values_.emplace_back();
    return {iterator(this, slot), inserted};
  }
  /// Sets the value of `key` to `value`; the entry, and whether it was new.
  std::pair<iterator, bool> insert_or_assign(std::string_view key, Value value) {
    auto placed = try_emplace(key);
    values_[placed.first.index()] = std::move(value);
    return placed;
  }

  /// Makes room for `keys` keys.
  void reserve(std::size_t keys) { keys_.reserve(keys); }
  /// Removes every entry.
  void clear() {
    keys_.clear();
    values_.clear();
  }

  /// The same keys under the keying, each with an equal value.
  friend bool operator==(const PathMap& a, const PathMap& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.values_.size(); ++i) {
      const std::size_t other = b.slot_of(a.keys_.key(i));
      if (other == b.values_.size() || !(b.values_[other] == a.values_[i])) return false;
    }
    return true;
  }

 private:
  friend struct PathMapAccess;

  std::size_t slot_of(std::string_view key) const {
    const std::size_t slot = keys_.find(key);
    return slot == PathKeys::kAbsent ? values_.size() : slot;
  }
  std::size_t checked_slot(std::string_view key) const {
    const std::size_t slot = slot_of(key);
    if (slot == values_.size()) throw std::out_of_range("path not in map");
    return slot;
  }

  PathKeys keys_{Keying};
  std::deque<Value> values_;
};

}  // namespace tessaly
