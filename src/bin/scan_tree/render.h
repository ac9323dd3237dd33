// The report scan_tree prints for people: totals, the largest directories as
// an indented tree, and the large files. Every line fits 80 columns. Without a
// terminal the text has no escape sequences and every bar is the same 20
// columns of "#" and ".", so scripts can rely on the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <tessaly/result.h>

namespace tessaly::scan_tree {

inline constexpr std::size_t kLineColumns = 80;
inline constexpr std::size_t kBarColumns = 20;
// Directory levels below the root that the tree shows.
inline constexpr std::uint64_t kShownLevels = 3;

// The "volume check" line of a bulk-attrs scan that was not limited to
// apfs/hfs volumes.
inline constexpr std::string_view kPastVolumeCheckNote =
    "skipped: bulk-attrs ran its Linux layer, not limited to apfs/hfs";

struct RenderOptions {
  std::string_view engine;
  std::uint64_t elapsed_ms = 0;
  // The bulk-attrs engine ran on Linux without the volume check; the totals
  // say so.
  bool ran_past_volume_check = false;
  // Subdirectories shown per directory, and large files shown, largest first.
  std::uint64_t top = 10;
  std::uint64_t levels = kShownLevels;
  // Colour and bars drawn with block characters, for a terminal.
  bool terminal = false;
};

// `part` as a share of `whole` in percent with one decimal, rounded half up
// ("66.7%"); "0.0%" when `whole` is 0. A part larger than the whole counts as
// the whole.
std::string share_text(std::uint64_t part, std::uint64_t whole);

// A bar of kBarColumns columns filled in proportion to part / whole: "#" then
// "." without a terminal, block characters in eighths of a column with one.
std::string bar_text(std::uint64_t part, std::uint64_t whole, bool terminal);

// The whole report, ending with a newline.
std::string render_report(const ScanResult& result, const RenderOptions& options);

}  // namespace tessaly::scan_tree
