// The scan entry: one scan at a time per process, with a named engine.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// The flat record of one successful scan. Field order is the report's key order.
struct BenchmarkResult {
  std::string engine;
  std::uint64_t elapsed_ms = 0;
  std::uint64_t files_found = 0;
  std::uint64_t dirs_found = 0;
  std::uint64_t total_size = 0;
  std::uint64_t compute_dir_sizes_ms = 0;
  std::uint64_t large_files_count = 0;
};

// Runs one scan of `root` with the engine named `engine` ("bulk-attrs" or
// "jwalk") through run_scan, always with the volume probe and no progress
// handle. Fails with "Scan already in progress" while another scan runs,
// "Unsupported scanner engine: {}" for other names, or the engine's own error
// text.
std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine);

}  // namespace tessaly
