// What scan_bench's report and scan_compare's reading of it share: the run
// records, the per-phase summary rule and the way the JSON is printed.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tessaly/scan.h>
#include <nlohmann/json.hpp>

namespace tessaly {

struct RunRecord {
  std::string phase;            // "cold" or "warm"
  std::uint64_t run_index = 0;  // 1-based within the phase
  BenchmarkResult result;
};

// Statistics of one phase's elapsed_ms; the three values are absent when the
// phase has no record.
struct PhaseSummary {
  std::uint64_t count = 0;
  std::optional<std::uint64_t> min_ms;
  std::optional<std::uint64_t> median_ms;
  std::optional<std::uint64_t> max_ms;

  bool operator==(const PhaseSummary&) const = default;
};

// Count, minimum, median and maximum of the phase's elapsed_ms, in integer
// arithmetic; an even count's median is the halved sum of the middle two,
// remainder dropped.
PhaseSummary summarize_phase(const std::vector<RunRecord>& records, std::string_view phase);

// Two-space pretty printing, non-ASCII written as is, invalid UTF-8 replaced
// by U+FFFD; no trailing newline.
std::expected<std::string, std::string> serialize_report(const nlohmann::ordered_json& report);

}  // namespace tessaly
