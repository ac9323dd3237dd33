// Reading a scan_bench report back: the document must have exactly the
// members, types and member order that scan_bench's writer produces.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/common/bench_report.h"

namespace tessaly::scan_compare {

// The largest report read; the usage text states it.
inline constexpr std::size_t kMaxReportBytes = 256 * 1024 * 1024;

struct LoadedReport {
  std::string path;                 // as given on the command line
  nlohmann::ordered_json document;  // the whole report, for its conditions
  std::string label;
  std::vector<RunRecord> runs;  // in file order
  std::vector<std::string> warnings;
};

/// Checks `text` as the report read from `path`. Errors, each naming `path`:
/// "{path} is not JSON: {parser message}", "{path} is not a scan_bench report:
/// {what is wrong where}" (a number beyond the range of a double included),
/// "{path} has no runs". A summary that disagrees with
/// the runs gives a warning, not an error.
std::expected<LoadedReport, std::string> parse_report(std::string_view text,
                                                      const std::string& path);

/// Reads and checks the report at `path`. A file that cannot be read gives
/// "cannot read {path}: {os error text}"; one that is not a regular file (a
/// FIFO or device is never read) "cannot read {path}: not a regular file";
/// one above kMaxReportBytes "cannot read {path}: larger than 256 MiB".
std::expected<LoadedReport, std::string> load_report(const std::string& path);

}  // namespace tessaly::scan_compare
