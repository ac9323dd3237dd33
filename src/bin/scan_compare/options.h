// The command line of scan_compare.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bin/common/arguments.h"

namespace tessaly::scan_compare {

struct CompareOptions {
  std::string base_path;
  std::string new_path;
  std::optional<std::string> phase;  // "warm" or "cold" when given
  double threshold_percent = 5;
  std::optional<std::string> json;
  std::optional<std::string> svg;
};

// The usage text; every line ends with a newline and fits 80 columns.
extern const std::string_view usage_text;

/// Parses a percentage: ASCII digits with an optional "." and more digits,
/// below 100. Error: "invalid percentage for {flag}: {value}".
std::expected<double, std::string> parse_percent(std::string_view flag, std::string_view value);

/// Parses the arguments (without the program name) strictly left to right:
/// two report paths, in order, and the flags, each taking the next argument
/// as its value; the last occurrence of a flag wins. Yields the options, the
/// help outcome, or the first error met.
std::expected<std::variant<CompareOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args);

}  // namespace tessaly::scan_compare
