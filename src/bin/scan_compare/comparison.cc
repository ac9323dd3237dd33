#include "bin/scan_compare/comparison.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "bin/scan_compare/stats.h"

namespace tessaly::scan_compare {
namespace {

using Json = nlohmann::ordered_json;

struct Counter {
  std::string_view name;
  std::uint64_t BenchmarkResult::*field;
};

constexpr std::array<Counter, 4> kCounters = {
    {{"files_found", &BenchmarkResult::files_found},
     {"dirs_found", &BenchmarkResult::dirs_found},
     {"total_size", &BenchmarkResult::total_size},
     {"large_files_count", &BenchmarkResult::large_files_count}}};

std::vector<CounterDifference> counter_differences(const LoadedReport& base,
                                                   const LoadedReport& fresh) {
  std::vector<CounterDifference> differences;
  for (const Counter& counter : kCounters) {
    CounterDifference difference{std::string(counter.name), {}};
    const auto add = [&](std::string_view side, const RunRecord& run) {
      const std::uint64_t value = run.result.*counter.field;
      auto found = std::find_if(difference.values.begin(), difference.values.end(),
                                [&](const CounterValue& v) { return v.value == value; });
      if (found == difference.values.end()) {
        difference.values.push_back({value, {}});
        found = difference.values.end() - 1;
      }
      found->runs.push_back({std::string(side), run.phase, run.run_index});
    };
    for (const RunRecord& run : base.runs) add("base", run);
    for (const RunRecord& run : fresh.runs) add("new", run);
    if (difference.values.size() > 1) differences.push_back(std::move(difference));
  }
  return differences;
}

std::vector<std::string> condition_warnings(const LoadedReport& base, const LoadedReport& fresh) {
  std::vector<std::string> warnings;
  for (std::size_t i = 0; i < kConditionNames.size(); ++i) {
    if (base.conditions[i] == fresh.conditions[i]) continue;
    warnings.push_back(fmt::format("{} differs: base {}, new {}", kConditionNames[i],
                                   base.conditions[i], fresh.conditions[i]));
  }
  return warnings;
}

std::vector<double> phase_times(const LoadedReport& report, std::string_view phase) {
  std::vector<double> times;
  for (const RunRecord& run : report.runs) {
    if (run.phase == phase) times.push_back(static_cast<double>(run.result.elapsed_ms));
  }
  return times;
}

SideSummary summarize_side(const LoadedReport& report, const std::vector<double>& times,
                           bool with_times) {
  SideSummary side{report.label, times.size(), {}, {}, {}, {}};
  if (times.empty() || !with_times) return side;
  side.median_ms = median(times);
  side.min_ms = *std::min_element(times.begin(), times.end());
  side.max_ms = *std::max_element(times.begin(), times.end());
  side.mad_ms = median_absolute_deviation(times);
  return side;
}

// Which report lacks runs of `phase`: one path, or "either report".
std::string missing_in(const LoadedReport& base, const LoadedReport& fresh,
                       std::string_view phase) {
  const bool base_has = !phase_times(base, phase).empty();
  const bool fresh_has = !phase_times(fresh, phase).empty();
  if (!base_has && !fresh_has) return "either report";
  return base_has ? fresh.path : base.path;
}

std::string choose_phase(const LoadedReport& base, const LoadedReport& fresh,
                         const std::optional<std::string>& asked, std::string& note) {
  if (asked) return *asked;
  const auto has = [](const LoadedReport& report, std::string_view phase) {
    return !phase_times(report, phase).empty();
  };
  if ((!has(base, "warm") || !has(fresh, "warm")) && has(base, "cold") && has(fresh, "cold")) {
    note = fmt::format("cold, as there are no warm runs in {}", missing_in(base, fresh, "warm"));
    return "cold";
  }
  return "warm";
}

// Both samples are non-empty.
void judge(Comparison& c, const std::vector<double>& base, const std::vector<double>& fresh) {
  const double threshold = c.threshold_percent / 100;
  if (*c.base.median_ms > 0) c.ratio = *c.fresh.median_ms / *c.base.median_ms;
  if (base.size() < kMinimumRuns || fresh.size() < kMinimumRuns) {
    c.verdict = kInconclusive;
    c.reason = fmt::format("fewer than {} {} runs on a side", kMinimumRuns, c.phase);
    return;
  }
  c.p_value = mann_whitney_p(base, fresh);
  if (!c.ratio) {
    c.verdict = kInconclusive;
    c.reason = "the base median is 0 ms, so no ratio exists";
    return;
  }
  const Interval interval = bootstrap_median_ratio(base, fresh);
  c.ci_low = interval.low;
  c.ci_high = interval.high;
  // Too few runs for any order of the times to be significant still compare;
  // the reason tells the reader that no difference could have been found.
  if (smallest_p_value(base.size(), fresh.size()) >= kSignificance) {
    c.reason = fmt::format("with {} and {} runs the p-value cannot fall below {}", base.size(),
                           fresh.size(), kSignificance);
  }
  if (interval.low > 1 + threshold && *c.p_value < kSignificance) {
    c.verdict = kSlower;
  } else if (interval.high < 1 - threshold && *c.p_value < kSignificance) {
    c.verdict = kFaster;
  } else {
    c.verdict = kNoDifference;
  }
}

Json optional_number(const std::optional<double>& value) {
  return value && std::isfinite(*value) ? Json(*value) : Json(nullptr);
}

Json side_json(const SideSummary& side) {
  Json object = Json::object();
  object["label"] = side.label;
  object["runs"] = side.runs;
  object["median_ms"] = optional_number(side.median_ms);
  object["min_ms"] = optional_number(side.min_ms);
  object["max_ms"] = optional_number(side.max_ms);
  object["mad_ms"] = optional_number(side.mad_ms);
  return object;
}

std::string fixed(const std::optional<double>& value, int decimals) {
  return value ? fmt::format("{:.{}f}", *value, decimals) : "-";
}

std::string side_row(std::string_view name, const SideSummary& side) {
  return fmt::format("  {:<4} {:>6} {:>10} {:>8} {:>8} {:>8}  {}\n", name, side.runs,
                     fixed(side.median_ms, 1), fixed(side.min_ms, 1), fixed(side.max_ms, 1),
                     fixed(side.mad_ms, 1), side.label);
}

}  // namespace

Comparison compare_reports(const LoadedReport& base, const LoadedReport& fresh,
                           const std::optional<std::string>& phase, double threshold_percent) {
  Comparison c;
  c.threshold_percent = threshold_percent;
  for (const LoadedReport* report : {&base, &fresh}) {
    c.warnings.insert(c.warnings.end(), report->warnings.begin(), report->warnings.end());
  }
  const std::vector<std::string> conditions = condition_warnings(base, fresh);
  c.warnings.insert(c.warnings.end(), conditions.begin(), conditions.end());
  c.differences = counter_differences(base, fresh);
  c.phase = choose_phase(base, fresh, phase, c.phase_note);

  const std::vector<double> base_times = phase_times(base, c.phase);
  const std::vector<double> fresh_times = phase_times(fresh, c.phase);
  const bool comparable = c.differences.empty();
  c.base = summarize_side(base, base_times, comparable);
  c.fresh = summarize_side(fresh, fresh_times, comparable);
  if (!comparable) {
    c.verdict = kResultsDiffer;
    c.reason = "the scans saw different trees, so their times are not compared";
    return c;
  }
  if (base_times.empty() || fresh_times.empty()) {
    c.verdict = kInconclusive;
    c.reason = fmt::format("no {} runs in {}", c.phase, missing_in(base, fresh, c.phase));
    return c;
  }
  judge(c, base_times, fresh_times);
  return c;
}

int verdict_exit_status(const Comparison& comparison) {
  if (comparison.verdict == kSlower) return 1;
  if (comparison.verdict == kResultsDiffer) return 3;
  return 0;
}

std::string format_runs(const std::vector<RunRef>& runs) {
  std::string text;
  for (std::size_t i = 0; i < runs.size();) {
    const RunRef& first = runs[i];
    if (i == 0) {
      text += first.side + " ";
    } else {
      text += first.side != runs[i - 1].side ? "; " + first.side + " " : ", ";
    }
    text += first.phase + " ";
    std::size_t j = i;
    bool first_range = true;
    while (j < runs.size() && runs[j].side == first.side && runs[j].phase == first.phase) {
      std::size_t last = j;
      while (last + 1 < runs.size() && runs[last + 1].side == first.side &&
             runs[last + 1].phase == first.phase && runs[last + 1].index == runs[last].index + 1) {
        ++last;
      }
      text += first_range ? "" : ", ";
      text += last == j ? fmt::format("{}", runs[j].index)
                        : fmt::format("{}-{}", runs[j].index, runs[last].index);
      first_range = false;
      j = last + 1;
    }
    i = j;
  }
  return text;
}

std::string format_comparison(const Comparison& c) {
  std::string text = c.verdict + "\n";
  for (const CounterDifference& difference : c.differences) {
    for (const CounterValue& value : difference.values) {
      text +=
          fmt::format("  {} {}: {}\n", difference.counter, value.value, format_runs(value.runs));
    }
  }
  if (!c.reason.empty()) text += fmt::format("  {}\n", c.reason);
  if (c.verdict == kResultsDiffer) return text;
  text += fmt::format("  phase      {}\n", c.phase_note.empty() ? c.phase : c.phase_note);
  if (c.ratio) {
    text += fmt::format("  ratio      {} (new median / base median)", fixed(c.ratio, 3));
    if (c.ci_low) text += fmt::format(", 95% CI {} to {}", fixed(c.ci_low, 3), fixed(c.ci_high, 3));
    text += "\n";
  }
  if (c.p_value) {
    text += fmt::format("  p-value    {:.4g} (Mann-Whitney U, two-sided)\n", *c.p_value);
  }
  text += fmt::format("  threshold  {:g}%\n\n", c.threshold_percent);
  text += fmt::format("  {:<4} {:>6} {:>10} {:>8} {:>8} {:>8}  {}\n", "", "runs", "median ms",
                      "min ms", "max ms", "MAD ms", "label");
  text += side_row("base", c.base);
  text += side_row("new", c.fresh);
  return text;
}

nlohmann::ordered_json comparison_json(const Comparison& c) {
  Json object = Json::object();
  object["verdict"] = c.verdict;
  object["phase"] = c.phase;
  object["ratio"] = optional_number(c.ratio);
  object["ci_low"] = optional_number(c.ci_low);
  object["ci_high"] = optional_number(c.ci_high);
  object["p_value"] = optional_number(c.p_value);
  object["threshold"] = c.threshold_percent;
  object["base"] = side_json(c.base);
  object["new"] = side_json(c.fresh);
  object["warnings"] = c.warnings;
  Json differences = Json::array();
  for (const CounterDifference& difference : c.differences) {
    Json values = Json::array();
    for (const CounterValue& value : difference.values) {
      Json runs = Json::array();
      for (const RunRef& run : value.runs) {
        runs.push_back(fmt::format("{} {} {}", run.side, run.phase, run.index));
      }
      values.push_back(Json{{"value", value.value}, {"runs", std::move(runs)}});
    }
    differences.push_back(Json{{"counter", difference.counter}, {"values", std::move(values)}});
  }
  object["differences"] = std::move(differences);
  return object;
}

}  // namespace tessaly::scan_compare
