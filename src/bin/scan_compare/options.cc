#include "bin/scan_compare/options.h"

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

#include "bin/common/arguments.h"

namespace tessaly::scan_compare {

const std::string_view usage_text =
    "Usage: scan_compare <base.json> <new.json> [options]\n"
    "\n"
    "Compares the run times of two scan_bench reports of the same tree.\n"
    "\n"
    "Options:\n"
    "  --phase <name>           Phase to compare, warm (default) or cold\n"
    "  --threshold <percent>    Smallest change that counts (default: 5)\n"
    "  --json <path>            Also write the comparison as JSON to <path>\n"
    "  --svg <path>             Also draw the runs as SVG to <path>\n"
    "  --help                   Show this help\n"
    "\n"
    "Reports must be regular files of at most 256 MiB.\n"
    "\n"
    "Exit status: 0 not slower, 1 slower, 2 usage, input or output error,\n"
    "3 results differ.\n";

std::expected<double, std::string> parse_percent(std::string_view flag, std::string_view value) {
  const auto invalid = [&] {
    return std::unexpected(fmt::format("invalid percentage for {}: {}", flag, value));
  };
  const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t point = value.find('.');
  const std::string_view whole = value.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view("0") : value.substr(point + 1);
  if (whole.empty() || fraction.empty() || !std::all_of(whole.begin(), whole.end(), is_digit) ||
      !std::all_of(fraction.begin(), fraction.end(), is_digit)) {
    return invalid();
  }
  // The text is digits and at most one point, which strtod reads the same in
  // every locale that uses "." for decimals; no locale is set here.
  const double percent = std::strtod(std::string(value).c_str(), nullptr);
  if (!(percent < 100)) return invalid();
  return percent;
}

std::expected<std::variant<CompareOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args) {
  CompareOptions options;
  std::vector<std::string> paths;
  ArgumentCursor cursor(args);
  while (const std::string* next = cursor.next()) {
    const std::string& arg = *next;
    if (arg == "-h" || arg == "--help") return HelpRequested{};
    if (!arg.starts_with("-")) {
      if (paths.size() == 2) return std::unexpected(fmt::format("unexpected argument: {}", arg));
      paths.push_back(arg);
      continue;
    }
    if (arg != "--phase" && arg != "--threshold" && arg != "--json" && arg != "--svg") {
      return std::unexpected(fmt::format("unknown flag: {}", arg));
    }
    auto value = cursor.text_value(arg);
    if (!value) return std::unexpected(value.error());
    if (arg == "--phase") {
      if (*value != "warm" && *value != "cold") {
        return std::unexpected(fmt::format("unknown phase: {}", *value));
      }
      options.phase = std::move(*value);
    } else if (arg == "--threshold") {
      auto percent = parse_percent(arg, *value);
      if (!percent) return std::unexpected(percent.error());
      options.threshold_percent = *percent;
    } else {
      (arg == "--json" ? options.json : options.svg) = std::move(*value);
    }
  }
  if (paths.size() < 2) {
    return std::unexpected(std::string("two reports are required: <base.json> <new.json>"));
  }
  options.base_path = std::move(paths[0]);
  options.new_path = std::move(paths[1]);
  return options;
}

}  // namespace tessaly::scan_compare
