#include "scanner/scan_entry.h"

#include <fmt/format.h>

namespace tessaly {

std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view /*root*/, std::uint64_t /*tree_depth*/,
    const std::vector<std::string>& /*exclude_paths*/, std::string_view engine) {
  return std::unexpected(fmt::format("Unsupported scanner engine: {}", engine));
}

}  // namespace tessaly
