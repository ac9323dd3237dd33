#include "bin/common/bench_report.h"

#include <algorithm>

namespace tessaly {

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

}  // namespace tessaly
