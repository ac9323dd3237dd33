#include "bin/common/bench_report.h"

#include <algorithm>

#include "bin/common/json_text.h"

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

std::expected<std::string, std::string> serialize_report(const nlohmann::ordered_json& report) {
  try {
    return report.dump(2, ' ', /*ensure_ascii=*/false,
                       nlohmann::ordered_json::error_handler_t::replace);
  } catch (const nlohmann::ordered_json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

std::expected<std::string, std::string> report_text(const ReportScenario& scenario,
                                                    const ReportData& data) {
  // The members before and after the metadata, each group printed as an
  // object of its own and joined around the metadata's text.
  OrderedJson head = OrderedJson::object();
  head["timestamp_unix_secs"] = data.timestamp_unix_secs;
  head["label"] = scenario.label;
  head["root"] = scenario.root;
  head["engine"] = scenario.engine;
  head["tree_depth"] = scenario.tree_depth;
  OrderedJson excludes = OrderedJson::array();
  for (const std::string& path : scenario.exclude_paths) excludes.push_back(path);
  head["exclude_paths"] = std::move(excludes);
  OrderedJson machine = OrderedJson::object();
  machine["os"] = data.machine.os;
  machine["arch"] = data.machine.arch;
  machine["logical_cores"] = data.machine.logical_cores;
  machine["fs_type"] = data.machine.fs_type;
  head["machine"] = std::move(machine);

  OrderedJson tail = OrderedJson::object();
  OrderedJson runs = OrderedJson::array();
  for (const RunRecord& record : data.runs) runs.push_back(run_json(record));
  tail["runs"] = std::move(runs);
  OrderedJson summary = OrderedJson::object();
  summary["cold"] = summary_json(data.cold);
  summary["warm"] = summary_json(data.warm);
  tail["summary"] = std::move(summary);
  tail["notes"] = OrderedJson::array({report_note_cold, report_note_warm});

  auto head_text = serialize_report(head);
  if (!head_text) return head_text;
  auto tail_text = serialize_report(tail);
  if (!tail_text) return tail_text;
  // "{\n  ...\n}" and "{\n  ...\n}": the head without its closing line, the
  // tail without its opening brace.
  std::string text = std::move(*head_text);
  text.resize(text.size() - 2);
  text += ",\n  \"dataset_metadata\": ";
  append_pretty_json(text, data.dataset_metadata ? *data.dataset_metadata : "null", 1);
  text += ',';
  text.append(*tail_text, 1);
  return text;
}

}  // namespace tessaly
