// What scan() makes of roots it cannot scan and of trees it can only read in
// part: each wrong root is refused with its kind and the root's name, and
// unreadable directories below a good root are listed as problems, as an
// ordinary user (uid 65534) meets them.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <tessaly/tessaly.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "progress/progress.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::TempDir;

ScanRequest request_for(std::string root, const char* engine = "jwalk") {
  ScanRequest request;
  request.root = std::move(root);
  request.engine = std::string(engine);
  request.volume_probe = VolumeProbe::kSkip;
  return request;
}

ScanError refusal(ScanErrorKind kind, const std::string& shown, int error) {
  return ScanError{
      kind, shown + ": " + std::strerror(error) + " (os error " + std::to_string(error) + ")"};
}

std::string make_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "socket " << path << ": " << std::strerror(errno);
  }
  if (fd >= 0) ::close(fd);  // the socket file stays
  return path;
}

TEST(ScanRoots, EachWrongRootIsRefusedWithItsKindNamingTheRoot) {
  scan_cancel_flag().store(false);
  TempDir dir;
  const std::string file = dir.write_file("file", 100);
  const std::string fifo = dir.make_fifo("fifo");
  const std::string socket = make_socket(dir.at("socket"));
  const std::string missing = dir.at("missing");
  const std::string loop = dir.make_symlink("loop-b", "loop-a");
  dir.make_symlink("loop-a", "loop-b");
  const std::string dangling = dir.make_symlink("missing", "dangling");
  const std::string to_fifo = dir.make_symlink("fifo", "to-fifo");
  const std::string with_nul = dir.path() + std::string("\0x", 2);

  using enum ScanErrorKind;
  const std::vector<std::pair<std::string, ScanError>> cases = {
      {missing, refusal(kRootNotFound, missing, ENOENT)},
      {"", refusal(kRootNotFound, "\"\"", ENOENT)},
      {with_nul, refusal(kRootNotFound, dir.path() + "\\0x", ENOENT)},
      {loop, refusal(kRootNotFound, loop, ELOOP)},
      {dangling, refusal(kRootNotFound, dangling, ENOENT)},
      {fifo, refusal(kNotADirectory, fifo, ENOTDIR)},
      {socket, refusal(kNotADirectory, socket, ENOTDIR)},
      {"/dev/null", refusal(kNotADirectory, "/dev/null", ENOTDIR)},
      {file, refusal(kNotADirectory, file, ENOTDIR)},
      {file + "/below", refusal(kRootNotFound, file + "/below", ENOTDIR)},
      {to_fifo, refusal(kNotADirectory, to_fifo, ENOTDIR)},
  };
  for (const char* engine : {"jwalk", "bulk-attrs"}) {
    for (const auto& [root, expected] : cases) {
      const auto outcome = scan(request_for(root, engine));
      ASSERT_FALSE(outcome.has_value()) << engine << " " << root;
      EXPECT_EQ(outcome.error(), expected) << engine;
    }
  }
  // The older door keeps the engines' way: an empty tree, the root a problem.
  const auto older = run_scan(request_for(missing));
  ASSERT_TRUE(older.has_value());
  EXPECT_EQ(older->result->files_found + older->result->dirs_found, 0u);
  EXPECT_EQ(older->problems, (std::vector<ScanProblem>{{missing, ENOENT}}));
}

TEST(ScanRoots, ALinkToADirectoryScansIt) {
  TempDir dir;
  const std::uint64_t size = testing::allocated_size(dir.write_file("tree/a/f", 5000));
  const std::string link = dir.make_symlink("tree", "link");
  for (const char* engine : {"jwalk", "bulk-attrs"}) {
    const auto outcome = scan(request_for(link, engine));
    ASSERT_TRUE(outcome.has_value()) << outcome.error().message;
    EXPECT_EQ(outcome->result->files_found, 1u) << engine;
    EXPECT_EQ(outcome->result->dirs_found, 1u) << engine;
    EXPECT_EQ(outcome->result->total_size, size) << engine;
    EXPECT_TRUE(outcome->problems.empty()) << engine;
    EXPECT_EQ(outcome->problems_total, 0u) << engine;
  }
}

TEST(ScanRoots, ARelativeExcludePathIsRefused) {
  TempDir dir;
  dir.write_file("a/f", 100);
  ScanRequest request = request_for(dir.path());
  request.exclude_paths = {dir.at("a"), "a"};
  EXPECT_EQ(scan(request).error(),
            (ScanError{ScanErrorKind::kInvalidRequest, "Exclude path is not absolute: a"}));
  request.exclude_paths = {dir.at("a")};
  const auto outcome = scan(request);
  ASSERT_TRUE(outcome.has_value());
  EXPECT_EQ(outcome->result->files_found, 0u);
}

// --- As an ordinary user, in a fresh process -----------------------------------

// The child's scan of TESSALY_ROOTS_ROOT with TESSALY_ROOTS_ENGINE, in one line.
std::string unprivileged_scan(const std::string& root, const char* engine) {
  return testing::run_test_child(
      "ScanRootsChild.Scan",
      {"TESSALY_ROOTS_ROOT=" + root, std::string("TESSALY_ROOTS_ENGINE=") + engine}, true);
}

class UnprivilegedScan : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a child as uid 65534";
    if (const auto runnable = testing::unprivileged_program(testing::own_program_path());
        !runnable) {
      GTEST_SKIP() << runnable.error();
    }
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  }
  TempDir dir_;
};

INSTANTIATE_TEST_SUITE_P(Engines, UnprivilegedScan, ::testing::Values("jwalk", "bulk-attrs"),
                         [](const auto& engine_info) {
                           return std::string(engine_info.param) == "jwalk" ? "jwalk" : "bulk";
                         });

TEST_P(UnprivilegedScan, ALockedRootIsPermissionDenied) {
  const std::string root = dir_.make_dir("root");
  dir_.write_file("root/f", 100);
  ASSERT_EQ(::chmod(root.c_str(), 0), 0);
  EXPECT_EQ(unprivileged_scan(root, GetParam()),
            "error " + std::to_string(static_cast<int>(ScanErrorKind::kPermissionDenied)) + " " +
                root + ": Permission denied (os error 13)");
}

TEST_P(UnprivilegedScan, LockedFoldersAreListedAsProblems) {
  const std::string root = dir_.make_dir("root");
  const std::uint64_t size = testing::allocated_size(dir_.write_file("root/open/f", 5000));
  for (const char* locked : {"root/c", "root/a", "root/open/b"}) {
    dir_.write_file(std::string(locked) + "/hidden", 5000);
    ASSERT_EQ(::chmod(dir_.at(locked).c_str(), 0), 0);
  }
  // The three locked folders count as folders, with nothing below them.
  EXPECT_EQ(unprivileged_scan(root, GetParam()), "files 1 dirs 4 total " + std::to_string(size) +
                                                     " problems " + root + "/a 13, " + root +
                                                     "/c 13, " + root + "/open/b 13, total 3");
}

TEST_P(UnprivilegedScan, AThousandProblemsAreListedAndAllCounted) {
  const std::string root = dir_.make_dir("root");
  for (int i = 0; i < 1005; ++i) {
    const std::string locked = dir_.make_dir("root/d" + std::to_string(i));
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
  }
  EXPECT_EQ(unprivileged_scan(root, GetParam()),
            "files 0 dirs 1005 total 0 problems 1000 listed, each 13, sorted, total 1005");
}

TEST(ScanRootsChild, Scan) {
  const char* root = std::getenv("TESSALY_ROOTS_ROOT");
  const char* engine = std::getenv("TESSALY_ROOTS_ENGINE");
  if (root == nullptr || engine == nullptr) GTEST_SKIP() << "runs only as a child of another test";
  const auto outcome = scan(request_for(root, engine));
  std::string report;
  if (!outcome) {
    report = "error " + std::to_string(static_cast<int>(outcome.error().kind)) + " " +
             outcome.error().message;
  } else {
    const ScanResult& result = *outcome->result;
    report = "files " + std::to_string(result.files_found) + " dirs " +
             std::to_string(result.dirs_found) + " total " + std::to_string(result.total_size) +
             " problems ";
    const std::vector<ScanProblem>& problems = outcome->problems;
    if (problems.size() > 3) {
      bool each_eacces = true;
      bool sorted = true;
      for (std::size_t i = 0; i < problems.size(); ++i) {
        each_eacces = each_eacces && problems[i].os_error == EACCES;
        sorted = sorted && (i == 0 || problems[i - 1].path < problems[i].path);
      }
      report += std::to_string(problems.size()) + " listed, " +
                (each_eacces ? "each 13, " : "not all 13, ") + (sorted ? "sorted, " : "unsorted, ");
    } else {
      for (const ScanProblem& problem : problems) {
        report += problem.path + " " + std::to_string(problem.os_error) + ", ";
      }
    }
    report += "total " + std::to_string(outcome->problems_total);
  }
  std::printf("RESULT %s\n", report.c_str());
  std::fflush(stdout);
}

}  // namespace
}  // namespace tessaly
