// The benchmark report: its JSON document, its file name and its writing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/common/bench_report.h"
#include "bin/common/file_io.h"
#include "bin/scan_bench/driver.h"
#include "bin/scan_bench/machine_info.h"
#include "bin/scan_bench/options.h"

namespace tessaly {

// Keeps ASCII letters, digits and "-"; every other character (a whole UTF-8
// sequence counting as one) becomes "_". An empty result becomes "benchmark".
std::string sanitize_label(std::string_view label);

// "{timestamp}_{sanitised label}_{engine}.json".
std::string default_report_file_name(std::uint64_t timestamp, std::string_view label,
                                     std::string_view engine);

// "--output" as typed, or the output directory joined with the default file
// name ("/" inserted unless the directory is empty or ends with "/").
std::string report_output_path(const BenchOptions& options, std::uint64_t timestamp);

// The directory part of `path`: trailing separators and "." components are
// ignored and the last component dropped. Absent for "" and for the root
// directory; "" for a bare file name.
std::optional<std::string> parent_directory(std::string_view path);

// Creates `dir` and its missing ancestors with mode 0777 (before the umask);
// directories that exist already are fine. Yields the error number on failure.
std::expected<void, int> create_directory_tree(const std::string& dir);

// The scenario `options` describe, as the report names it.
ReportScenario report_scenario(const BenchOptions& options);

// report_text of the scenario `options` describe.
std::expected<std::string, std::string> report_text(const BenchOptions& options,
                                                    const ReportData& data);

// Resolves the path, creates its directory, serialises and writes the report
// (whole or not at all, see OutputFile), then prints "report written to {path}" to `out`. Yields
// the one-line failure message ("failed to create output directory ...", "failed to serialize
// report: ...", "failed to write report ...") without printing it.
std::expected<void, std::string> write_report(const BenchOptions& options, const ReportData& data,
                                              std::FILE* out);

}  // namespace tessaly
