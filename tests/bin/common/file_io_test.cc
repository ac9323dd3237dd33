#include "bin/common/file_io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bin/common/stop_signals.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::entry_names;
using testing::read_file;

using testing::TempDir;

TEST(OutputFile, CommitPutsTheWholeContentInPlace) {
  TempDir dir;
  const std::string target = dir.at("out.json");
  auto file = OutputFile::create(target);
  ASSERT_TRUE(file.has_value()) << os_error_text(file.error());
  EXPECT_TRUE(file->temp_path().starts_with(dir.at(".out.json.tmp-"))) << file->temp_path();
  EXPECT_TRUE(file->write("hello "));
  EXPECT_TRUE(file->write("world\n"));
  EXPECT_FALSE(std::filesystem::exists(target)) << "nothing appears before the commit";
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "hello world\n");
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"out.json"});
}

TEST(OutputFile, ReplacesAnExistingFileOnlyOnCommit) {
  TempDir dir;
  const std::string target = dir.write_text("out.json", "old");
  {
    auto file = OutputFile::create(target);
    ASSERT_TRUE(file.has_value());
    EXPECT_TRUE(file->write("new"));
    EXPECT_EQ(read_file(target), "old");
  }
  EXPECT_EQ(read_file(target), "old") << "an uncommitted file is dropped";
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"out.json"});

  auto file = OutputFile::create(target);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->write("new"));
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "new");
}

TEST(OutputFile, DiscardRemovesTheTemporaryFile) {
  TempDir dir;
  auto file = OutputFile::create(dir.at("out.json"));
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(std::filesystem::exists(file->temp_path()));
  file->discard();
  EXPECT_FALSE(file->write("late"));
  EXPECT_TRUE(entry_names(dir.path()).empty());
  const auto committed = file->commit();
  ASSERT_FALSE(committed.has_value());
  EXPECT_EQ(write_error_text(dir.at("out.json"), committed.error()),
            "failed to write " + dir.at("out.json") + ": Bad file descriptor (os error 9)");
}

TEST(OutputFile, MovedFromFilesOwnNothing) {
  TempDir dir;
  auto file = OutputFile::create(dir.at("out.json"));
  ASSERT_TRUE(file.has_value());
  OutputFile moved(std::move(*file));
  file->discard();
  EXPECT_EQ(entry_names(dir.path()).size(), 1u) << "only the new owner removes the file";
  EXPECT_TRUE(moved.write("x"));
  ASSERT_TRUE(moved.commit().has_value());
  EXPECT_EQ(read_file(dir.at("out.json")), "x");
}

std::string create_error(const std::string& path) {
  auto file = OutputFile::create(path);
  EXPECT_FALSE(file.has_value()) << path;
  const auto probe = check_writable(path);
  EXPECT_FALSE(probe.has_value()) << path;
  if (!file && !probe) {
    EXPECT_EQ(file.error(), probe.error()) << "the check agrees: " << path;
  }
  return file ? std::string() : write_error_text(path, file.error());
}

TEST(OutputFile, TargetsThatCannotBeWritten) {
  TempDir dir;
  dir.make_dir("sub");
  const std::string missing_parent = dir.at("missing/out.json");
  EXPECT_EQ(create_error(missing_parent),
            "failed to write " + missing_parent + ": No such file or directory (os error 2)");
  EXPECT_EQ(create_error(dir.at("sub")),
            "failed to write " + dir.at("sub") + ": Is a directory (os error 21)");
  EXPECT_EQ(create_error(dir.at("sub/")),
            "failed to write " + dir.at("sub/") + ": Is a directory (os error 21)");
  EXPECT_EQ(create_error(dir.at("sub/..")),
            "failed to write " + dir.at("sub/..") + ": Is a directory (os error 21)");
  const std::string file_parent = dir.write_text("plain", "x") + "/out.json";
  EXPECT_EQ(create_error(file_parent),
            "failed to write " + file_parent + ": Not a directory (os error 20)");
  EXPECT_EQ(create_error(""), "failed to write : No such file or directory (os error 2)");
  EXPECT_EQ(entry_names(dir.path()), (std::vector<std::string>{"plain", "sub"}));
}

TEST(OutputFile, RenameFailureLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string target = dir.at("later-a-directory");
  auto file = OutputFile::create(target);
  ASSERT_TRUE(file.has_value());
  EXPECT_TRUE(file->write("data"));
  dir.make_dir("later-a-directory/child");
  const auto committed = file->commit();
  ASSERT_FALSE(committed.has_value());
  EXPECT_EQ(write_error_text(target, committed.error()),
            "failed to write " + target + ": Is a directory (os error 21)");
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"later-a-directory"});
}

TEST(OutputFile, LongNamesStillGetATemporaryFile) {
  TempDir dir;
  const std::string target = dir.at(std::string(255, 'n'));
  auto file = OutputFile::create(target);
  ASSERT_TRUE(file.has_value()) << os_error_text(file.error());
  EXPECT_TRUE(file->write("x"));
  ASSERT_TRUE(file->commit().has_value());
  EXPECT_EQ(read_file(target), "x");
}

TEST(OutputFile, ADirectoryWithoutWritePermission) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string locked = dir.make_dir("locked");
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  const std::string target = locked + "/out.json";
  const int status = testing::run_unprivileged([&] {
    auto file = OutputFile::create(target);
    if (file.has_value()) return 10;
    return write_error_text(target, file.error()) ==
                   "failed to write " + target + ": Permission denied (os error 13)"
               ? 0
               : 11;
  });
  if (status == -1) GTEST_SKIP() << "cannot drop privileges to uid 65534 here";
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(entry_names(locked).empty());
}

mode_t mode_of(const std::string& path, bool follow = true) {
  struct stat st {};
  EXPECT_EQ(follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

TEST(OutputFile, LinksAreFollowedToTheFileTheyName) {
  TempDir dir;
  const std::string target = dir.write_text("real.json", "old");
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  dir.make_dir("sub");
  dir.make_symlink("../real.json", "sub/relative");
  dir.make_symlink(dir.at("sub/relative"), "chain");
  dir.make_symlink("new.json", "dangling");
  ASSERT_TRUE(write_file_whole(dir.at("chain"), "via two links").has_value());
  EXPECT_EQ(read_file(target), "via two links");
  EXPECT_EQ(mode_of(target) & 07777, 0640u) << "the replacement keeps the permissions";
  EXPECT_TRUE(S_ISLNK(mode_of(dir.at("chain"), false)));
  EXPECT_TRUE(S_ISLNK(mode_of(dir.at("sub/relative"), false)));
  ASSERT_TRUE(write_file_whole(dir.at("dangling"), "created").has_value());
  EXPECT_EQ(read_file(dir.at("new.json")), "created");
  EXPECT_TRUE(S_ISLNK(mode_of(dir.at("dangling"), false)));
  dir.make_symlink("loop-b", "loop-a");
  dir.make_symlink("loop-a", "loop-b");
  EXPECT_EQ(write_file_whole(dir.at("loop-a"), "x").error(),
            write_error_text(dir.at("loop-a"), ELOOP));
  EXPECT_TRUE(S_ISLNK(mode_of(dir.at("loop-a"), false)));
}

TEST(OutputFile, AFifoIsWrittenInPlaceAndNotOpenedByTheCheck) {
  TempDir dir;
  const std::string fifo = dir.make_fifo("pipe");
  EXPECT_TRUE(check_writable(fifo).has_value()) << "no reader, yet no wait";
  std::string received;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) received.append(buffer, n);
    ::close(fd);
  });
  auto file = OutputFile::create(fifo);
  ASSERT_TRUE(file.has_value()) << os_error_text(file.error());
  EXPECT_TRUE(file->temp_path().empty());
  EXPECT_TRUE(file->write("through "));
  EXPECT_TRUE(file->write("the pipe"));
  EXPECT_TRUE(file->commit().has_value());
  reader.join();
  EXPECT_EQ(received, "through the pipe");
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo, false)));
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"pipe"});
}

// In a child, as the stop token is the process's and never cleared: a FIFO
// whose reader never reads fills, the write waits for room, and the stop
// requested while it surely waits (the FIFO is full) ends it with ECANCELED.
TEST(OutputFile, AStopEndsAWriteThatWaitsForRoomInAFifo) {
  TempDir dir;
  const std::string fifo = dir.make_fifo("pipe");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int idle_reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto file = OutputFile::create(fifo);
    if (idle_reader < 0 || !file) ::_exit(10);
    std::thread stopper([&] {
      // The FIFO holds what it can: the writer now waits for room.
      int held = 0;
      while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (::ioctl(idle_reader, FIONREAD, &held) != 0) ::_exit(11);
#if defined(F_GETPIPE_SZ)
        if (held >= ::fcntl(idle_reader, F_GETPIPE_SZ)) break;
#else
        if (held >= 8192) break;
#endif
      }
      stop_token().request_cancel();
    });
    const bool written = file->write(std::string(4 << 20, 'x'));
    const auto committed = file->commit();
    stopper.join();
    ::_exit(!written && !committed && committed.error() == ECANCELED ? 0 : 12);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"pipe"});
}

TEST(OutputFile, ADeviceIsWrittenInPlace) {
  TempDir dir;
  const std::string device = dir.at("null");
  if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  dir.make_symlink("null", "link");
  ASSERT_TRUE(write_file_whole(device, "gone").has_value());
  ASSERT_TRUE(write_file_whole(dir.at("link"), "gone").has_value());
  EXPECT_TRUE(S_ISCHR(mode_of(device, false)));
  EXPECT_TRUE(S_ISLNK(mode_of(dir.at("link"), false)));
  EXPECT_EQ(entry_names(dir.path()), (std::vector<std::string>{"link", "null"}));
}

std::string read_failure(const std::string& path, std::size_t cap) {
  const auto text = read_file_whole(path, cap);
  if (text) return "read " + std::to_string(text->size());
  switch (text.error().kind) {
    case ReadFailure::Kind::kSystem:
      return os_error_text(text.error().error_number);
    case ReadFailure::Kind::kNotRegular:
      return "not regular";
    case ReadFailure::Kind::kTooLarge:
      return "too large";
  }
  return "";
}

TEST(ReadFileWhole, RegularFilesUpToTheCapOnly) {
  TempDir dir;
  const std::string file = dir.write_text("ten", "0123456789");
  EXPECT_EQ(read_file_whole(file, 10).value(), "0123456789");
  EXPECT_EQ(read_failure(file, 9), "too large");
  EXPECT_EQ(read_failure(dir.make_fifo("pipe"), 100), "not regular") << "and no wait";
  EXPECT_EQ(read_failure("/dev/zero", 100), "not regular");
  EXPECT_EQ(read_failure(dir.path(), 100), "Is a directory (os error 21)");
  EXPECT_EQ(read_failure(dir.at("missing"), 100), "No such file or directory (os error 2)");
#if defined(__linux__)
  // Reports a size of 0 and holds more: the read itself stops at the cap.
  EXPECT_EQ(read_failure("/proc/self/status", 10), "too large");
#endif
}

TEST(StatAnyLength, PathsLongerThanPathMax) {
  TempDir dir;
  const std::string bottom = testing::make_long_chain(dir.path(), std::string(200, 'd'), PATH_MAX);
  ASSERT_GT(bottom.size(), static_cast<std::size_t>(PATH_MAX));
  const auto st = stat_any_length(bottom + "/deep.txt");
  ASSERT_TRUE(st.has_value()) << os_error_text(st.error());
  EXPECT_EQ(st->st_size, 5000);
  EXPECT_EQ(stat_any_length(bottom + "/missing").error(), ENOENT);
  EXPECT_EQ(stat_any_length(bottom + "/" + std::string(PATH_MAX, 'x')).error(), ENAMETOOLONG);
}

}  // namespace
}  // namespace tessaly
