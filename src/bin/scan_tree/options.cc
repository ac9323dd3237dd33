#include "bin/scan_tree/options.h"

#include <fmt/format.h>

namespace tessaly::scan_tree {

const std::string_view usage_text =
    "Usage: scan_tree --root <path> [options]\n"
    "       scan_tree --import <file> [options]\n"
    "\n"
    "Shows where the space under <path> goes: totals, the largest directories as\n"
    "a tree, and the files of 500 MiB and more. With --import, shows the tree\n"
    "saved in <file> (ncdu's JSON export, as written by --export, ncdu or gdu;\n"
    "\"-\" reads standard input) instead of scanning.\n"
    "\n"
    "Options:\n"
    "  --engine <name>          Scanner engine, bulk-attrs (default) or jwalk\n"
    "  --tree-depth <n>         Max tree depth used by scanner (default: 8; every\n"
    "                           level with --export)\n"
    "  --exclude <path>         Path to exclude (repeatable)\n"
    "  --top <n>                Largest entries shown per directory (default: 10)\n"
    "  --json <path>            Also write the whole result as JSON to <path>\n"
    "  --html <path>            Also write an interactive treemap page to <path>\n"
    "  --export <path>          Also save the scan to <path> in ncdu's JSON format\n"
    "  --import <file>          Read a saved tree from <file> instead of --root\n"
    "  --help                   Show this help\n";

std::expected<std::variant<TreeOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args) {
  TreeOptions options;
  ArgumentCursor cursor(args);
  while (const std::string* next = cursor.next()) {
    const std::string& arg = *next;
    if (arg == "-h" || arg == "--help") return HelpRequested{};

    if (arg == "--root" || arg == "--engine" || arg == "--exclude" || arg == "--json" ||
        arg == "--html" || arg == "--export" || arg == "--import") {
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
      } else if (arg == "--export") {
        options.export_path = std::move(*value);
      } else if (arg == "--import") {
        options.import_path = std::move(*value);
      } else {
        options.html = std::move(*value);
      }
    } else if (arg == "--tree-depth" || arg == "--top") {
      auto count = cursor.count_value(arg);
      if (!count) return std::unexpected(count.error());
      (arg == "--top" ? options.top : options.tree_depth) = *count;
      if (arg == "--tree-depth") options.tree_depth_given = true;
    } else {
      return std::unexpected(fmt::format("unknown flag: {}", arg));
    }
  }
  return options;
}

std::expected<void, std::string> validate_options(const TreeOptions& options) {
  if (!options.root && !options.import_path) {
    return std::unexpected(std::string("--root or --import is required"));
  }
  if (options.root && options.import_path) {
    return std::unexpected(std::string("--root and --import exclude each other"));
  }
  if (options.import_path && options.export_path) {
    return std::unexpected(std::string("--export saves a scan: give --root, not --import"));
  }
  if (options.import_path && !options.exclude_paths.empty()) {
    return std::unexpected(std::string("--exclude applies to a scan: give --root, not --import"));
  }
  if (!parse_scan_engine(options.engine)) {
    return std::unexpected(fmt::format("unknown engine: {}", options.engine));
  }
  if (options.top == 0) return std::unexpected(std::string("--top must be at least 1"));

  if (options.import_path) return {};
  return validate_root(*options.root);
}

std::uint64_t result_tree_depth(const TreeOptions& options) {
  if (options.tree_depth_given) return options.tree_depth;
  return options.export_path ? kUnlimitedTreeDepth : options.tree_depth;
}

}  // namespace tessaly::scan_tree
