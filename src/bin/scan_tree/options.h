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
  std::vector<std::string> exclude_paths;
  // Subdirectories (and large files) shown per directory, largest first.
  std::uint64_t top = 10;
  std::optional<std::string> json;
  std::optional<std::string> html;
};

// The usage text; every line ends with a newline and fits 80 columns.
extern const std::string_view usage_text;

// Parses the arguments (without the program name) strictly left to right: a
// flag must match exactly, a flag that takes a value consumes the next
// argument whatever it is, the last occurrence of a single-valued flag wins
// and "--exclude" accumulates. Yields the options, the help outcome, or the
// first error met.
std::expected<std::variant<TreeOptions, HelpRequested>, std::string> parse_options(
    const std::vector<std::string>& args);

// Checks, in this order, that a root was given, that the engine is known,
// that "--top" is at least 1, and that the root exists and is a directory
// (following symbolic links).
std::expected<void, std::string> validate_options(const TreeOptions& options);

}  // namespace tessaly::scan_tree
