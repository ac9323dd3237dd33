// scan_bench reports for the scan_compare tests, made by the report builder
// scan_bench writes with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bin/common/bench_report.h"
#include "support/temp_tree.h"

namespace tessaly::scan_compare {

struct FixtureReport {
  ReportScenario scenario;
  ReportData data;

  // Cold runs then warm runs with these elapsed times, each finding 10 files.
  explicit FixtureReport(const std::vector<std::uint64_t>& warm,
                         const std::vector<std::uint64_t>& cold = {}) {
    scenario.root = "/data/tree";
    scenario.engine = "jwalk";
    scenario.label = "fixture";
    scenario.tree_depth = 8;
    data.machine = {"linux", "x86_64", 2, "ext4"};
    for (const auto& [phase, times] : {std::pair{"cold", cold}, std::pair{"warm", warm}}) {
      for (std::size_t i = 0; i < times.size(); ++i) {
        data.runs.push_back({phase, i + 1, {"jwalk", times[i], 10, 3, 40960, 0, 0}});
      }
    }
    data.cold = summarize_phase(data.runs, "cold");
    data.warm = summarize_phase(data.runs, "warm");
  }

  std::string text() const { return report_text(scenario, data).value(); }

  // Writes the report as `name` in `dir`; returns its path.
  std::string write(const testing::TempDir& dir, const std::string& name) const {
    return dir.write_text(name, text());
  }
};

}  // namespace tessaly::scan_compare
