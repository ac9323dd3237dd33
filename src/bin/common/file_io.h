// How the tools read and write whole files, and the text of an operating-system
// error.
//
// Writing never replaces what is not a regular file: a symbolic link is
// followed to the file it names, a device or FIFO is written in place (so
// "/dev/stdout" and "/dev/null" work), and only a regular file, new or
// existing, is replaced whole through a temporary file beside it. The one
// regular file written in place is the one the process's standard output or
// error goes to (as "/dev/stdout" when that output is redirected to a file):
// through that descriptor, after what it holds already, so that the rest of
// the output still lands in it.
//
// Reading takes regular files only, up to a size cap, so a FIFO cannot stall
// a tool and a device cannot feed it without end.
//
// The tools see only the public API and this folder, so retry_on_interrupt
// below is their one retry point for calls a signal interrupts (EINTR); the
// library has its own in the platform layer.
#pragma once

#include <cerrno>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include <sys/stat.h>

namespace tessaly {

// Calls `call` (a system call wrapper returning -1 and setting errno on
// failure) again for as long as it fails with EINTR; returns its last result.
template <typename Call>
auto retry_on_interrupt(Call&& call) -> decltype(call()) {
  while (true) {
    const auto result = call();
    if (result != -1 || errno != EINTR) return result;
  }
}

// "{description} (os error {number})".
std::string os_error_text(int error_number);

// "failed to write {path}: {description} (os error {number})".
std::string write_error_text(std::string_view path, int error_number);

// Writes all of `bytes` to the open descriptor `fd`. Yields the error number.
std::expected<void, int> write_all(int fd, std::string_view bytes);

// Why a whole file could not be read.
struct ReadFailure {
  enum class Kind {
    kSystem,      // a call failed with `error_number`; a directory gives EISDIR
    kNotRegular,  // a FIFO, device or socket: not opened, or closed unread
    kTooLarge,    // more bytes than the cap allowed
  };
  Kind kind = Kind::kSystem;
  int error_number = 0;
};

// The whole content of the regular file at `path` (symbolic links followed),
// when it holds at most `max_bytes` bytes. A file that grows while being read
// is refused as soon as it passes the cap.
std::expected<std::string, ReadFailure> read_file_whole(const std::string& path,
                                                        std::size_t max_bytes);

// A file being written: see the top of this header for what happens to each
// kind of target. For a regular file the bytes go to ".{name}.tmp-{pid}-{n}"
// beside the target, which commit flushes to disk (F_FULLFSYNC where the
// system has it) and renames over the target, keeping an existing target's
// permission bits; readers see the old content or the whole new content,
// never a part. A device or FIFO is opened for writing (a FIFO waits for its
// reader), and a standard descriptor duplicated, and written as the bytes
// come. Waiting for a FIFO's reader, or for room in a FIFO or device, ends
// with ECANCELED as soon as stop_requested() (stop_signals.h), so a stopped
// tool never hangs on its output. Errors are error numbers; a path
// that names a directory (or ends in "/", "." or "..") gives EISDIR, an empty
// one ENOENT, a chain of more than 40 links ELOOP.
class OutputFile {
 public:
  static std::expected<OutputFile, int> create(const std::string& path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  // Discards what was not committed.
  ~OutputFile();

  // Appends `bytes`. After the first failure nothing more is written and the
  // failure is reported by commit.
  bool write(std::string_view bytes);

  // Puts the content in place (regular files) or closes the device; on any
  // failure the temporary file is removed and a regular target left as it
  // was. EBADF after discard.
  std::expected<void, int> commit();

  // Removes the temporary file, leaving a regular target as it was; what was
  // written to a device stays written.
  void discard();

  // The temporary file's path; empty when writing in place.
  const std::string& temp_path() const { return temp_path_; }

 private:
  OutputFile(std::string target, std::string temp_path, int fd, bool waits)
      : target_(std::move(target)), temp_path_(std::move(temp_path)), fd_(fd), waits_(waits) {}

  std::string target_;     // the regular file to replace, links resolved
  std::string temp_path_;  // empty when writing in place
  int fd_ = -1;
  int error_ = 0;
  bool active_ = true;
  bool waits_ = false;  // a device or FIFO: writes wait for room, stoppably
};

// Whether OutputFile::create would succeed for `path`, without leaving
// anything behind and without opening a device or FIFO (opening a FIFO could
// wait, or end its reader's input). Yields the error number.
std::expected<void, int> check_writable(const std::string& path);

// Writes `bytes` as the whole new content of `path` through OutputFile.
// Error: write_error_text(path, error number).
std::expected<void, std::string> write_file_whole(const std::string& path, std::string_view bytes);

// stat of `path` following symbolic links, also for paths longer than
// PATH_MAX (walked one component at a time through descriptors). Yields the
// error number.
std::expected<struct stat, int> stat_any_length(const std::string& path);

}  // namespace tessaly
