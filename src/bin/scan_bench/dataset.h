// The optional description of the data set under a benchmark root.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tessaly {

// Name of the description file, appended to the root text (a file beside the
// root) or joined to it (a hidden file inside the root).
inline constexpr std::string_view dataset_file_suffix = ".x-scanner-dataset.json";

// Arrays and objects nested this deep or deeper are refused.
inline constexpr std::size_t dataset_max_nesting = 128;

// Description files larger than this are not read.
inline constexpr std::size_t dataset_max_bytes = 16 * 1024 * 1024;

// Parses `text` as exactly one JSON value, optionally surrounded by space,
// tab, line feed and carriage return. Refuses anything after the value, a
// byte-order mark, comments, invalid UTF-8 and nesting of dataset_max_nesting
// levels or more. Yields the value as compact JSON text (json_text.h), with
// each object's keys sorted (byte order) and a repeated key keeping its last
// value: what the JSON library's sorted tree would print, in time linear in
// the text (and n log n for an object's members out of order) and memory of
// about the text's size, where that tree costs tens of bytes per element.
std::optional<std::string> parse_dataset_json(std::string_view text);

// The dataset description of `root`: "<root>.x-scanner-dataset.json" when that
// path exists (whatever it is), otherwise "<root>/.x-scanner-dataset.json".
// Only a regular file of at most dataset_max_bytes is read, so a FIFO, a
// device or a huge file in that place cannot stall the tool. Yields nothing
// when the chosen file is missing, unreadable, larger, not UTF-8 or not valid
// JSON; never prints.
std::optional<std::string> load_dataset_metadata(const std::string& root);

// The same with another size cap, for tests.
std::optional<std::string> load_dataset_metadata(const std::string& root, std::size_t max_bytes);

}  // namespace tessaly
