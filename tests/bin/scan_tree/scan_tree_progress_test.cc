#include "bin/scan_tree/progress_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <string>

#include "support/temp_tree.h"

namespace tessaly::scan_tree {
namespace {

// Both ends of a pipe; what the progress line wrote is read back from it.
class Pipe {
 public:
  Pipe() { EXPECT_EQ(testing::open_pipe(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int write_end() const { return fds_[1]; }
  std::string drain() const {
    std::string data;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    }
    return data;
  }

 private:
  int fds_[2] = {-1, -1};
};

TEST(ScanTreeProgressText, CountersSizeAndTenthsOfSeconds) {
  EXPECT_EQ(progress_text(ScanProgress{12, 3, 40960, 101}),
            "scanning: 12 files, 3 dirs, 40.0 KiB, 0.1 s");
  EXPECT_EQ(progress_text(ScanProgress{0, 0, 0, 0}), "scanning: 0 files, 0 dirs, 0 B, 0.0 s");
  EXPECT_EQ(progress_text(ScanProgress{1, 1, 1 << 20, 61999}),
            "scanning: 1 files, 1 dirs, 1.0 MiB, 61.9 s");
}

TEST(ScanTreeTerminalProgress, RewritesOneLineAndClearsIt) {
  Pipe pipe;
  TerminalProgress progress(pipe.write_end());
  progress.clear();
  EXPECT_EQ(pipe.drain(), "") << "nothing shown, nothing to clear";

  EXPECT_TRUE(progress.show(ScanProgress{12, 3, 40960, 101}));
  EXPECT_EQ(pipe.drain(), "\rscanning: 12 files, 3 dirs, 40.0 KiB, 0.1 s\x1b[K");
  EXPECT_TRUE(progress.show(ScanProgress{13, 3, 40960, 250}));
  EXPECT_EQ(pipe.drain(), "\rscanning: 13 files, 3 dirs, 40.0 KiB, 0.2 s\x1b[K");

  progress.clear();
  EXPECT_EQ(pipe.drain(), "\r\x1b[K");
  progress.clear();
  EXPECT_EQ(pipe.drain(), "");
}

TEST(ScanTreeTerminalProgress, WithoutEscapeSequencesSpacesCoverTheOldLine) {
  Pipe pipe;
  TerminalProgress progress(pipe.write_end(), /*escape_sequences=*/false);
  const std::string long_text = "scanning: 12345 files, 3 dirs, 40.0 KiB, 0.1 s";
  const std::string short_text = "scanning: 1 files, 3 dirs, 40.0 KiB, 0.1 s";
  EXPECT_TRUE(progress.show(ScanProgress{12345, 3, 40960, 100}));
  EXPECT_EQ(pipe.drain(), "\r" + long_text);
  EXPECT_TRUE(progress.show(ScanProgress{1, 3, 40960, 100}));
  EXPECT_EQ(pipe.drain(),
            "\r" + short_text + std::string(long_text.size() - short_text.size(), ' '));
  progress.clear();
  EXPECT_EQ(pipe.drain(), "\r" + std::string(long_text.size(), ' ') + "\r");
  progress.clear();
  EXPECT_EQ(pipe.drain(), "");
}

TEST(ScanTreeTerminalProgress, ALongLineIsCutBelowTheTerminalWidth) {
  Pipe pipe;
  TerminalProgress progress(pipe.write_end());
  ASSERT_TRUE(progress.show(ScanProgress{UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX}));
  const std::string written = pipe.drain();
  ASSERT_TRUE(written.starts_with("\rscanning: 18446744073709551615 files, "));
  ASSERT_TRUE(written.ends_with("...\x1b[K"));
  // Without a terminal to ask, the line takes at most 79 columns.
  EXPECT_EQ(written.size(), 1u + 79u + 3u);
}

TEST(ScanTreeTerminalProgress, AClosedTerminalIsAFailedEmission) {
  int fds[2];
  ASSERT_EQ(testing::open_pipe(fds, O_CLOEXEC), 0);
  ::close(fds[0]);
  ::signal(SIGPIPE, SIG_IGN);
  TerminalProgress progress(fds[1]);
  EXPECT_FALSE(progress.show(ScanProgress{1, 2, 3, 4}));
  ::close(fds[1]);
}

}  // namespace
}  // namespace tessaly::scan_tree
