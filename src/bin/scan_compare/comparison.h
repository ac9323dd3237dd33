// The comparison of two scan_bench reports: same results first, then the
// conditions, then the run times of one phase, and the verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/scan_compare/report_input.h"

namespace tessaly::scan_compare {

inline constexpr std::string_view kSlower = "slower";
inline constexpr std::string_view kFaster = "faster";
inline constexpr std::string_view kNoDifference = "no significant difference";
inline constexpr std::string_view kInconclusive = "inconclusive";
inline constexpr std::string_view kResultsDiffer = "results differ";

inline constexpr std::size_t kMinimumRuns = 3;
inline constexpr double kSignificance = 0.05;

struct SideSummary {
  std::string label;
  std::size_t runs = 0;
  // Absent when the side has no run in the phase, or the results differ.
  std::optional<double> median_ms, min_ms, max_ms, mad_ms;
};

// One run of one report.
struct RunRef {
  std::string side;  // "base" or "new"
  std::string phase;
  std::uint64_t index = 0;
};

// One value of a counter that not every run found, and the runs that found
// it, in report and file order.
struct CounterValue {
  std::uint64_t value = 0;
  std::vector<RunRef> runs;
};

struct CounterDifference {
  std::string counter;
  std::vector<CounterValue> values;  // in order of first appearance
};

struct Comparison {
  std::string verdict;
  std::string phase;
  // The phase line when warm runs were missing and cold ones are compared;
  // empty otherwise.
  std::string phase_note;
  // Why the verdict is inconclusive or the results differ, or why no
  // difference could have been significant; empty otherwise.
  std::string reason;
  // The ratio is absent when the results differ, a side has no run or the
  // base median is 0. The p-value is absent in the first two cases and with
  // fewer than kMinimumRuns on a side; the interval whenever either of the
  // two is. The interval may be infinite above.
  std::optional<double> ratio, ci_low, ci_high, p_value;
  double threshold_percent = 5;
  SideSummary base;
  SideSummary fresh;
  std::vector<std::string> warnings;
  std::vector<CounterDifference> differences;
};

/// Compares `fresh` with `base`. `phase` is "warm" or "cold" when given on the
/// command line; absent, warm is compared unless a side has no warm run while
/// both have cold ones. Counters that differ between any two runs make the
/// verdict kResultsDiffer and leave the times out.
Comparison compare_reports(const LoadedReport& base, const LoadedReport& fresh,
                           const std::optional<std::string>& phase, double threshold_percent);

/// 1 for kSlower, 3 for kResultsDiffer, 0 otherwise.
int verdict_exit_status(const Comparison& comparison);

/// The runs as "base cold 1, warm 1-3; new warm 1, 4": consecutive indices of
/// one phase become a range.
std::string format_runs(const std::vector<RunRef>& runs);

/// The text for standard output; its first line is the verdict alone.
std::string format_comparison(const Comparison& comparison);

/// The whole comparison as one JSON object, keys in a fixed order.
nlohmann::ordered_json comparison_json(const Comparison& comparison);

}  // namespace tessaly::scan_compare
