#include "bin/scan_tree/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <fmt/format.h>

#include "bin/common/file_io.h"
#include "bin/scan_tree/text.h"

namespace tessaly::scan_tree {
namespace {

constexpr std::string_view kEraseToEnd = "\x1b[K";

// Columns the line may take when the terminal does not tell its width: one
// less than a classic terminal, so the cursor never wraps.
constexpr std::size_t kDefaultColumns = 79;

}  // namespace

std::string progress_text(const ScanProgress& progress) {
  return fmt::format("scanning: {} files, {} dirs, {}, {}.{} s", progress.files_found,
                     progress.dirs_found, human_size(progress.total_size),
                     progress.elapsed_ms / 1000, progress.elapsed_ms % 1000 / 100);
}

bool TerminalProgress::show(const ScanProgress& progress) {
  std::size_t columns = kDefaultColumns;
  struct winsize size {};
  if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) columns = size.ws_col - 1U;
  const std::string text = fit_keep_start(progress_text(progress), columns);
  const std::size_t width = display_width(text);
  std::string line = "\r" + text;
  if (escape_sequences_) {
    line += kEraseToEnd;
  } else if (shown_columns_ > width) {
    line.append(shown_columns_ - width, ' ');
  }
  if (!write_all(line)) return false;
  shown_columns_ = escape_sequences_ ? width : std::max(width, shown_columns_);
  return true;
}

void TerminalProgress::clear() {
  if (shown_columns_ == 0) return;
  const std::string erase = escape_sequences_
                                ? fmt::format("\r{}", kEraseToEnd)
                                : fmt::format("\r{}\r", std::string(shown_columns_, ' '));
  static_cast<void>(write_all(erase));
  shown_columns_ = 0;
}

bool TerminalProgress::write_all(std::string_view bytes) const {
  return tessaly::write_all(fd_, bytes).has_value();
}

}  // namespace tessaly::scan_tree
