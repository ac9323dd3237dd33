// The scan service: the one door through which a host and every tool start a
// scan. It admits one scan per process at a time, clears a cancellation left
// over from before, and runs the engine the request names.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"
#include "result/result.h"

namespace tessaly {

inline constexpr std::string_view kBulkAttrsEngineName = "bulk-attrs";
inline constexpr std::string_view kJwalkEngineName = "jwalk";

// Refusal while another scan holds the guard, or for good once a scan has
// left the service abnormally.
inline constexpr std::string_view kScanInProgress = "Scan already in progress";

enum class ScanEngine { kBulkAttrs, kJwalk };

// The engine named exactly `name` (byte for byte, case-sensitive), or nothing.
std::optional<ScanEngine> parse_scan_engine(std::string_view name);

// "bulk-attrs" or "jwalk".
std::string_view scan_engine_name(ScanEngine engine);

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

// Runs one scan. In this order: tries the process-wide scan guard (a refusal
// is kScanInProgress, and leaves the running scan's cancellation alone),
// clears the cancellation flag, starts the clock, parses the engine name
// ("Unsupported scanner engine: {}" with the name as given), probes the volume
// for "bulk-attrs" unless told to skip (kBulkAttrsUnsupported, with nothing
// scanned), runs the engine with `app_handle`. An engine's error text comes
// back unchanged. An exception escaping the engine poisons the guard and
// reaches the caller.
std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request,
                                                AppHandle app_handle = nullptr);

}  // namespace tessaly
