// Scan results made by hand, recorded through the aggregator the engines
// record into, for tests of what reads a result.
#pragma once

#include <tessaly/result.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace tessaly {
class ScanAggregator;
}

namespace tessaly::testing {

// `parent` is the raw path of the containing directory and `depth` the entry's
// depth below the root (1 for the root's children), as a walk records them.
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
  // The result, once, after the last record.
  std::shared_ptr<const ScanResult> finish();

 private:
  const std::shared_ptr<const std::string>& parent_path(std::string_view parent);

  std::unique_ptr<ScanAggregator> aggregator_;
  std::map<std::string, std::shared_ptr<const std::string>, std::less<>> parents_;
};

// The identity of each listed name of a multiply-linked file in `result`, by
// the name's raw path, found by walking the result from its root.
std::map<std::string, HardLink> listed_hard_links(const ScanResult& result);

}  // namespace tessaly::testing
