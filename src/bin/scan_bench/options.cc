#include "bin/scan_bench/options.h"

#include <fmt/format.h>

namespace tessaly {

const std::string_view usage_text =
    "Usage: scan_bench --root <path> [options]\n"
    "\n"
    "Options:\n"
    "  --engine <name>          Scanner engine (default: bulk-attrs)\n"
    "  --tree-depth <n>         Max tree depth used by scanner (default: 8)\n"
    "  --cold-runs <n>          Number of cold runs (default: 1)\n"
    "  --warm-runs <n>          Number of warm runs (default: 3)\n"
    "  --label <name>           Scenario label (default: benchmark)\n"
    "  --output <path>          Output JSON file path\n"
    "  --output-dir <path>      Output directory when --output is omitted (default: "
    "bench-results)\n"
    "  --exclude <path>         Path to exclude (repeatable)\n"
    "  --help                   Show this help\n";

std::expected<std::variant<BenchOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args) {
  BenchOptions options;
  ArgumentCursor cursor(args);
  while (const std::string* next = cursor.next()) {
    const std::string& arg = *next;
    if (arg == "-h" || arg == "--help") return HelpRequested{};

    std::string* text_field = nullptr;
    std::uint64_t* count_field = nullptr;
    if (arg == "--root") {
      auto value = cursor.text_value(arg);
      if (!value) return std::unexpected(value.error());
      options.root = std::move(*value);
      continue;
    } else if (arg == "--output") {
      auto value = cursor.text_value(arg);
      if (!value) return std::unexpected(value.error());
      options.output = std::move(*value);
      continue;
    } else if (arg == "--exclude") {
      auto value = cursor.text_value(arg);
      if (!value) return std::unexpected(value.error());
      options.exclude_paths.push_back(std::move(*value));
      continue;
    } else if (arg == "--engine") {
      text_field = &options.engine;
    } else if (arg == "--label") {
      text_field = &options.label;
    } else if (arg == "--output-dir") {
      text_field = &options.output_dir;
    } else if (arg == "--tree-depth") {
      count_field = &options.tree_depth;
    } else if (arg == "--cold-runs") {
      count_field = &options.cold_runs;
    } else if (arg == "--warm-runs") {
      count_field = &options.warm_runs;
    } else {
      return std::unexpected(fmt::format("unknown flag: {}", arg));
    }

    if (text_field != nullptr) {
      auto value = cursor.text_value(arg);
      if (!value) return std::unexpected(value.error());
      *text_field = std::move(*value);
    } else {
      auto count = cursor.count_value(arg);
      if (!count) return std::unexpected(count.error());
      *count_field = *count;
    }
  }
  return options;
}

}  // namespace tessaly
