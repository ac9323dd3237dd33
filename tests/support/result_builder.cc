#include "support/result_builder.h"

#include <stdexcept>
#include <vector>

#include "base/paths.h"
#include "result/aggregator.h"

namespace tessaly::testing {

ResultBuilder::ResultBuilder(std::string_view root, std::uint64_t tree_depth)
    : aggregator_(std::make_unique<ScanAggregator>(root, tree_depth)),
      pending_(std::make_unique<ChildListing>()) {
  numbers_.emplace(std::string(root), kWalkRoot);
}

ResultBuilder::~ResultBuilder() = default;

void ResultBuilder::add(std::string_view parent, std::string_view name, std::uint64_t depth,
                        std::uint64_t size, bool is_dir) {
  if (!pending_->empty() && (parent != pending_parent_ || depth != pending_depth_)) flush();
  if (pending_->empty()) {
    if (!numbers_.contains(parent)) {
      throw std::logic_error("parent recorded before its directory: " + std::string(parent));
    }
    pending_parent_.assign(parent);
    pending_depth_ = depth;
    pending_->start(aggregator_->records(), depth);
  }
  if (is_dir) {
    pending_->add_directory(name);
    pending_dirs_.emplace_back(name);
  } else {
    pending_->add_file(name, size);
  }
}

// Hands the gathered listing over as a walk would: its directories numbered
// in order, its path given for the large-file list.
void ResultBuilder::flush() {
  if (pending_->empty()) return;
  const WalkDirId first = next_number_;
  for (const std::string& name : pending_dirs_) {
    numbers_.insert_or_assign(join_path(pending_parent_, name), next_number_++);
  }
  pending_dirs_.clear();
  aggregator_->record_listing(
      ListingPlace{numbers_.find(pending_parent_)->second, first, pending_depth_, pending_parent_},
      *pending_);
  pending_->clear();
}

void ResultBuilder::file(std::string_view parent, std::string_view name, std::uint64_t depth,
                         std::uint64_t size) {
  add(parent, name, depth, size, false);
}

void ResultBuilder::directory(std::string_view parent, std::string_view name, std::uint64_t depth) {
  add(parent, name, depth, 0, true);
}

void ResultBuilder::subtree_total(const SubtreeTotal& total) {
  flush();
  aggregator_->record_subtree_total(total);
}

ScanAggregator& ResultBuilder::aggregator() {
  flush();
  return *aggregator_;
}

std::shared_ptr<const ScanResult> ResultBuilder::finish() { return aggregator().finish().result; }

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
