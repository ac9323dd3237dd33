// Reading a scan_bench report back: the document must have exactly the
// members, types and member order that scan_bench's writer produces.
//
// The report is read in one pass over its text, in time linear in it, and
// only what the comparison uses is kept: the run records, the label, the
// summary, and the conditions as compact JSON text (json_text.h). A free-form
// or misplaced value is never turned into a tree of nodes, so memory stays
// within a few times the text's size whatever the text holds.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "bin/common/bench_report.h"

namespace tessaly::scan_compare {

// The largest report read; the usage text states it.
inline constexpr std::size_t kMaxReportBytes = 256 * 1024 * 1024;

// The conditions a fair comparison holds equal, as the warnings name them.
inline constexpr std::array<std::string_view, 9> kConditionNames = {"root",
                                                                    "engine",
                                                                    "tree_depth",
                                                                    "exclude_paths",
                                                                    "machine.os",
                                                                    "machine.arch",
                                                                    "machine.logical_cores",
                                                                    "machine.fs_type",
                                                                    "dataset_metadata"};

struct LoadedReport {
  std::string path;  // as given on the command line
  // Each of kConditionNames as compact JSON text. Two texts are equal when
  // the values are, except that a number's integer and floating-point forms
  // (1 and 1.0) and a key repeated within an object of dataset_metadata
  // count as differences.
  std::array<std::string, kConditionNames.size()> conditions;
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
