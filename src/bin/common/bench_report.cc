#include "bin/common/bench_report.h"

#include <algorithm>

namespace tessaly {
namespace {

using OrderedJson = nlohmann::ordered_json;

OrderedJson optional_ms(const std::optional<std::uint64_t>& value) {
  return value ? OrderedJson(*value) : OrderedJson(nullptr);
}

OrderedJson summary_json(const PhaseSummary& summary) {
  OrderedJson object = OrderedJson::object();
  object["count"] = summary.count;
  object["min_ms"] = optional_ms(summary.min_ms);
  object["median_ms"] = optional_ms(summary.median_ms);
  object["max_ms"] = optional_ms(summary.max_ms);
  return object;
}

OrderedJson run_json(const RunRecord& record) {
  const BenchmarkResult& r = record.result;
  OrderedJson result = OrderedJson::object();
  result["engine"] = r.engine;
  result["elapsed_ms"] = r.elapsed_ms;
  result["files_found"] = r.files_found;
  result["dirs_found"] = r.dirs_found;
  result["total_size"] = r.total_size;
  result["compute_dir_sizes_ms"] = r.compute_dir_sizes_ms;
  result["large_files_count"] = r.large_files_count;

  OrderedJson object = OrderedJson::object();
  object["phase"] = record.phase;
  object["run_index"] = record.run_index;
  object["result"] = std::move(result);
  return object;
}

}  // namespace

PhaseSummary summarize_phase(const std::vector<RunRecord>& records, std::string_view phase) {
  std::vector<std::uint64_t> times;
  for (const RunRecord& record : records) {
    if (record.phase == phase) times.push_back(record.result.elapsed_ms);
  }
  PhaseSummary summary;
  summary.count = times.size();
  if (times.empty()) return summary;
  std::sort(times.begin(), times.end());
  const std::size_t middle = times.size() / 2;
  summary.min_ms = times.front();
  summary.max_ms = times.back();
  if (times.size() % 2 == 1) {
    summary.median_ms = times[middle];
  } else {
    // Halving each before adding cannot overflow; the dropped halves add back
    // only when both were odd.
    const std::uint64_t a = times[middle - 1];
    const std::uint64_t b = times[middle];
    summary.median_ms = a / 2 + b / 2 + (a % 2 + b % 2) / 2;
  }
  return summary;
}

nlohmann::ordered_json build_report(const ReportScenario& scenario, const ReportData& data) {
  OrderedJson report = OrderedJson::object();
  report["timestamp_unix_secs"] = data.timestamp_unix_secs;
  report["label"] = scenario.label;
  report["root"] = scenario.root;
  report["engine"] = scenario.engine;
  report["tree_depth"] = scenario.tree_depth;

  OrderedJson excludes = OrderedJson::array();
  for (const std::string& path : scenario.exclude_paths) excludes.push_back(path);
  report["exclude_paths"] = std::move(excludes);

  OrderedJson machine = OrderedJson::object();
  machine["os"] = data.machine.os;
  machine["arch"] = data.machine.arch;
  machine["logical_cores"] = data.machine.logical_cores;
  machine["fs_type"] = data.machine.fs_type;
  report["machine"] = std::move(machine);

  // Converted member by member from the sorted model, so the keys stay sorted.
  report["dataset_metadata"] =
      data.dataset_metadata ? OrderedJson(*data.dataset_metadata) : OrderedJson(nullptr);

  OrderedJson runs = OrderedJson::array();
  for (const RunRecord& record : data.runs) runs.push_back(run_json(record));
  report["runs"] = std::move(runs);

  OrderedJson summary = OrderedJson::object();
  summary["cold"] = summary_json(data.cold);
  summary["warm"] = summary_json(data.warm);
  report["summary"] = std::move(summary);

  report["notes"] = OrderedJson::array({report_note_cold, report_note_warm});
  return report;
}

std::expected<std::string, std::string> serialize_report(const nlohmann::ordered_json& report) {
  try {
    return report.dump(2, ' ', /*ensure_ascii=*/false,
                       nlohmann::ordered_json::error_handler_t::replace);
  } catch (const nlohmann::ordered_json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

}  // namespace tessaly
