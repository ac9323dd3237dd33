// Scan results made by hand, recorded through the aggregator the engines
// record into, as a walk hands them over: one numbered listing per directory.
#pragma once

#include <tessaly/result.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {
class ScanAggregator;
class ChildListing;
}  // namespace tessaly

namespace tessaly::testing {

// `parent` is the raw path of the containing directory, spelled as the root
// or as a directory recorded before (its parent's path, "/", its name), and
// `depth` the entry's depth below the root (1 for the root's children).
// Consecutive entries of one parent form one listing; a parent that was never
// recorded is refused with std::logic_error.
class ResultBuilder {
 public:
  ResultBuilder(std::string_view root, std::uint64_t tree_depth);
  ~ResultBuilder();
  ResultBuilder(const ResultBuilder&) = delete;
  ResultBuilder& operator=(const ResultBuilder&) = delete;

  void file(std::string_view parent, std::string_view name, std::uint64_t depth,
            std::uint64_t size);
  void directory(std::string_view parent, std::string_view name, std::uint64_t depth);
  void subtree_total(const SubtreeTotal& total);
  // The aggregator, with everything recorded so far handed to it.
  ScanAggregator& aggregator();
  // The result, once, after the last record.
  std::shared_ptr<const ScanResult> finish();

 private:
  void add(std::string_view parent, std::string_view name, std::uint64_t depth, std::uint64_t size,
           bool is_dir);
  void flush();

  std::unique_ptr<ScanAggregator> aggregator_;
  std::uint64_t next_number_ = 1;
  std::map<std::string, std::uint64_t, std::less<>> numbers_;  // directory path -> number
  // The listing being gathered: its directory, depth and children.
  std::string pending_parent_;
  std::uint64_t pending_depth_ = 0;
  std::unique_ptr<ChildListing> pending_;
  // The pending listing's directory names, which a folded listing keeps not.
  std::vector<std::string> pending_dirs_;
};

// The identity of each listed name of a multiply-linked file in `result`, by
// the name's raw path, found by walking the result from its root.
std::map<std::string, HardLink> listed_hard_links(const ScanResult& result);

}  // namespace tessaly::testing
