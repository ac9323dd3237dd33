#include "service/scan_entry.h"

#include <new>
#include <utility>

#include "base/worker_pool.h"
#include "service/scan_service.h"

namespace tessaly {
namespace {

std::expected<BenchmarkResult, std::string> benchmark_run(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine) {
  ScanRequest request;
  request.root = std::string(root);
  request.engine = std::string(engine);
  request.tree_depth = tree_depth;
  request.exclude_paths = exclude_paths;
  request.volume_probe = VolumeProbe::kApply;
  auto outcome = run_scan(request, nullptr);
  if (!outcome) return std::unexpected(std::move(outcome.error()));

  BenchmarkResult record;
  record.engine = std::string(engine);
  record.elapsed_ms = outcome->elapsed_ms;
  const ScanResult& result = *outcome->result;
  record.files_found = result.files_found;
  record.dirs_found = result.dirs_found;
  record.total_size = result.total_size;
  record.compute_dir_sizes_ms = result.compute_dir_sizes_ms;
  record.large_files_count = result.large_files.size();
  return record;
}

}  // namespace

// The request and the record are built here, outside run_scan, so memory
// running out while they are is this entry's to report.
std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine) {
  try {
    return benchmark_run(root, tree_depth, exclude_paths, engine);
  } catch (const std::bad_alloc& e) {
    return std::unexpected(failure_text(e.what()));
  }
}

}  // namespace tessaly
