#include "bin/scan_tree/html_output.h"

#include <algorithm>
#include <iterator>
#include <queue>
#include <utility>

#include <fmt/format.h>

#include "bin/scan_tree/json_output.h"

namespace tessaly::scan_tree {
namespace {

// A directory node waiting for its children, the largest expanded first.
struct Pending {
  std::uint64_t size;
  std::uint32_t node;
  ResultDirectory dir;
};

struct LargerFirst {
  bool operator()(const Pending& a, const Pending& b) const {
    if (a.size != b.size) return a.size < b.size;
    return a.node > b.node;
  }
};

// JSON text without "<", ">" or "&": outside strings JSON has none of them,
// inside strings their \u escapes mean the same.
void append_script_safe(std::string& out, std::string_view json) {
  for (const char c : json) {
    switch (c) {
      case '<':
        out += "\\u003c";
        break;
      case '>':
        out += "\\u003e";
        break;
      case '&':
        out += "\\u0026";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace

std::vector<PageNode> build_page_tree(const ScanResult& result, const PageLimits& limits) {
  std::vector<PageNode> nodes;
  ResultDirectory root = result.root_directory();
  nodes.push_back(PageNode{PageNode::kNoParent, PageNodeKind::kDirectory,
                           root.size() != 0 ? root.size() : result.total_size, result.root, 0});

  std::priority_queue<Pending, std::vector<Pending>, LargerFirst> pending;
  pending.push(Pending{nodes[0].size, 0, std::move(root)});
  // One child as the page reads it: its size is a directory's total.
  struct Child {
    const ChildEntry* entry;
    std::uint64_t size;
  };
  std::vector<Child> children;
  while (!pending.empty()) {
    Pending dir = pending.top();
    pending.pop();
    if (dir.dir.children().empty()) {
      // Without a listing, a directory that holds bytes has them below the
      // tree depth; one that holds none is as empty as the page can show.
      if (dir.size > 0) nodes[dir.node].kind = PageNodeKind::kUnlisted;
      continue;
    }
    children.clear();
    for (const ChildEntry& entry : dir.dir.children()) {
      children.push_back(Child{&entry, dir.dir.child_size(entry)});
    }
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
      if (a.size != b.size) return a.size > b.size;
      return a.entry->name() < b.entry->name();
    });
    const std::size_t room = limits.budget > nodes.size() ? limits.budget - nodes.size() : 0;
    std::size_t drawn = std::min({children.size(), limits.per_directory, room});
    // One child alone is drawn rather than folded.
    if (children.size() - drawn == 1) ++drawn;
    std::uint64_t listed = 0;
    for (std::size_t i = 0; i < children.size(); ++i) {
      const Child& child = children[i];
      listed += child.size;
      if (i >= drawn) continue;
      const auto index = static_cast<std::uint32_t>(nodes.size());
      std::optional<ResultDirectory> sub = dir.dir.child(*child.entry);
      nodes.push_back(PageNode{dir.node, sub ? PageNodeKind::kDirectory : PageNodeKind::kItem,
                               child.size, std::string(child.entry->name()), 0});
      if (sub) pending.push(Pending{child.size, index, std::move(*sub)});
    }
    if (drawn < children.size()) {
      std::uint64_t rest = 0;
      for (std::size_t i = drawn; i < children.size(); ++i) rest += children[i].size;
      nodes.push_back(
          PageNode{dir.node, PageNodeKind::kSmaller, rest, {}, children.size() - drawn});
    }
    // Sizes the listing does not explain (none in a consistent result) stay
    // visible rather than silently shrinking the directory.
    if (dir.size > listed) {
      nodes.push_back(PageNode{dir.node, PageNodeKind::kRemainder, dir.size - listed, {}, 0});
    }
  }
  return nodes;
}

std::string page_data_json(const ScanResult& result, const std::vector<PageNode>& nodes,
                           const PageFacts& facts) {
  std::string json;
  json.reserve(64 + nodes.size() * 48);
  json += "{\"root\":";
  json += json_string(result.root);
  json += ",\"engine\":";
  json += json_string(facts.engine);
  fmt::format_to(std::back_inserter(json),
                 ",\"files\":{},\"dirs\":{},\"size\":{},\"elapsed_ms\":{},\"tree_depth\":",
                 result.files_found, result.dirs_found, result.total_size, facts.elapsed_ms);
  // A number past 2^53 would not survive as a script's number.
  if (facts.tree_depth == kUnlimitedTreeDepth) {
    json += "\"all\"";
  } else {
    fmt::format_to(std::back_inserter(json), "{}", facts.tree_depth);
  }
  json += ",\"note\":";
  json += json_string(facts.note);
  json += ",\"nodes\":[";
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const PageNode& node = nodes[i];
    if (i != 0) json += ',';
    const long long parent =
        node.parent == PageNode::kNoParent ? -1 : static_cast<long long>(node.parent);
    fmt::format_to(std::back_inserter(json), "\n[{},{},{},", parent, static_cast<int>(node.kind),
                   node.size);
    if (node.kind == PageNodeKind::kSmaller) {
      fmt::format_to(std::back_inserter(json), "{}]", node.count);
    } else {
      json += json_string(node.name);
      json += ']';
    }
  }

  std::vector<const LargeFile*> large;
  large.reserve(result.large_files.size());
  for (const LargeFile& file : result.large_files) large.push_back(&file);
  std::sort(large.begin(), large.end(), [](const LargeFile* a, const LargeFile* b) {
    if (a->size != b->size) return a->size > b->size;
    return a->path < b->path;
  });
  fmt::format_to(std::back_inserter(json), "],\n\"large\":{{\"count\":{},\"shown\":[",
                 large.size());
  const std::size_t shown = std::min(large.size(), facts.large_files_shown);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i != 0) json += ',';
    json += "\n[";
    json += json_string(large[i]->path);
    fmt::format_to(std::back_inserter(json), ",{}]", large[i]->size);
  }
  json += "]}}";

  std::string safe;
  safe.reserve(json.size() + json.size() / 16);
  append_script_safe(safe, json);
  return safe;
}

}  // namespace tessaly::scan_tree
