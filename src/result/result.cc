#include "result/result.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#include "base/paths.h"
#include "base/utf8.h"

namespace tessaly {
namespace {

constexpr std::size_t kNameBlockBytes = 64 * 1024;
// Lists are carved from blocks of 16,384 entries (256 KiB); a list of more
// than a sixteenth of that gets a block of its own, so a block's unused tail
// stays small.
constexpr std::size_t kListBlockEntries = 16384;
constexpr std::size_t kOwnBlockEntries = kListBlockEntries / 16;
constexpr std::size_t kMaxListEntries = 0xffff'ffffU;

// The separator compute_dir_sizes puts between a directory's text and a
// child's name.
std::string_view separator_after(std::string_view dir) {
  if (dir.empty()) return "/";
  return dir.back() == '/' ? std::string_view() : std::string_view("/");
}

}  // namespace

NameStore::NameStore(NameStore&& other) noexcept
    : blocks_(std::move(other.blocks_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      left_(std::exchange(other.left_, 0)),
      list_cursor_(std::exchange(other.list_cursor_, nullptr)),
      list_left_(std::exchange(other.list_left_, 0)),
      capacity_bytes_(std::exchange(other.capacity_bytes_, 0)) {
  other.blocks_.clear();
}

NameStore& NameStore::operator=(NameStore&& other) noexcept {
  if (this != &other) {
    blocks_ = std::move(other.blocks_);
    other.blocks_.clear();
    cursor_ = std::exchange(other.cursor_, nullptr);
    left_ = std::exchange(other.left_, 0);
    list_cursor_ = std::exchange(other.list_cursor_, nullptr);
    list_left_ = std::exchange(other.list_left_, 0);
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
      blocks_.push_back(std::shared_ptr<char[]>(new char[bytes]));
      capacity_bytes_ += bytes;
      return blocks_.back().get();
    }
    blocks_.push_back(std::shared_ptr<char[]>(new char[kNameBlockBytes]));
    capacity_bytes_ += kNameBlockBytes;
    cursor_ = blocks_.back().get();
    left_ = kNameBlockBytes;
  }
  char* out = cursor_;
  cursor_ += bytes;
  left_ -= bytes;
  return out;
}

void NameStore::share(const NameStore& other) {
  // A block shared is never written again: new names go to a block of this
  // store's own (other's cursor stays where it was).
  blocks_.insert(blocks_.end(), other.blocks_.begin(), other.blocks_.end());
}

void NameStore::grow(ChildList& list, std::size_t more) {
  const std::size_t size = list.size_;
  if (more > kMaxListEntries - size) throw std::length_error("too many entries in one list");
  const std::size_t needed = size + more;
  // The list carved last from the current block grows in place, up to the
  // size from which a list has a block of its own: a list of a larger
  // capacity is always alone in its block, which it frees when it moves.
  if (list.capacity_ != 0 && list.data_ + list.capacity_ == list_cursor_ &&
      needed - list.capacity_ <= list_left_ && needed <= kOwnBlockEntries) {
    const std::size_t extra = needed - list.capacity_;
    list_cursor_ += extra;
    list_left_ -= extra;
    list.capacity_ = static_cast<std::uint32_t>(needed);
    return;
  }
  // Otherwise it moves: a first carving takes what is asked, a move twice
  // the size, so that growing one entry at a time stays linear.
  const std::size_t capacity =
      size == 0 ? needed : std::max(needed, std::min(2 * size, kMaxListEntries));
  ChildEntry* room = nullptr;
  if (capacity > kOwnBlockEntries) {
    const std::size_t bytes = capacity * sizeof(ChildEntry);
    blocks_.push_back(std::shared_ptr<char[]>(new char[bytes]));
    capacity_bytes_ += bytes;
    room = reinterpret_cast<ChildEntry*>(blocks_.back().get());
  } else {
    if (capacity > list_left_) {
      constexpr std::size_t kBytes = kListBlockEntries * sizeof(ChildEntry);
      blocks_.push_back(std::shared_ptr<char[]>(new char[kBytes]));
      capacity_bytes_ += kBytes;
      list_cursor_ = reinterpret_cast<ChildEntry*>(blocks_.back().get());
      list_left_ = kListBlockEntries;
    }
    room = list_cursor_;
    list_cursor_ += capacity;
    list_left_ -= capacity;
  }
  std::uninitialized_copy_n(list.data_, size, room);
  if (list.capacity_ > kOwnBlockEntries) {
    // The block the list leaves was its own (a copy has no capacity, so a
    // block of another store is never one); searched from the newest.
    const auto old = std::find_if(blocks_.rbegin() + 1, blocks_.rend(), [&](const auto& block) {
      return block.get() == reinterpret_cast<char*>(list.data_);
    });
    if (old != blocks_.rend()) {
      capacity_bytes_ -= std::size_t{list.capacity_} * sizeof(ChildEntry);
      blocks_.erase(std::next(old).base());
    }
  }
  list.data_ = room;
  list.capacity_ = static_cast<std::uint32_t>(capacity);
}

std::size_t NameStore::encode_size(std::uint64_t size, unsigned char* out) {
  const bool scaled = (size & ((std::uint64_t{1} << ChildEntry::kSizeScaleBits) - 1)) == 0;
  std::uint64_t value = scaled ? size >> ChildEntry::kSizeScaleBits : size;
  unsigned char first = static_cast<unsigned char>(((value & ChildEntry::kFirstSizeBits) << 1) |
                                                   (scaled ? 0 : ChildEntry::kUnscaledSize));
  value >>= 6;
  std::size_t written = 1;
  if (value != 0) first |= ChildEntry::kMoreSize;
  out[0] = first;
  while (value != 0) {
    unsigned char byte = value & 0x7f;
    value >>= 7;
    if (value != 0) byte |= ChildEntry::kMoreSize;
    out[written++] = byte;
  }
  return written;
}

ChildEntry NameStore::entry(std::string_view raw_name, std::uint64_t size, bool is_dir) {
  return make(raw_name, size, is_dir, DirTable::kNoNode);
}

ChildEntry NameStore::make(std::string_view raw_name, std::uint64_t size, bool is_dir,
                           std::uint32_t node) {
  return ResultAccess::make_record([this](std::size_t bytes) { return allocate(bytes); }, raw_name,
                                   size, is_dir, node);
}

ChildEntry NameStore::with_node(const ChildEntry& directory, std::uint32_t node) {
  const std::size_t name_bytes = static_cast<std::size_t>(directory.tail() - directory.record_);
  char* data = allocate(name_bytes + ChildEntry::kNodeBytes);
  std::memcpy(data, directory.record_, name_bytes);
  std::memcpy(data + name_bytes, &node, sizeof node);
  return ChildEntry(data);
}

void HardLinkTable::add(const ChildEntry& entry, const HardLink& link) {
  note(Noted{ResultAccess::link_key(entry), link});
}

void HardLinkTable::note(const Noted& noted, bool new_run) {
  constexpr std::size_t kBlockLinks = std::size_t{1} << kBlockBits;
  bool starts_run = new_run && last_key_ != nullptr;
  if (blocks_.empty() || blocks_.back().size() == blocks_.back().capacity()) {
    // Places are 32 bits wide.
    if (blocks_.size() >= (std::size_t{1} << (32 - kBlockBits)))
      throw std::length_error("too many hard links in one result");
    // A run never leaves its block, so that sealing can find within one.
    starts_run = starts_run || !blocks_.empty();
    // Geometric up to a whole block, so that a table of a few links stays small.
    blocks_.emplace_back().reserve(std::clamp<std::size_t>(count_, 16, kBlockLinks));
  }
  const bool ascending = last_key_ == nullptr || std::less<>()(last_key_, noted.key);
  if (!ascending || starts_run) {
    sorted_ = sorted_ && ascending;
    run_starts_.push_back(
        static_cast<std::uint32_t>((blocks_.size() - 1) << kBlockBits | blocks_.back().size()));
  }
  last_key_ = noted.key;
  blocks_.back().push_back(noted);
  ++count_;
}

void HardLinkTable::seal() {
  if (sealed_count_ == count_ && (sorted_ || !order_.empty())) return;
  if (sorted_) {
    std::vector<std::uint32_t>().swap(order_);
  } else {
    order_places();
  }
  sealed_count_ = count_;
}

void HardLinkTable::order_places() {
  const auto before = [this](std::uint32_t a, std::uint32_t b) {
    return std::less<>()(at(a).key, at(b).key);
  };
  // Links come in runs of ascending keys, each within one block (records are
  // stored one after the other, in blocks that lie anywhere), whose starts
  // were noted: a run is its first and last place.
  struct Run {
    std::uint32_t first;
    std::uint32_t last;
  };
  std::vector<Run> runs;
  runs.reserve(run_starts_.size() + 1);
  const auto last_before = [this](std::uint32_t place) {
    const std::uint32_t block = place >> kBlockBits;
    if ((place & ((1U << kBlockBits) - 1)) != 0) return place - 1;
    return static_cast<std::uint32_t>((block - 1) << kBlockBits | (blocks_[block - 1].size() - 1));
  };
  std::uint32_t first = 0;
  for (const std::uint32_t start : run_starts_) {
    runs.push_back(Run{first, last_before(start)});
    first = start;
  }
  runs.push_back(Run{first, static_cast<std::uint32_t>((blocks_.size() - 1) << kBlockBits |
                                                       (blocks_.back().size() - 1))});
  std::sort(runs.begin(), runs.end(),
            [&](const Run& a, const Run& b) { return before(a.first, b.first); });
  bool apart = true;
  for (std::size_t r = 1; r < runs.size() && apart; ++r)
    apart = before(runs[r - 1].last, runs[r].first);
  order_.clear();
  if (apart && 2 * runs.size() != count_) {
    // Runs that each keep to one stretch of a block, as a collector notes
    // them, put in the order of their first keys are the whole order
    // already: order_ holds each run's first and last place, in that order
    // (never count_ numbers, which is how find() tells it from a link's).
    order_.reserve(2 * runs.size());
    for (const Run& run : runs) {
      order_.push_back(run.first);
      order_.push_back(run.last);
    }
    return;
  }
  // Otherwise order_ holds every place, the runs in the order of their first
  // keys merged pairwise, one pass over the places per halving of their
  // number.
  order_.reserve(count_);
  std::vector<std::size_t> bounds{0};
  for (const Run& run : runs) {
    for (std::uint32_t place = run.first;; ++place) {
      order_.push_back(place);
      if (place == run.last) break;
    }
    bounds.push_back(order_.size());
  }
  if (apart) return;
  std::vector<std::uint32_t> other(count_);
  const auto it = [](std::vector<std::uint32_t>& v, std::size_t i) {
    return v.begin() + static_cast<std::ptrdiff_t>(i);
  };
  while (bounds.size() > 2) {
    std::size_t kept = 1;
    std::size_t run = 0;
    for (; run + 2 < bounds.size(); run += 2) {
      std::merge(it(order_, bounds[run]), it(order_, bounds[run + 1]), it(order_, bounds[run + 1]),
                 it(order_, bounds[run + 2]), it(other, bounds[run]), before);
      bounds[kept++] = bounds[run + 2];
    }
    // An odd run out is merged on the next pass.
    if (run + 1 < bounds.size()) {
      std::copy(it(order_, bounds[run]), order_.end(), it(other, bounds[run]));
      bounds[kept++] = bounds.back();
    }
    bounds.resize(kept);
    order_.swap(other);
  }
}

const HardLink* HardLinkTable::find(const ChildEntry& entry) const {
  if (count_ == 0) return nullptr;
  const char* key = ResultAccess::link_key(entry);
  const auto below = [](const Noted& noted, const char* wanted) {
    return std::less<>()(noted.key, wanted);
  };
  if (sealed_count_ != count_) {
    for (const std::vector<Noted>& block : blocks_) {
      for (const Noted& noted : block) {
        if (noted.key == key) return &noted.link;
      }
    }
    return nullptr;
  }
  const auto in_block = [&](const std::vector<Noted>& block, std::size_t first,
                            std::size_t end) -> const HardLink* {
    const auto begin = block.begin() + static_cast<std::ptrdiff_t>(first);
    const auto stop = block.begin() + static_cast<std::ptrdiff_t>(end);
    const auto found = std::lower_bound(begin, stop, key, below);
    return found != stop && found->key == key ? &found->link : nullptr;
  };
  if (sorted_) {
    // The blocks in turn hold ascending keys: the last block starting at or
    // below the key holds it, if any does.
    const auto after = std::upper_bound(blocks_.begin(), blocks_.end(), key,
                                        [](const char* wanted, const std::vector<Noted>& b) {
                                          return std::less<>()(wanted, b.front().key);
                                        });
    if (after == blocks_.begin()) return nullptr;
    return in_block(*std::prev(after), 0, std::prev(after)->size());
  }
  if (order_.size() != count_) {
    // The runs' first and last places: the last run starting at or below the
    // key holds it, if any does.
    std::size_t low = 0;
    std::size_t high = order_.size() / 2;
    while (low < high) {
      const std::size_t middle = low + (high - low) / 2;
      if (std::less<>()(key, at(order_[2 * middle]).key)) {
        high = middle;
      } else {
        low = middle + 1;
      }
    }
    if (low == 0) return nullptr;
    const std::uint32_t first = order_[2 * (low - 1)];
    const std::uint32_t last = order_[2 * (low - 1) + 1];
    constexpr std::uint32_t kIndex = (1U << kBlockBits) - 1;
    return in_block(blocks_[first >> kBlockBits], first & kIndex, (last & kIndex) + 1);
  }
  const auto found = std::lower_bound(
      order_.begin(), order_.end(), key,
      [&](std::uint32_t place, const char* wanted) { return below(at(place), wanted); });
  return found != order_.end() && at(*found).key == key ? &at(*found).link : nullptr;
}

const ChildList* ScanResult::children_of(std::string_view dir) const {
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

ResultDirectory::ResultDirectory(const ScanResult& result, std::string path, std::uint32_t node)
    : result_(&result), path_(std::move(path)), node_(node) {
  if (node_ == DirTable::kNoNode) return;
  const ResultAccess::Node& dir = ResultAccess::node(*ResultAccess::table(result), node_);
  children_ = dir.children;
  size_ = dir.size;
}

std::uint64_t ResultDirectory::unlisted_size() const {
  if (node_ == DirTable::kNoNode) return 0;
  const DirTable& table = *ResultAccess::table(*result_);
  const std::uint32_t fold = ResultAccess::node(table, node_).fold;
  if (fold == DirTable::kNoNode || !ResultAccess::fold(table, fold).has_truncated) return 0;
  return ResultAccess::fold(table, fold).truncated;
}

namespace {

// The node of `entry`, a directory entry of `children` (whose result has a
// table), or kNoNode for an entry of another list.
std::uint32_t node_in(std::span<const ChildEntry> children, const ChildEntry& entry) {
  if (children.empty() || &entry < children.data() || &entry >= children.data() + children.size()) {
    return DirTable::kNoNode;
  }
  return ResultAccess::node_of(entry);
}

}  // namespace

std::optional<ResultDirectory> ResultDirectory::child(const ChildEntry& entry) const {
  if (!entry.is_dir()) return std::nullopt;
  std::string path = child_path(path_, entry.raw_name());
  std::uint32_t node = node_in(children_, entry);
  if (node == DirTable::kNoNode && ResultAccess::table(*result_)) {
    node = ResultAccess::find_node(*ResultAccess::table(*result_), path);
  }
  return ResultDirectory(*result_, std::move(path), node);
}

std::uint64_t ResultDirectory::child_size(const ChildEntry& entry) const {
  if (!entry.is_dir()) return entry.size();
  const std::uint32_t node = node_in(children_, entry);
  if (node != DirTable::kNoNode)
    return ResultAccess::node(*ResultAccess::table(*result_), node).size;
  const std::uint64_t* size = result_->dir_size(child_path(path_, entry.raw_name()));
  return size != nullptr ? *size : 0;
}

ResultDirectory ScanResult::root_directory() const {
  const auto& table = ResultAccess::table(*this);
  return ResultDirectory(*this, root_path, table ? ResultAccess::root(*table) : DirTable::kNoNode);
}

std::string child_path(std::string_view dir, std::string_view raw_name) {
  const std::string_view separator = separator_after(dir);
  std::string path;
  path.reserve(dir.size() + separator.size() + raw_name.size());
  path.append(dir).append(separator).append(raw_name);
  return path;
}

}  // namespace tessaly
