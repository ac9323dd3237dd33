// Text for people: sizes in binary units, names made safe for a terminal, and
// fitting text into a number of columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tessaly::scan_tree {

// Bytes in binary units: "0 B" .. "1023 B", then one decimal, rounded half up,
// from "1.0 KiB" to "16.0 EiB". Never longer than 10 characters.
std::string human_size(std::uint64_t bytes);

// Valid UTF-8 `text` with every character that could move the cursor, change
// the terminal's state or reorder the line shown as an escape: C0 controls and
// DEL as "\n", "\t", "\r" or "\xNN", C1 controls and the bidirectional
// embedding, override and isolate characters as "\uNNNN".
std::string escape_for_display(std::string_view text);

// Columns valid UTF-8 `text` occupies on a terminal: East Asian wide and
// full-width characters and most emoji take 2, combining marks and zero-width
// characters 0, everything else 1.
std::size_t display_width(std::string_view text);

// `text` if it fits in `columns`; else as many leading characters as fit
// before "..." (the tail is dropped).
std::string fit_keep_start(std::string_view text, std::size_t columns);

// `text` if it fits in `columns`; else "..." followed by as many trailing
// characters as fit (the head is dropped).
std::string fit_keep_end(std::string_view text, std::size_t columns);

// `text` padded with spaces on the left to `columns`.
std::string pad_left(std::string_view text, std::size_t columns);

}  // namespace tessaly::scan_tree
