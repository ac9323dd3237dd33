#include "bin/scan_tree/options.h"

#include <fmt/format.h>

namespace tessaly::scan_tree {

const std::string_view usage_text =
    "Usage: scan_tree --root <path> [options]\n"
    "\n"
    "Shows where the space under <path> goes: totals, the largest directories as\n"
    "a tree, and the files of 500 MiB and more.\n"
    "\n"
    "Options:\n"
    "  --engine <name>          Scanner engine, bulk-attrs (default) or jwalk\n"
    "  --tree-depth <n>         Max tree depth used by scanner (default: 8)\n"
    "  --exclude <path>         Path to exclude (repeatable)\n"
    "  --top <n>                Largest entries shown per directory (default: 10)\n"
    "  --json <path>            Also write the whole result as JSON to <path>\n"
    "  --html <path>            Also write an interactive treemap page to <path>\n"
    "  --help                   Show this help\n";

std::expected<std::variant<TreeOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args) {
  TreeOptions options;
  ArgumentCursor cursor(args);
  while (const std::string* next = cursor.next()) {
    const std::string& arg = *next;
    if (arg == "-h" || arg == "--help") return HelpRequested{};

    if (arg == "--root" || arg == "--engine" || arg == "--exclude" || arg == "--json" ||
        arg == "--html") {
      auto value = cursor.text_value(arg);
      if (!value) return std::unexpected(value.error());
      if (arg == "--root") {
        options.root = std::move(*value);
      } else if (arg == "--engine") {
        options.engine = std::move(*value);
      } else if (arg == "--exclude") {
        options.exclude_paths.push_back(std::move(*value));
      } else if (arg == "--json") {
        options.json = std::move(*value);
      } else {
        options.html = std::move(*value);
      }
    } else if (arg == "--tree-depth" || arg == "--top") {
      auto count = cursor.count_value(arg);
      if (!count) return std::unexpected(count.error());
      (arg == "--top" ? options.top : options.tree_depth) = *count;
    } else {
      return std::unexpected(fmt::format("unknown flag: {}", arg));
    }
  }
  return options;
}

std::expected<void, std::string> validate_options(const TreeOptions& options) {
  if (!options.root) return std::unexpected(std::string("--root is required"));
  if (!parse_scan_engine(options.engine)) {
    return std::unexpected(fmt::format("unknown engine: {}", options.engine));
  }
  if (options.top == 0) return std::unexpected(std::string("--top must be at least 1"));

  return validate_root(*options.root);
}

}  // namespace tessaly::scan_tree
