// Progress of a running scan on one updating terminal line.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <tessaly/progress.h>

namespace tessaly::scan_tree {

// The counters of a "scan-progress" payload: a JSON object whose members
// files_found, dirs_found, total_size and elapsed_ms are all non-negative
// integers that fit 64 bits; other members are ignored. Nothing for anything
// else.
std::optional<ScanProgress> parse_progress_payload(std::string_view json_payload);

// "scanning: {files} files, {dirs} dirs, {size}, {seconds} s" with the seconds
// to one decimal, truncated.
std::string progress_text(const ScanProgress& progress);

// The emitter scan_tree hands to an engine when standard error is a terminal.
// Each "scan-progress" event rewrites one line in place: "\r", the text cut to
// one column less than the terminal's width, then "\x1b[K" to erase what is
// left of a longer earlier line, or on a terminal without escape sequences
// enough spaces to cover it. clear() erases the line. Used on the thread that
// runs the scan only.
class TerminalProgress final : public ProgressEmitter {
 public:
  explicit TerminalProgress(int fd, bool escape_sequences = true)
      : fd_(fd), escape_sequences_(escape_sequences) {}

  // False, writing nothing, for another event name or a payload that does not
  // parse; false too when the terminal cannot be written.
  bool emit(std::string_view event, std::string_view json_payload) const override;

  // Erases the line when one is shown.
  void clear();

 private:
  bool write_all(std::string_view bytes) const;

  int fd_;
  bool escape_sequences_;
  // Columns of the line on screen; 0 when none is shown.
  mutable std::size_t shown_columns_ = 0;
};

}  // namespace tessaly::scan_tree
