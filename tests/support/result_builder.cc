#include "support/result_builder.h"

#include <vector>

#include "result/aggregator.h"

namespace tessaly::testing {

ResultBuilder::ResultBuilder(std::string_view root, std::uint64_t tree_depth)
    : aggregator_(std::make_unique<ScanAggregator>(root, tree_depth)) {}

ResultBuilder::~ResultBuilder() = default;

// One object per parent path, as a walk shares one among a directory's
// children.
const std::shared_ptr<const std::string>& ResultBuilder::parent_path(std::string_view parent) {
  auto found = parents_.find(parent);
  if (found == parents_.end()) {
    found =
        parents_.emplace(std::string(parent), std::make_shared<const std::string>(parent)).first;
  }
  return found->second;
}

void ResultBuilder::file(std::string_view parent, std::string_view name, std::uint64_t depth,
                         std::uint64_t size) {
  aggregator_->record_file(parent_path(parent), name, depth, size);
}

void ResultBuilder::directory(std::string_view parent, std::string_view name, std::uint64_t depth) {
  aggregator_->record_directory(parent_path(parent), name, depth);
}

void ResultBuilder::subtree_total(const SubtreeTotal& total) {
  aggregator_->record_subtree_total(total);
}

std::shared_ptr<const ScanResult> ResultBuilder::finish() { return aggregator_->finish().result; }

std::map<std::string, HardLink> listed_hard_links(const ScanResult& result) {
  std::map<std::string, HardLink> links;
  std::vector<ResultDirectory> pending{result.root_directory()};
  while (!pending.empty()) {
    const ResultDirectory dir = std::move(pending.back());
    pending.pop_back();
    for (const ChildEntry& entry : dir.children()) {
      if (auto child = dir.child(entry)) {
        pending.push_back(std::move(*child));
      } else if (const HardLink* link = result.hard_link(entry)) {
        links.emplace(dir.path() + "/" + std::string(entry.raw_name()), *link);
      }
    }
  }
  return links;
}

}  // namespace tessaly::testing
