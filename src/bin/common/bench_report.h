// What scan_bench's report and scan_compare's reading of it share: the run
// records, the machine description, the per-phase summary rule, the report
// document and the way the JSON is printed.
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

inline constexpr std::string_view report_note_cold =
    "Cold runs clear only the scanner's in-process cache, not OS filesystem cache.";
inline constexpr std::string_view report_note_warm =
    "Compare warm median across commits for the most stable local regression signal.";

// The machine description carried by the report.
struct MachineInfo {
  std::string os;
  std::string arch;
  std::uint64_t logical_cores = 1;
  std::string fs_type;
};

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

// Everything the report holds besides the scenario.
struct ReportData {
  std::uint64_t timestamp_unix_secs = 0;
  MachineInfo machine;
  // Compact JSON text (json_text.h), keys sorted; nothing for none.
  std::optional<std::string> dataset_metadata;
  std::vector<RunRecord> runs;
  PhaseSummary cold;
  PhaseSummary warm;
};

// What was measured, as the report names it.
struct ReportScenario {
  std::string label;
  std::string root;  // "" when the scan had none
  std::string engine;
  std::uint64_t tree_depth = 0;
  std::vector<std::string> exclude_paths;
};

// Two-space pretty printing, non-ASCII written as is, invalid UTF-8 replaced
// by U+FFFD; no trailing newline.
std::expected<std::string, std::string> serialize_report(const nlohmann::ordered_json& report);

// The report document, its members in their fixed order, printed as
// serialize_report prints; the dataset metadata is printed from its text, so
// a large one is never turned into a tree of nodes. Error: the serializer's.
std::expected<std::string, std::string> report_text(const ReportScenario& scenario,
                                                    const ReportData& data);

}  // namespace tessaly
