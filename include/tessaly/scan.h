// The scan entry: the one door through which a host and every tool start a
// scan. It admits one scan per process at a time, clears a cancellation left
// over from before, and runs the engine the request names.
#pragma once

#include <tessaly/export.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

inline constexpr std::string_view kBulkAttrsEngineName = "bulk-attrs";
inline constexpr std::string_view kJwalkEngineName = "jwalk";

// Refusal while another scan holds the guard, or for good once a scan has
// left the entry abnormally.
inline constexpr std::string_view kScanInProgress = "Scan already in progress";

// Refusal of an engine name other than the two above, followed by the name
// exactly as given.
inline constexpr std::string_view kUnsupportedEnginePrefix = "Unsupported scanner engine: ";

enum class ScanEngine { kBulkAttrs, kJwalk };

// The engine named exactly `name` (byte for byte, case-sensitive), or nothing.
TESSALY_EXPORT std::optional<ScanEngine> parse_scan_engine(std::string_view name);

// "bulk-attrs" or "jwalk".
TESSALY_EXPORT std::string_view scan_engine_name(ScanEngine engine);

// Whether the "bulk-attrs" engine first asks the volume probe. kSkip runs the
// engine on any volume, through the platform layer it has there (on Linux,
// its Linux layer); it has no effect on "jwalk".
enum class VolumeProbe { kApply, kSkip };

struct ScanRequest {
  std::string root;
  // Looked at only once the guard is held, so that a running scan refuses
  // every other call whatever its engine name.
  std::string engine = std::string(kBulkAttrsEngineName);
  std::uint64_t tree_depth = 8;
  std::vector<std::string> exclude_paths;
  VolumeProbe volume_probe = VolumeProbe::kApply;
};

struct ScanOutput {
  std::shared_ptr<const ScanResult> result;
  // From just after the cancellation reset until the engine returned: covers
  // the volume probe, the walk, the aggregation and the cache store.
  std::uint64_t elapsed_ms = 0;
  // The "bulk-attrs" engine ran without the volume probe having been asked.
  bool volume_probe_skipped = false;
};

// Runs one scan on the calling thread. In this order: tries the process-wide
// scan guard (a refusal is kScanInProgress, and leaves the running scan's
// cancellation alone), clears the cancellation flag, starts the clock, parses
// the engine name (kUnsupportedEnginePrefix and the name as given), probes the
// volume for "bulk-attrs" unless told to skip (kBulkAttrsUnsupported, with
// nothing scanned), runs the engine with `app_handle`. An engine's error text
// comes back unchanged. Memory running out fails the scan with
// "std::bad_alloc" (or the engine's own text) and leaves the guard usable; any
// other exception escaping the engine poisons the guard, so that every later
// call is refused with kScanInProgress, and reaches the caller.
TESSALY_EXPORT std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request,
                                                               AppHandle app_handle = nullptr);

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
TESSALY_EXPORT std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine);

}  // namespace tessaly
