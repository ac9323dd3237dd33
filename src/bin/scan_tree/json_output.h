// The whole ScanResult as JSON, for scripts.
//
// Members in this order: root, files_found, dirs_found, total_size,
// compute_dir_sizes_ms, large_files (array of {name, path, size}),
// children_map (directory -> array of {name, size, is_dir}), truncated_sizes
// and dir_sizes (directory -> bytes). The output is the same for the same
// result whatever order the walk recorded things in:
//   - object keys are sorted byte for byte;
//   - each children_map array is sorted by name, large_files by size (largest
//     first) and then by path.
// The text is valid UTF-8. Map keys are raw paths, shown as text with invalid
// sequences replaced by U+FFFD; see json_keys for keys that become equal.
// Strings are escaped by the JSON library's printer, as in every JSON text
// the tools write; the layout is written here because the library cannot
// print it (an entry's members on one line inside an indented document) and
// because the text is streamed in chunks instead of built whole in memory.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <tessaly/result.h>

namespace tessaly::scan_tree {

// The JSON keys of a map whose raw keys are `raw_keys` (distinct strings), in
// the same order. A raw key that is valid UTF-8 is its own key. The others
// take their text with invalid sequences replaced; when that text is already
// taken, the first free one of "{text} (2)", "{text} (3)", ... instead. Keys
// that are valid UTF-8 choose first, then the others in byte order of their
// raw keys, so no value is ever merged or dropped and the choice does not
// depend on the map's order.
std::vector<std::string> json_keys(const std::vector<std::string_view>& raw_keys);

// `text` (valid UTF-8) as a JSON string literal with its quotes.
std::string json_string(std::string_view text);

// Writes the JSON text of `result`, ending with a newline, through `sink` in
// chunks of up to about 64 KiB. Stops and returns false as soon as `sink`
// returns false.
bool write_result_json(const ScanResult& result, const std::function<bool(std::string_view)>& sink);

// The whole JSON text of `result`.
std::string result_json(const ScanResult& result);

}  // namespace tessaly::scan_tree
