// Helpers for tests that build real directory trees and run real processes.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly::testing {

// A fresh directory under the system's temporary folder, removed with all its
// contents on destruction. A creation that fails throws std::system_error
// carrying the errno value.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Absolute path of `relative` inside this directory.
  std::string at(std::string_view relative) const;

  // Creates the directory and its missing parents; returns its absolute path.
  std::string make_dir(std::string_view relative) const;
  // Creates (or replaces) a file of `size` bytes of real data, so that it
  // occupies blocks; parents are created. Returns its absolute path.
  std::string write_file(std::string_view relative, std::uint64_t size = 0) const;
  std::string write_text(std::string_view relative, std::string_view text) const;
  std::string make_symlink(std::string_view target, std::string_view relative) const;
  std::string make_hardlink(std::string_view existing, std::string_view relative) const;
  std::string make_fifo(std::string_view relative) const;

 private:
  std::string path_;
};

// Runs `create`, which makes entries whose names are not valid UTF-8. When the
// file system refuses such a name (EILSEQ, as APFS does), returns the reason
// to skip the test with; otherwise nothing. Other failures propagate.
std::optional<std::string> name_refused(const std::function<void()>& create);

// Runs the statements given, which make entries whose names are not valid
// UTF-8, and skips the running test with the reason when the file system
// refuses such names. In a helper, the caller checks IsSkipped() afterwards.
#define TESSALY_CREATE_OR_SKIP(...)                                                        \
  if (const auto tessaly_refused = ::tessaly::testing::name_refused([&] { __VA_ARGS__; })) \
  GTEST_SKIP() << *tessaly_refused

// Removes `path` with everything below it, also directories that tests made
// unreadable, with one open descriptor and no whole paths, so neither depth
// nor path length matters. What cannot be removed is left in place.
void remove_tree(const std::string& path);

// Builds a chain of directories named `segment` under `base` until the path
// is longer than `length`, with a file "deep.txt" of 5000 bytes at the
// bottom, by descriptors, as path calls fail past PATH_MAX. Returns the
// bottom directory's path. Throws when a step fails.
std::string make_long_chain(const std::string& base, const std::string& segment,
                            std::size_t length);

// Allocated bytes of a path as stat reports them (st_blocks * 512), links not
// followed.
std::uint64_t allocated_size(const std::string& path);

struct ProcessResult {
  int exit_code = -1;  // exit status, or 128 + signal number
  std::string out;
  std::string err;
};

// The whole content of the file at `path`; "" when it cannot be read.
std::string read_file(const std::string& path);
// All `file` holds, from its start, after flushing what was written to it.
std::string read_stream(std::FILE* file);
// The names of the entries of the directory `dir`, sorted.
std::vector<std::string> entry_names(const std::string& dir);
// Whether `path` names anything, a dangling link included.
bool path_exists(const std::string& path);

// Runs `argv` (argv[0] is the program path) with `cwd` as working directory,
// capturing both output streams.
ProcessResult run_process(const std::vector<std::string>& argv, const std::string& cwd = {});

// Runs `body` in a forked child that has dropped root privileges to uid/gid
// 65534; returns the child's exit status (the body's return value), or -1 when
// privileges could not be dropped.
int run_unprivileged(const std::function<int()>& body);

// A path from which uid 65534 can run `program`: the program itself when that
// user reaches it where it lies, else a copy in a fresh mode-755 folder under
// the temporary folder (made once per program, removed when this process
// ends), so that where the build folder lies never matters. Otherwise the
// reason, for a test to skip with: not root, or the copy unreachable too.
std::expected<std::string, std::string> unprivileged_program(const std::string& program);

// The descriptors this process holds open, by number, at this moment. Throws
// when the system does not list them.
std::set<std::string> open_descriptor_names();

// The path of this program's executable file, or "" when it cannot be found.
std::string own_program_path();

// pipe2(fds, flags) for the flags O_CLOEXEC and O_NONBLOCK, set on both ends:
// 0, or -1 with errno set.
int open_pipe(int fds[2], int flags);

// Extends the empty file open as `fd` to `bytes`, every byte on reserved
// blocks, without writing them: 0, or an errno value when the file system
// cannot.
int reserve_blocks(int fd, std::uint64_t bytes);

// Runs this test program again in a fresh process, selecting the test case
// `filter`, with `environment` applied to this process's own: "NAME=value"
// sets a variable, a bare "NAME" removes it. With `unprivileged` the
// child runs unprivileged_program's path, from "/", after dropping to uid/gid
// 65534, and a `max_descriptors` other than 0
// limits the descriptors it may open (RLIMIT_NOFILE). A fresh image, because a forked copy of
// a process whose worker pool has started has no pool threads. Returns what
// the child printed after "RESULT " on that line, or a description of what
// went wrong, a child that failed included.
std::string run_test_child(const std::string& filter, const std::vector<std::string>& environment,
                           bool unprivileged = false, rlim_t max_descriptors = 0);

}  // namespace tessaly::testing
