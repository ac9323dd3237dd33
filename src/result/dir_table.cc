#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/paths.h"
#include "result/result.h"

namespace tessaly {
namespace {

// The separator between a directory's text and a child's name.
std::string_view separator_after(std::string_view dir) {
  if (dir.empty()) return "/";
  return dir.back() == '/' ? std::string_view() : std::string_view("/");
}

}  // namespace

DirTable::DirTable() = default;
DirTable::DirTable(const DirTable& other) = default;
DirTable::DirTable(DirTable&& other) noexcept = default;
DirTable& DirTable::operator=(const DirTable& other) = default;
DirTable& DirTable::operator=(DirTable&& other) noexcept = default;
DirTable::~DirTable() = default;

std::size_t DirTable::count(DirMapKind kind) const {
  switch (kind) {
    case DirMapKind::kChildren:
      return listed_;
    case DirMapKind::kSizes:
      return sized_;
    case DirMapKind::kTruncated:
      return truncated_;
    case DirMapKind::kFolded:
      return counted_;
  }
  return 0;
}

bool DirTable::is_key(DirMapKind kind, std::uint32_t at) const {
  switch (kind) {
    case DirMapKind::kChildren:
      return !node(at).children.empty();
    case DirMapKind::kSizes:
      return true;
    case DirMapKind::kTruncated:
      return folds_[at].has_truncated;
    case DirMapKind::kFolded:
      return folds_[at].has_counts;
  }
  return false;
}

std::uint32_t DirTable::next_node(std::uint32_t at) const {
  for (const ChildEntry& entry : node(at).children) {
    if (entry.is_dir()) return ResultAccess::node_of(entry);
  }
  std::uint32_t current = at;
  while (node(current).parent != kNoNode) {
    const Node& child = node(current);
    const ChildList& siblings = node(child.parent).children;
    for (std::size_t i = child.slot + 1; i < siblings.size(); ++i) {
      if (siblings[i].is_dir()) return ResultAccess::node_of(siblings[i]);
    }
    current = child.parent;
  }
  const auto root = std::find(roots_.begin(), roots_.end(), current);
  return root == roots_.end() || root + 1 == roots_.end() ? kNoNode : *(root + 1);
}

std::uint32_t DirTable::first(DirMapKind kind) const {
  if (kind == DirMapKind::kTruncated || kind == DirMapKind::kFolded) {
    for (std::size_t i = 0; i < folds_.size(); ++i) {
      if (is_key(kind, static_cast<std::uint32_t>(i))) return static_cast<std::uint32_t>(i);
    }
    return kNoNode;
  }
  if (roots_.empty()) return kNoNode;
  return is_key(kind, roots_[0]) ? roots_[0] : next(kind, roots_[0]);
}

std::uint32_t DirTable::next(DirMapKind kind, std::uint32_t at) const {
  if (kind == DirMapKind::kTruncated || kind == DirMapKind::kFolded) {
    for (std::size_t i = at + std::size_t{1}; i < folds_.size(); ++i) {
      if (is_key(kind, static_cast<std::uint32_t>(i))) return static_cast<std::uint32_t>(i);
    }
    return kNoNode;
  }
  while (true) {
    at = next_node(at);
    if (at == kNoNode) return kNoNode;
    // Only the root's tree has sizes; lists also sit under other texts.
    if (kind == DirMapKind::kSizes && node(at).parent == kNoNode) return kNoNode;
    if (is_key(kind, at)) return at;
  }
}

std::uint32_t DirTable::find_node(std::string_view path) const {
  if (roots_.empty()) return kNoNode;
  PathComponents root_parts(texts_[node(roots_[0]).slot]);
  PathComponents parts(path);
  std::string_view root_part;
  std::string_view part;
  bool under = true;
  while (root_parts.next(root_part)) {
    if (!parts.next(part) || part != root_part) {
      under = false;
      break;
    }
  }
  if (under) {
    std::uint32_t current = roots_[0];
    while (current != kNoNode && parts.next(part)) {
      std::uint32_t found = kNoNode;
      for (const ChildEntry& entry : node(current).children) {
        if (entry.is_dir() && entry.raw_name() == part) {
          found = ResultAccess::node_of(entry);
          break;
        }
      }
      current = found;
    }
    if (current != kNoNode) return current;
  }
  for (std::size_t i = 1; i < roots_.size(); ++i) {
    if (paths_equal(texts_[node(roots_[i]).slot], path)) return roots_[i];
  }
  return kNoNode;
}

std::uint32_t DirTable::find(DirMapKind kind, std::string_view path) const {
  const std::uint32_t found = find_node(path);
  if (found == kNoNode) return kNoNode;
  switch (kind) {
    case DirMapKind::kChildren:
      return node(found).children.empty() ? kNoNode : found;
    case DirMapKind::kSizes:
      if (node(found).parent == kNoNode && found != roots_[0]) return kNoNode;
      return ResultAccess::text(*this, found) == path ? found : kNoNode;
    case DirMapKind::kTruncated:
    case DirMapKind::kFolded: {
      const std::uint32_t fold = node(found).fold;
      return fold != kNoNode && is_key(kind, fold) ? fold : kNoNode;
    }
  }
  return kNoNode;
}

std::string DirTable::key(DirMapKind kind, std::uint32_t at) const {
  if (kind == DirMapKind::kTruncated || kind == DirMapKind::kFolded) {
    return ResultAccess::text(*this, folds_[at].node);
  }
  return ResultAccess::text(*this, at);
}

std::string ResultAccess::text(const DirTable& table, std::uint32_t at) {
  std::vector<std::string_view> names;
  while (table.node(at).parent != DirTable::kNoNode) {
    const DirTable::Node& child = table.node(at);
    names.push_back(table.node(child.parent).children[child.slot].raw_name());
    at = child.parent;
  }
  std::string out = table.texts_[table.node(at).slot];
  for (std::size_t i = names.size(); i-- > 0;) out.append(separator_after(out)).append(names[i]);
  return out;
}

DirTable::Node& ResultAccess::node(DirTable& table, std::uint32_t at) {
  auto& block = table.blocks_[at >> DirTable::kShift];
  if (block.use_count() != 1) {
    // Shared with another table: this one takes a copy before writing.
    std::shared_ptr<DirTable::Node[]> own(new DirTable::Node[DirTable::kBlock]);
    std::copy_n(block.get(), DirTable::kBlock, own.get());
    block = std::move(own);
  }
  return block[at & (DirTable::kBlock - 1)];
}

std::uint32_t ResultAccess::add_node(DirTable& table, const DirTable::Node& node) {
  if (table.size_ >= kMaxNodes) throw std::length_error("too many directories in one result");
  if ((table.size_ >> DirTable::kShift) == table.blocks_.size()) {
    table.blocks_.push_back(
        std::shared_ptr<DirTable::Node[]>(new DirTable::Node[DirTable::kBlock]));
  }
  const auto at = static_cast<std::uint32_t>(table.size_);
  ResultAccess::node(table, at) = node;
  ++table.size_;
  return at;
}

std::uint32_t ResultAccess::add_root(DirTable& table, std::string_view text) {
  DirTable::Node root;
  root.slot = static_cast<std::uint32_t>(table.texts_.size());
  table.texts_.emplace_back(text);
  table.roots_.reserve(table.roots_.size() + 1);
  const std::uint32_t at = add_node(table, root);
  table.roots_.push_back(at);
  return at;
}

std::uint32_t ResultAccess::fold_of(DirTable& table, std::uint32_t at) {
  if (table.node(at).fold != DirTable::kNoNode) return table.node(at).fold;
  DirTable::Fold fold;
  fold.node = at;
  table.folds_.push_back(fold);
  const auto index = static_cast<std::uint32_t>(table.folds_.size() - 1);
  node(table, at).fold = index;
  return index;
}

void ResultAccess::count_keys(DirTable& table) {
  table.listed_ = 0;
  table.sized_ = 0;
  for (std::uint32_t at = table.first(DirMapKind::kSizes); at != DirTable::kNoNode;
       at = table.next_node(at)) {
    if (table.node(at).parent == DirTable::kNoNode && at != table.roots_[0]) {
      if (!table.node(at).children.empty()) ++table.listed_;
      continue;
    }
    ++table.sized_;
    if (!table.node(at).children.empty()) ++table.listed_;
  }
  table.truncated_ = static_cast<std::size_t>(std::ranges::count_if(
      table.folds_, [](const DirTable::Fold& fold) { return fold.has_truncated; }));
  table.counted_ = static_cast<std::size_t>(std::ranges::count_if(
      table.folds_, [](const DirTable::Fold& fold) { return fold.has_counts; }));
}

void compute_dir_sizes(DirTable& table, bool files_summed) {
  // A node's parent always comes before it, so one pass from the last node
  // back adds every total to its parent's.
  const auto count = static_cast<std::uint32_t>(ResultAccess::node_count(table));
  for (std::uint32_t at = 0; at < count; ++at) {
    ResultAccess::Node& node = ResultAccess::node(table, at);
    std::uint64_t total = files_summed ? node.size : 0;
    if (node.fold != DirTable::kNoNode) total += ResultAccess::fold(table, node.fold).truncated;
    if (!files_summed) {
      for (const ChildEntry& entry : node.children) total += entry.size();
    }
    node.size = total;
  }
  for (std::uint32_t at = count; at-- > 0;) {
    const ResultAccess::Node& node = ResultAccess::node(std::as_const(table), at);
    if (node.parent != DirTable::kNoNode) {
      ResultAccess::node(table, node.parent).size += node.size;
    }
  }
  ResultAccess::count_keys(table);
}

}  // namespace tessaly
