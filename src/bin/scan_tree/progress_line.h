// Progress of a running scan on one updating terminal line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <tessaly/progress.h>

namespace tessaly::scan_tree {

// "scanning: {files} files, {dirs} dirs, {size}, {seconds} s" with the seconds
// to one decimal, truncated.
std::string progress_text(const ScanProgress& progress);

// The line scan_tree shows on standard error when it is a terminal, fed by the
// scan's typed progress (ScanRequest::on_progress). Each report rewrites one
// line in place: "\r", the text cut to one column less than the terminal's
// width, then "\x1b[K" to erase what is left of a longer earlier line, or on a
// terminal without escape sequences enough spaces to cover it. clear() erases
// the line. Used on the thread that runs the scan only.
class TerminalProgress {
 public:
  explicit TerminalProgress(int fd, bool escape_sequences = true)
      : fd_(fd), escape_sequences_(escape_sequences) {}

  // Shows `progress`; false when the terminal cannot be written.
  bool show(const ScanProgress& progress);

  // Erases the line when one is shown.
  void clear();

 private:
  bool write_all(std::string_view bytes) const;

  int fd_;
  bool escape_sequences_;
  // Columns of the line on screen; 0 when none is shown.
  std::size_t shown_columns_ = 0;
};

}  // namespace tessaly::scan_tree
