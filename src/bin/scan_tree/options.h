// The command line of scan_tree.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tessaly/scan.h>

#include "bin/common/arguments.h"

namespace tessaly::scan_tree {

struct TreeOptions {
  std::optional<std::string> root;
  std::string engine = std::string(kBulkAttrsEngineName);
  std::uint64_t tree_depth = 8;
  bool tree_depth_given = false;
  std::vector<std::string> exclude_paths;
  // Subdirectories (and large files) shown per directory, largest first.
  std::uint64_t top = 10;
  std::optional<std::string> json;
  std::optional<std::string> html;
  // ncdu's JSON export format: written after a scan, or read in place of one.
  std::optional<std::string> export_path;
  std::optional<std::string> import_path;
};

// The tree depth of the result: the one given, else every level for an
// export (it holds the whole tree), else 8.
std::uint64_t result_tree_depth(const TreeOptions& options);

// The usage text; every line ends with a newline and fits 80 columns.
extern const std::string_view usage_text;

// Parses the arguments (without the program name) strictly left to right: a
// flag must match exactly, a flag that takes a value consumes the next
// argument whatever it is, the last occurrence of a single-valued flag wins
// and "--exclude" accumulates. Yields the options, the help outcome, or the
// first error met.
std::expected<std::variant<TreeOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args);

// Checks, in this order, that exactly one of a root and an import file was
// given, that an export comes with a scan and an exclusion only with a scan,
// that the engine is known, that "--top" is at least 1, and that the root
// exists and is a directory (following symbolic links).
std::expected<void, std::string> validate_options(const TreeOptions& options);

}  // namespace tessaly::scan_tree
