#include "result/result.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/clock.h"
#include "base/utf8.h"

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

// Node flags.
constexpr std::uint32_t kWholeText = 1;      // the name is the node's whole text
constexpr std::uint32_t kEndsWithSlash = 2;  // the text ends with "/"
constexpr std::uint32_t kEmptyText = 4;      // the text is empty
constexpr std::uint32_t kKeyText = 8;        // keyed by another spelling

constexpr std::uint64_t kFnvBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

std::uint64_t fnv(std::uint64_t state, std::string_view bytes) {
  for (const char c : bytes) {
    state ^= static_cast<unsigned char>(c);
    state *= kFnvPrime;
  }
  return state;
}

constexpr std::uint64_t inverse(std::uint64_t odd) {
  std::uint64_t x = odd;
  for (int i = 0; i < 6; ++i) x *= 2 - odd * x;
  return x;
}
constexpr std::uint64_t kFnvPrimeInverse = inverse(kFnvPrime);
static_assert(kFnvPrime * kFnvPrimeInverse == 1);

// The state fnv() was given, from the state it returned for `bytes`.
std::uint64_t unfnv(std::uint64_t state, std::string_view bytes) {
  for (std::size_t i = bytes.size(); i-- > 0;) {
    state *= kFnvPrimeInverse;
    state ^= static_cast<unsigned char>(bytes[i]);
  }
  return state;
}

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
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

bool is_one_component(std::string_view name) {
  return !name.empty() && name != "." && name.find('/') == std::string_view::npos;
}

// Where the component `part`, yielded by PathComponents over `path`, ends in
// `path`.
std::size_t component_end(std::string_view path, std::string_view part) {
  const char* begin = path.data();
  if (part.data() >= begin && part.data() < begin + path.size()) {
    return static_cast<std::size_t>(part.data() - begin) + part.size();
  }
  return 1;  // the root component, yielded as a literal "/"
}

// truncate_to_depth, also telling through `decided` how many leading bytes of
// `path` determine the answer (0 when that cannot be told).
std::string ancestor_at_depth(std::string_view root, std::string_view path, std::uint64_t depth,
                              std::size_t* decided) {
  PathComponents root_components(root);
  PathComponents path_components(path);
  std::string_view root_part;
  std::string_view path_part;
  std::size_t end = 0;
  if (decided != nullptr) *decided = 0;
  while (root_components.next(root_part)) {
    if (!path_components.next(path_part) || path_part != root_part) return std::string(root);
    end = component_end(path, path_part);
  }
  std::string ancestor(root);
  for (std::uint64_t i = 0; i < depth && path_components.next(path_part); ++i) {
    append_path(ancestor, path_part);
    end = component_end(path, path_part);
  }
  if (decided != nullptr) *decided = end;
  return ancestor;
}

}  // namespace

bool is_bundle_name(std::string_view name) {
  if (name.size() < 4) return false;
  return std::any_of(kBundleSuffixes.begin(), kBundleSuffixes.end(),
                     [name](std::string_view suffix) { return name.ends_with(suffix); });
}

std::string truncate_to_depth(std::string_view root, std::string_view path, std::uint64_t depth) {
  return ancestor_at_depth(root, path, depth, nullptr);
}

std::uint64_t PathNodes::text_state(PathKeying keying, std::string_view text) {
  if (keying == PathKeying::kBytes) return fnv(kFnvBasis, text);
  std::uint64_t state = kFnvBasis;
  PathComponents components(text);
  std::string_view component;
  while (components.next(component)) state = component_state(state, component);
  return state;
}

std::uint64_t PathNodes::component_state(std::uint64_t state, std::string_view component) {
  return fnv(fnv(state, component), "/");
}

std::uint64_t PathNodes::child_state(std::uint32_t parent, std::string_view name) const {
  if (keying_ == PathKeying::kComponents) return component_state(nodes_[parent].state, name);
  return fnv(fnv(nodes_[parent].state, separator_below(parent)), name);
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

std::string PathNodes::text(std::uint32_t node) const {
  if ((nodes_[node].flags & kKeyText) != 0) return key_texts_.at(node);
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
  const std::uint64_t hash = mix(state);
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
  const std::uint64_t hash = mix(state);
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
  const std::uint64_t hash = mix(nodes_[node].state);
  std::size_t i = hash & mask_;
  while (slots_[i].node != kNone) i = (i + 1) & mask_;
  slots_[i] = Slot{node, static_cast<std::uint32_t>(hash >> 32)};
}

void PathNodes::reserve(std::size_t nodes) {
  nodes_.reserve(nodes);
  std::size_t capacity = 16;
  while (capacity * 3 < nodes * 4) capacity *= 2;
  if (capacity > slots_.size()) {
    slots_.assign(capacity, Slot{kNone, 0});
    mask_ = capacity - 1;
    for (std::uint32_t node = 0; node < nodes_.size(); ++node) insert_slot(node);
  }
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
  std::uint32_t flags = 0;
  if (parent == kNone) {
    flags |= kWholeText;
    if (name.empty()) flags |= kEmptyText;
    if (!name.empty() && name.back() == '/') flags |= kEndsWithSlash;
  } else if (name.empty() || name.back() == '/') {
    flags |= kEndsWithSlash;
  }
  const auto node = static_cast<std::uint32_t>(nodes_.size());
  nodes_.push_back(
      Node{state, names_.size(), static_cast<std::uint32_t>(name.size()), parent, kNone, flags});
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
                  ? unfnv(current, path.substr(parent_length, length - parent_length))
                  : unfnv(unfnv(current, "/"), name);
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
  // One frame per directory on the current path from `dir`. A directory is
  // found in each map from its parent's node and its name; its text is formed
  // only when a hash matches a node that is not that plain child, or when the
  // name is not a single component.
  struct Frame {
    const std::vector<ChildEntry>* children;
    std::size_t next_child;
    std::uint64_t total;
    std::uint64_t* size;
    std::uint64_t components_state;
    std::uint32_t listed_node;     // in children_map; kNone when absent
    std::uint32_t truncated_node;  // in truncated_sizes; kNone when absent
    std::uint32_t sized_node;      // in dir_sizes
    std::string_view name;         // raw name; the whole text for `dir`
  };
  constexpr std::uint32_t kNone = PathNodes::kNone;
  const PathNodes& listed = children_map.nodes();
  const PathNodes& truncated = truncated_sizes.nodes();
  PathNodes& sized = dir_sizes.nodes();
  std::vector<Frame> stack;
  std::string scratch;

  // The text of the child `name` of the innermost directory.
  const auto text_of = [&](std::string_view name) -> std::string_view {
    scratch.assign(stack.front().name);
    for (std::size_t i = 1; i < stack.size(); ++i) {
      scratch.append(separator_after(scratch)).append(stack[i].name);
    }
    scratch.append(separator_after(scratch)).append(name);
    return scratch;
  };
  const auto child_in = [&](const PathNodes& nodes, std::uint32_t parent, std::uint64_t state,
                            std::string_view name, bool plain) -> std::uint32_t {
    if (nodes.node_count() == 0) return kNone;
    if (plain) {
      const std::uint32_t found = nodes.find_child(state, parent, name);
      if (found != PathNodes::kUnsure) return found;
    }
    return nodes.find_hashed(text_of(name), state);
  };
  const auto push = [&](std::string_view name, std::uint32_t listed_node,
                        std::uint32_t truncated_node, std::uint32_t sized_node,
                        std::uint64_t components_state) {
    const std::uint64_t* own = truncated_sizes.value_of(truncated_node);
    stack.push_back(Frame{children_map.value_of(listed_node), 0, own == nullptr ? 0 : *own,
                          &dir_sizes.value_at(sized_node, {}, true), components_state, listed_node,
                          truncated_node, sized_node, name});
  };

  const std::uint64_t root_state = PathNodes::text_state(PathKeying::kComponents, dir);
  push(dir, listed.node_count() == 0 ? kNone : listed.find_hashed(dir, root_state),
       truncated.node_count() == 0 ? kNone : truncated.find_hashed(dir, root_state),
       sized.intern(dir), root_state);
  while (true) {
    Frame& frame = stack.back();
    if (frame.children != nullptr && frame.next_child < frame.children->size()) {
      const ChildEntry& child = (*frame.children)[frame.next_child++];
      if (!child.is_dir()) {
        frame.total += child.size();
        continue;
      }
      const std::string_view name = child.raw_name();
      // A child of an empty text gains a root component besides its name.
      const bool plain = is_one_component(name) && !(stack.size() == 1 && dir.empty());
      const std::uint64_t components_state =
          plain ? PathNodes::component_state(frame.components_state, name)
                : PathNodes::text_state(PathKeying::kComponents, text_of(name));
      const std::uint32_t listed_node =
          child_in(listed, frame.listed_node, components_state, name, plain);
      const std::uint32_t truncated_node =
          child_in(truncated, frame.truncated_node, components_state, name, plain);
      const std::uint64_t sized_state = sized.child_state(frame.sized_node, name);
      std::uint32_t sized_node = sized.find_child(sized_state, frame.sized_node, name);
      if (sized_node == PathNodes::kUnsure)
        sized_node = sized.find_hashed(text_of(name), sized_state);
      if (sized_node == kNone) sized_node = sized.add_child(frame.sized_node, name, sized_state);
      push(name, listed_node, truncated_node, sized_node, components_state);
      continue;
    }
    const std::uint64_t total = frame.total;
    *frame.size = total;
    stack.pop_back();
    if (stack.empty()) return total;
    stack.back().total += total;
  }
}

ScanAggregator::ScanAggregator(std::string_view root, std::uint64_t tree_depth)
    : root_(root), tree_depth_(tree_depth) {}

std::uint32_t ScanAggregator::children_node(std::string_view dir,
                                            const std::shared_ptr<const std::string>* holder) {
  PathNodes& nodes = children_map_.nodes();
  bool exact = false;
  const std::uint32_t node = anchor_node_ == PathNodes::kNone
                                 ? nodes.intern(dir, &exact)
                                 : nodes.intern_near(dir, anchor_node_, anchor_text_, &exact);
  if (!exact) {
    anchor_node_ = PathNodes::kNone;
    anchor_text_ = {};
    anchor_holder_.reset();
    return node;
  }
  anchor_node_ = node;
  if (holder != nullptr) {
    anchor_holder_ = *holder;
    anchor_text_ = **holder;
  } else {
    anchor_holder_.reset();
    anchor_copy_.assign(dir);
    anchor_text_ = anchor_copy_;
  }
  return node;
}

std::vector<ChildEntry>& ScanAggregator::list_for(std::string_view dir) {
  const std::uint32_t node = children_node(dir, nullptr);
  return children_map_.value_at(node, dir, node == anchor_node_);
}

std::vector<ChildEntry>& ScanAggregator::list_for(
    const std::shared_ptr<const std::string>& parent) {
  if (parent != list_parent_ || list_ == nullptr) {
    const std::uint32_t node = children_node(*parent, &parent);
    list_ = &children_map_.value_at(node, *parent, node == anchor_node_);
    list_parent_ = parent;
  }
  return *list_;
}

std::uint64_t& ScanAggregator::truncated_slot(std::string_view path) {
  // Paths that agree on the leading bytes that decided the last ancestor (and
  // continue with a new component there) share that ancestor.
  const std::size_t decided = truncated_prefix_.size();
  if (truncated_prefix_slot_ != nullptr && path.size() >= decided &&
      path.substr(0, decided) == truncated_prefix_ &&
      (path.size() == decided || path[decided] == '/' || truncated_prefix_.back() == '/')) {
    return *truncated_prefix_slot_;
  }
  std::size_t length = 0;
  const std::string ancestor = ancestor_at_depth(root_, path, tree_depth_, &length);
  std::uint64_t& slot = truncated_sizes_[ancestor];
  if (length == 0) {
    truncated_prefix_.clear();
    truncated_prefix_slot_ = nullptr;
  } else {
    truncated_prefix_.assign(path.substr(0, length));
    truncated_prefix_slot_ = &slot;
  }
  return slot;
}

std::uint64_t& ScanAggregator::truncated_slot_for(
    const std::shared_ptr<const std::string>& parent) {
  if (parent != truncated_parent_ || truncated_slot_ == nullptr) {
    truncated_slot_ = &truncated_slot(*parent);
    truncated_parent_ = parent;
  }
  return *truncated_slot_;
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

void ScanAggregator::expect_children(const std::shared_ptr<const std::string>& parent,
                                     std::uint64_t depth, std::size_t count) {
  if (depth > tree_depth_) return;
  std::vector<ChildEntry>& list = list_for(parent);
  list.reserve(list.size() + count);
}

void ScanAggregator::record_subtree_total(const SubtreeTotal& total) {
  note_large_file(total.parent, total.name, total.size);
  if (total.depth <= tree_depth_) {
    list_for(std::string_view(total.parent)).push_back(names_.entry(total.name, total.size, false));
    ++child_entry_count_;
  } else if (total.size != 0) {
    truncated_slot(join_path(total.parent, total.name)) += total.size;
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
    truncated_slot(dir) += file_bytes;
  }
}

void ScanAggregator::forget_caches() {
  list_parent_.reset();
  list_ = nullptr;
  anchor_node_ = PathNodes::kNone;
  anchor_text_ = {};
  anchor_holder_.reset();
  anchor_copy_.clear();
  truncated_parent_.reset();
  truncated_slot_ = nullptr;
  truncated_prefix_.clear();
  truncated_prefix_slot_ = nullptr;
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
  forget_caches();
  return finished;
}

}  // namespace tessaly
