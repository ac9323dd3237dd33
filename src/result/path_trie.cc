#include "result/path_trie.h"

#include <cstring>
#include <stdexcept>

#include "base/hash.h"

namespace tessaly {
namespace {

// Longest name a node holds, and most name bytes of one map's nodes together.
constexpr std::size_t kMaxNameBytes = std::size_t{1} << 28;
constexpr std::size_t kMaxMapNameBytes = 0xffff'ffffU;

// Node flags.
constexpr std::uint32_t kWholeText = 1;      // the name is the node's whole text
constexpr std::uint32_t kEndsWithSlash = 2;  // the text ends with "/"
constexpr std::uint32_t kEmptyText = 4;      // the text is empty
constexpr std::uint32_t kKeyText = 8;        // keyed by another spelling

constexpr std::uint64_t inverse(std::uint64_t odd) {
  std::uint64_t x = odd;
  for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
  return x;
}
constexpr std::uint64_t kFnvPrimeInverse = inverse(kFnvPrime);
static_assert(kFnvPrime * kFnvPrimeInverse == 1);

// The state fnv1a() was given, from the state it returned for `bytes`.
std::uint64_t unfnv1a(std::uint64_t state, std::string_view bytes) {
  for (std::size_t i = bytes.size(); i-- > 0;) {
    state *= kFnvPrimeInverse;
    state ^= static_cast<unsigned char>(bytes[i]);
  }
  return state;
}

// The components of a path from the last to the first: exactly those
// PathComponents yields, in reverse.
class ReverseComponents {
 public:
  explicit ReverseComponents(std::string_view path) : path_(path), end_(path.size()) {}

  bool previous(std::string_view& out) {
    if (done_) return false;
    while (true) {
      while (end_ > 0 && path_[end_ - 1] == '/') --end_;
      if (end_ == 0) {
        done_ = true;
        if (!path_.empty() && path_[0] == '/') {
          out = std::string_view("/");
          return true;
        }
        return false;
      }
      std::size_t start = end_;
      while (start > 0 && path_[start - 1] != '/') --start;
      const std::string_view segment = path_.substr(start, end_ - start);
      end_ = start;
      // "." counts only as the very first component of a relative path.
      if (segment == "." && start != 0) continue;
      out = segment;
      return true;
    }
  }

  // The text holding the components not yet yielded.
  std::string_view rest() const { return path_.substr(0, end_); }

 private:
  std::string_view path_;
  std::size_t end_;
  bool done_ = false;
};

}  // namespace

std::uint64_t PathNodes::text_state(PathKeying keying, std::string_view text) {
  if (keying == PathKeying::kBytes) return fnv1a(kFnvBasis, text);
  std::uint64_t state = kFnvBasis;
  PathComponents components(text);
  std::string_view component;
  while (components.next(component)) state = component_state(state, component);
  return state;
}

std::uint64_t PathNodes::component_state(std::uint64_t state, std::string_view component) {
  return fnv1a(fnv1a(state, component), "/");
}

std::uint64_t PathNodes::child_state(std::uint32_t parent, std::string_view name) const {
  if (keying_ == PathKeying::kComponents) return component_state(nodes_[parent].state, name);
  return fnv1a(fnv1a(nodes_[parent].state, separator_below(parent)), name);
}

std::string_view PathNodes::separator_below(std::uint32_t parent) const {
  const std::uint32_t flags = nodes_[parent].flags;
  if ((flags & kEmptyText) != 0) return "/";
  return (flags & kEndsWithSlash) != 0 ? std::string_view() : std::string_view("/");
}

bool PathNodes::same_text(std::uint32_t node, std::string_view text) const {
  std::size_t end = text.size();
  while (true) {
    const Node& current = nodes_[node];
    const std::string_view name = name_of(current);
    if (current.parent == kNone) return text.substr(0, end) == name;
    if (end < name.size() || text.substr(end - name.size(), name.size()) != name) return false;
    end -= name.size();
    const std::string_view separator = separator_below(current.parent);
    if (end < separator.size() ||
        text.substr(end - separator.size(), separator.size()) != separator) {
      return false;
    }
    end -= separator.size();
    node = current.parent;
  }
}

bool PathNodes::same_components(std::uint32_t node, std::string_view text) const {
  ReverseComponents components(text);
  std::string_view component;
  while (true) {
    const Node& current = nodes_[node];
    if (current.parent == kNone) return paths_equal(components.rest(), name_of(current));
    if (!components.previous(component) || component != name_of(current)) return false;
    node = current.parent;
  }
}

bool PathNodes::text_is(std::uint32_t node, std::string_view text) const {
  return same_text(node, text);
}

std::string PathNodes::text(std::uint32_t node, bool spelled) const {
  if (spelled && (nodes_[node].flags & kKeyText) != 0) return key_texts_.at(node);
  std::size_t length = 0;
  for (std::uint32_t n = node; n != kNone; n = nodes_[n].parent) {
    length += nodes_[n].name_length;
    if (nodes_[n].parent != kNone) length += separator_below(nodes_[n].parent).size();
  }
  std::string out(length, '\0');
  std::size_t end = length;
  for (std::uint32_t n = node; n != kNone; n = nodes_[n].parent) {
    const std::string_view name = name_of(nodes_[n]);
    end -= name.size();
    if (!name.empty()) std::memcpy(out.data() + end, name.data(), name.size());
    if (nodes_[n].parent != kNone) {
      const std::string_view separator = separator_below(nodes_[n].parent);
      end -= separator.size();
      if (!separator.empty()) std::memcpy(out.data() + end, separator.data(), separator.size());
    }
  }
  return out;
}

std::uint32_t PathNodes::find_hashed(std::string_view text, std::uint64_t state) const {
  if (slots_.empty()) return kNone;
  const std::uint64_t hash = hash_mix(state);
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot.node == kNone) return kNone;
    if (slot.tag != tag || nodes_[slot.node].state != state) continue;
    const bool equal = keying_ == PathKeying::kBytes ? same_text(slot.node, text)
                                                     : same_components(slot.node, text);
    if (equal) return slot.node;
  }
}

std::uint32_t PathNodes::find(std::string_view path) const {
  return find_hashed(path, text_state(keying_, path));
}

std::uint32_t PathNodes::find_child(std::uint64_t state, std::uint32_t parent,
                                    std::string_view name) const {
  if (slots_.empty()) return kNone;
  const std::uint64_t hash = hash_mix(state);
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  bool others = false;
  for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
    const Slot slot = slots_[i];
    if (slot.node == kNone) return others ? kUnsure : kNone;
    if (slot.tag != tag) continue;
    const Node& candidate = nodes_[slot.node];
    if (candidate.state != state) continue;
    if (parent != kNone && candidate.parent == parent && name_of(candidate) == name) {
      return slot.node;
    }
    others = true;
  }
}

void PathNodes::grow() {
  const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
  slots_.assign(capacity, Slot{kNone, 0});
  mask_ = capacity - 1;
  for (std::uint32_t node = 0; node < nodes_.size(); ++node) insert_slot(node);
}

void PathNodes::insert_slot(std::uint32_t node) {
  const std::uint64_t hash = hash_mix(nodes_[node].state);
  std::size_t i = hash & mask_;
  while (slots_[i].node != kNone) i = (i + 1) & mask_;
  slots_[i] = Slot{node, static_cast<std::uint32_t>(hash >> 32)};
}

void PathNodes::reserve(std::size_t nodes, std::size_t name_bytes) {
  nodes_.reserve(nodes);
  names_.reserve(name_bytes);
  std::size_t capacity = 16;
  while (capacity * 3 < nodes * 4) capacity *= 2;
  if (capacity > slots_.size()) {
    slots_.assign(capacity, Slot{kNone, 0});
    mask_ = capacity - 1;
    for (std::uint32_t node = 0; node < nodes_.size(); ++node) insert_slot(node);
  }
}

void PathNodes::shrink_to_fit() {
  nodes_.shrink_to_fit();
  names_.shrink_to_fit();
}

void PathNodes::clear() {
  nodes_.clear();
  names_.clear();
  slots_.clear();
  mask_ = 0;
  key_texts_.clear();
}

std::uint32_t PathNodes::add_node(std::uint32_t parent, std::string_view name,
                                  std::uint64_t state) {
  if (nodes_.size() >= kUnsure - 1) throw std::length_error("too many directories in one map");
  if (name.size() >= kMaxNameBytes) throw std::length_error("path too long for a map key");
  if (name.size() > kMaxMapNameBytes - names_.size()) {
    throw std::length_error("too many path bytes in one map");
  }
  std::uint32_t flags = 0;
  if (parent == kNone) {
    flags |= kWholeText;
    if (name.empty()) flags |= kEmptyText;
    if (!name.empty() && name.back() == '/') flags |= kEndsWithSlash;
  } else if (name.empty() || name.back() == '/') {
    flags |= kEndsWithSlash;
  }
  const auto node = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back(Node{state, static_cast<std::uint32_t>(names_.size()),
                        static_cast<std::uint32_t>(name.size()), flags, parent, kNone});
  names_.append(name);
  if ((nodes_.size()) * 4 > slots_.size() * 3) {
    grow();
  } else {
    insert_slot(node);
  }
  return node;
}

std::uint32_t PathNodes::add_child(std::uint32_t parent, std::string_view name,
                                   std::uint64_t state) {
  return add_node(parent, name, state);
}

std::uint32_t PathNodes::intern_child(std::uint32_t parent, std::string_view name) {
  const std::uint64_t state = child_state(parent, name);
  const std::uint32_t found = find_child(state, parent, name);
  if (found == kNone) return add_child(parent, name, state);
  if (found != kUnsure) return found;
  // Another node has the hash: the whole text decides.
  std::string text = this->text(parent);
  text.append(separator_below(parent));
  text.append(name);
  return intern(text);
}

std::size_t PathNodes::split_point(std::string_view path) const {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return slash;
  const std::string_view name = path.substr(slash + 1);
  if (name.empty()) return std::string_view::npos;
  if (keying_ == PathKeying::kComponents && name == ".") return std::string_view::npos;
  if (slash > 0 && path[slash - 1] == '/') return std::string_view::npos;
  return slash;
}

std::uint32_t PathNodes::create(std::string_view path, std::uint64_t state) {
  std::size_t slash = split_point(path);
  if (slash == std::string_view::npos) return add_node(kNone, path, state);
  // Names are taken off the end, and their bytes off the hash state, until a
  // stored text or one that cannot be split is met; the chain is then built
  // up from there. The work is linear in the length of the missing part.
  std::vector<Cut> missing;
  std::size_t length = path.size();
  std::uint64_t current = state;
  std::uint32_t node = kNone;
  while (true) {
    missing.push_back(Cut{length, slash, current});
    const std::size_t parent_length = slash == 0 ? 1 : slash;
    const std::string_view name = path.substr(slash + 1, length - slash - 1);
    current = keying_ == PathKeying::kBytes
                  ? unfnv1a(current, path.substr(parent_length, length - parent_length))
                  : unfnv1a(unfnv1a(current, "/"), name);
    length = parent_length;
    const std::string_view text = path.substr(0, length);
    node = find_hashed(text, current);
    if (node != kNone) {
      if (!same_text(node, text)) return add_node(kNone, path, state);
      break;
    }
    slash = split_point(text);
    if (slash == std::string_view::npos) {
      node = add_node(kNone, text, current);
      break;
    }
  }
  for (std::size_t i = missing.size(); i-- > 0;) {
    const Cut& cut = missing[i];
    node = add_node(node, path.substr(cut.slash + 1, cut.length - cut.slash - 1), cut.state);
  }
  return node;
}

std::uint32_t PathNodes::intern(std::string_view path, bool* exact) {
  const std::uint64_t state = text_state(keying_, path);
  const std::uint32_t found = find_hashed(path, state);
  if (found == kNone) {
    if (exact != nullptr) *exact = true;
    return create(path, state);
  }
  if (exact != nullptr) *exact = keying_ == PathKeying::kBytes || same_text(found, path);
  return found;
}

std::uint32_t PathNodes::intern_near(std::string_view path, std::uint32_t hint,
                                     std::string_view hint_text, bool* exact) {
  const std::size_t slash = split_point(path);
  if (slash == std::string_view::npos || hint == kNone) return intern(path, exact);
  const std::size_t parent_length = slash == 0 ? 1 : slash;
  std::uint32_t parent = kNone;
  if (parent_length <= hint_text.size() &&
      path.substr(0, parent_length) == hint_text.substr(0, parent_length)) {
    // Up from the hint to the ancestor whose text is the parent's.
    std::uint32_t node = hint;
    std::size_t length = hint_text.size();
    while (length > parent_length && nodes_[node].parent != kNone) {
      length -= nodes_[node].name_length + separator_below(nodes_[node].parent).size();
      node = nodes_[node].parent;
    }
    if (length == parent_length) parent = node;
  }
  if (parent == kNone && hint_text.size() == slash + 1 && hint_text.back() == '/' &&
      path.substr(0, slash + 1) == hint_text) {
    parent = hint;  // below a text ending in "/", which takes no separator
  }
  if (parent == kNone) return below_hint(path, hint, hint_text, exact);
  const std::string_view name = path.substr(slash + 1);
  const std::uint64_t state = child_state(parent, name);
  std::uint32_t node = find_child(state, parent, name);
  if (node == kUnsure) return intern(path, exact);
  if (node == kNone) node = add_node(parent, name, state);
  if (exact != nullptr) *exact = true;
  return node;
}

std::uint32_t PathNodes::below_hint(std::string_view path, std::uint32_t hint,
                                    std::string_view hint_text, bool* exact) {
  // `path` lies several levels below the hint when it continues the hint's
  // text with a separator; the levels in between are found or added one by
  // one from the hint.
  const bool continues =
      path.size() > hint_text.size() + 1 && path.starts_with(hint_text) &&
      ((!hint_text.empty() && hint_text.back() == '/') || path[hint_text.size()] == '/');
  if (!continues || (nodes_[hint].flags & kEmptyText) != 0) return intern(path, exact);
  std::size_t start = hint_text.size();
  if (hint_text.back() != '/') ++start;
  // Every name must be a single component after a single separator.
  for (std::size_t at = start; at <= path.size(); ++at) {
    if (at == path.size() || path[at] == '/') {
      const std::string_view name = path.substr(start, at - start);
      if (name.empty() || name == ".") return intern(path, exact);
      start = at + 1;
    }
  }
  std::uint32_t node = hint;
  start = hint_text.size() + (hint_text.back() == '/' ? 0 : 1);
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(start, end - start);
    const std::uint64_t state = child_state(node, name);
    std::uint32_t child = find_child(state, node, name);
    if (child == kUnsure) return intern(path, exact);
    if (child == kNone) child = add_node(node, name, state);
    node = child;
    start = end + 1;
  }
  if (exact != nullptr) *exact = true;
  return node;
}

void PathNodes::set_value(std::uint32_t node, std::uint32_t slot, std::string_view key,
                          bool key_is_text) {
  Node& target = nodes_[node];
  if (target.value == kNone && !key_is_text && keying_ == PathKeying::kComponents &&
      !same_text(node, key)) {
    key_texts_.insert_or_assign(node, std::string(key));
    target.flags |= kKeyText;
  }
  target.value = slot;
}

}  // namespace tessaly

namespace tessaly {

namespace {

// The trie of a map that has none yet.
const PathNodes& no_nodes(PathKeying keying) {
  static const PathNodes components(PathKeying::kComponents);
  static const PathNodes bytes(PathKeying::kBytes);
  return keying == PathKeying::kBytes ? bytes : components;
}

}  // namespace

PathKeys::PathKeys(PathKeying keying) : keying_(keying) {}

PathKeys::PathKeys(const PathKeys& other)
    : keying_(other.keying_),
      nodes_(other.borrowed_ || !other.nodes_ ? other.nodes_
                                              : std::make_shared<PathNodes>(*other.nodes_)),
      owners_(other.owners_),
      node_slots_(other.node_slots_),
      borrowed_(other.borrowed_) {}

PathKeys::PathKeys(PathKeys&& other)
    : keying_(other.keying_),
      nodes_(std::move(other.nodes_)),
      owners_(std::move(other.owners_)),
      node_slots_(std::move(other.node_slots_)),
      borrowed_(std::exchange(other.borrowed_, false)) {
  other.clear();
}

PathKeys& PathKeys::operator=(const PathKeys& other) {
  if (this != &other) *this = PathKeys(other);
  return *this;
}

PathKeys& PathKeys::operator=(PathKeys&& other) noexcept {
  std::swap(keying_, other.keying_);
  std::swap(nodes_, other.nodes_);
  std::swap(owners_, other.owners_);
  std::swap(node_slots_, other.node_slots_);
  std::swap(borrowed_, other.borrowed_);
  other.clear();
  return *this;
}

PathKeys::~PathKeys() = default;

std::size_t PathKeys::find(std::string_view key) const {
  if (!nodes_) return kAbsent;
  const std::uint32_t node = nodes_->find(key);
  if (node == PathNodes::kNone) return kAbsent;
  if (!borrowed_) return nodes_->value(node) == PathNodes::kNone ? kAbsent : nodes_->value(node);
  if (node >= node_slots_.size() || node_slots_[node] == PathNodes::kNone) return kAbsent;
  if (keying_ == PathKeying::kBytes && !nodes_->text_is(node, key)) return kAbsent;
  return node_slots_[node];
}

void PathKeys::own_nodes() {
  if (nodes_ && !borrowed_) return;
  auto own = std::make_shared<PathNodes>(keying_);
  std::vector<std::uint32_t> owners;
  owners.reserve(owners_.size());
  for (std::size_t slot = 0; slot < owners_.size(); ++slot) {
    const std::string text = nodes_->text(owners_[slot], false);
    const std::uint32_t node = own->intern(text);
    own->set_value(node, static_cast<std::uint32_t>(slot), text, true);
    owners.push_back(node);
  }
  nodes_ = std::move(own);
  owners_ = std::move(owners);
  std::vector<std::uint32_t>().swap(node_slots_);
  borrowed_ = false;
}

std::pair<std::size_t, bool> PathKeys::emplace(std::string_view key) {
  if (borrowed_) {
    const std::uint32_t node = nodes_->find(key);
    if (node != PathNodes::kNone && (keying_ != PathKeying::kBytes || nodes_->text_is(node, key))) {
      if (node >= node_slots_.size()) node_slots_.resize(nodes_->node_count(), PathNodes::kNone);
      if (node_slots_[node] != PathNodes::kNone) return {node_slots_[node], false};
      owners_.push_back(node);
      node_slots_[node] = static_cast<std::uint32_t>(owners_.size() - 1);
      return {owners_.size() - 1, true};
    }
  }
  own_nodes();
  bool exact = false;
  const std::uint32_t node = nodes_->intern(key, &exact);
  if (nodes_->value(node) != PathNodes::kNone) return {nodes_->value(node), false};
  nodes_->set_value(node, static_cast<std::uint32_t>(owners_.size()), key, exact);
  owners_.push_back(node);
  return {owners_.size() - 1, true};
}

std::string PathKeys::key(std::size_t slot) const {
  return nodes_->text(owners_[slot], !borrowed_);
}

void PathKeys::reserve(std::size_t keys) {
  if (!borrowed_) {
    own_nodes();
    nodes_->reserve(keys);
  }
  owners_.reserve(keys);
}

void PathKeys::clear() {
  // A trie another map also holds is let go, never emptied under it.
  if (borrowed_ || nodes_.use_count() > 1) {
    nodes_.reset();
  } else if (nodes_) {
    nodes_->clear();
  }
  owners_.clear();
  node_slots_.clear();
  borrowed_ = false;
}

const PathNodes& PathMapAccess::nodes(const PathKeys& keys) {
  return keys.nodes_ ? *keys.nodes_ : no_nodes(keys.keying_);
}

PathNodes& PathMapAccess::nodes(PathKeys& keys) {
  keys.own_nodes();
  return *keys.nodes_;
}

void PathMapAccess::borrow(PathKeys& keys, const PathKeys& lender) {
  keys.clear();
  if (!lender.nodes_) return;
  keys.nodes_ = lender.nodes_;
  keys.borrowed_ = true;
  keys.node_slots_.assign(lender.nodes_->node_count(), PathNodes::kNone);
  keys.owners_.reserve(lender.nodes_->node_count());
}

std::size_t PathMapAccess::borrowed_slot(PathKeys& keys, std::uint32_t node) {
  std::uint32_t& slot = keys.node_slots_[node];
  if (slot == PathNodes::kNone) {
    keys.owners_.push_back(node);
    slot = static_cast<std::uint32_t>(keys.owners_.size() - 1);
  }
  return slot;
}

}  // namespace tessaly
