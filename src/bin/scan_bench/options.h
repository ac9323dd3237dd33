// The command line of scan_bench.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bin/common/arguments.h"

namespace tessaly {

struct BenchOptions {
  std::optional<std::string> root;
  std::string engine = "bulk-attrs";
  std::uint64_t tree_depth = 8;
  std::uint64_t cold_runs = 1;
  std::uint64_t warm_runs = 3;
  std::string label = "benchmark";
  std::optional<std::string> output;
  std::string output_dir = "bench-results";
  std::vector<std::string> exclude_paths;
};

// The usage text, twelve lines each ended by a newline.
extern const std::string_view usage_text;

// Parses the arguments (without the program name) strictly left to right.
// Yields the options, the help outcome, or the error message.
std::expected<std::variant<BenchOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args);

}  // namespace tessaly
