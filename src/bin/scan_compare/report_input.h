// Reading a scan_bench report back: the document must have exactly the
// members, types and member order that scan_bench's writer produces.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/scan_bench/driver.h"

namespace tessaly::scan_compare {

struct LoadedReport {
  std::string path;                 // as given on the command line
  nlohmann::ordered_json document;  // the whole report, for its conditions
  std::string label;
  std::vector<RunRecord> runs;  // in file order
  std::vector<std::string> warnings;
};

/// Checks `text` as the report read from `path`. Errors, each naming `path`:
/// "{path} is not JSON: {parser message}", "{path} is not a scan_bench report:
/// {what is wrong where}", "{path} has no runs". A summary that disagrees with
/// the runs gives a warning, not an error.
std::expected<LoadedReport, std::string> parse_report(std::string_view text,
                                                      const std::string& path);

/// Reads and checks the report at `path`; a file that cannot be read gives
/// "cannot read {path}: {os error text}".
std::expected<LoadedReport, std::string> load_report(const std::string& path);

}  // namespace tessaly::scan_compare
