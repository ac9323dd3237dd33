// Runs the built scan_tree program on real temporary trees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "bin/scan_tree/options.h"
#include "bin/scan_tree/render.h"
#include "bin/scan_tree/text.h"
#include "support/temp_tree.h"

extern char** environ;

namespace tessaly::scan_tree {
namespace {

using testing::entry_names;
using testing::read_file;

using testing::allocated_size;
using testing::ProcessResult;
using testing::run_process;
using testing::TempDir;

const std::vector<std::string> kEngines = {"bulk-attrs", "jwalk"};
#if defined(__linux__)
constexpr bool kOnLinux = true;
#else
constexpr bool kOnLinux = false;
#endif

ProcessResult scan_tree(std::vector<std::string> args, const std::string& cwd = {}) {
  args.insert(args.begin(), SCAN_TREE_BINARY);
  return run_process(args, cwd);
}

// The number right after the first `prefix` in `text`, if digits follow it.
std::optional<std::uint64_t> number_after(const std::string& text, std::string_view prefix) {
  const std::size_t at = text.find(prefix);
  if (at == std::string::npos) return std::nullopt;
  const std::size_t start = at + prefix.size();
  std::size_t end = start;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end == start) return std::nullopt;
  return std::stoull(text.substr(start, end - start));
}

// The tree row the report prints for `size` within `parent_size`.
std::string row(std::uint64_t size, std::uint64_t parent_size, int level, std::string_view label) {
  return fmt::format("{} {}  {}  {}{}\n", pad_left(human_size(size), 10),
                     pad_left(share_text(size, parent_size), 6), bar_text(size, parent_size, false),
                     std::string(2 * level, ' '), label);
}

// root/
//   a/a1, a/deep/d1, a/deep/deeper/x, a/deep/deeper/deepest/y
//   b/b1
//   c.txt
//   empty/
struct KnownTree {
  TempDir dir;
  std::uint64_t a1, d1, x, y, b1, c;

  KnownTree() {
    a1 = allocated_size(dir.write_file("a/a1", 300'000));
    d1 = allocated_size(dir.write_file("a/deep/d1", 100'000));
    x = allocated_size(dir.write_file("a/deep/deeper/x", 5'000));
    y = allocated_size(dir.write_file("a/deep/deeper/deepest/y", 70'000));
    b1 = allocated_size(dir.write_file("b/b1", 50'000));
    c = allocated_size(dir.write_file("c.txt", 1'000));
    dir.make_dir("empty");
  }
  std::uint64_t deeper() const { return x + y; }
  std::uint64_t deep() const { return d1 + deeper(); }
  std::uint64_t a() const { return a1 + deep(); }
  std::uint64_t total() const { return a() + b1 + c; }
};

TEST(ScanTreeCommandLine, NoArgumentsIsAUsageError) {
  const ProcessResult r = scan_tree({});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "error: --root or --import is required\n");
  EXPECT_EQ(r.out, usage_text);
}

TEST(ScanTreeCommandLine, HelpGoesToStandardOutput) {
  for (const char* flag : {"--help", "-h"}) {
    const ProcessResult r = scan_tree({"--root", "/nonexistent", flag, "--bogus"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ScanTreeCommandLine, UsageErrorsNameTheirCause) {
  TempDir dir;
  const std::string file = dir.write_file("f", 1);
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--bogus", "--help"}, "unknown flag: --bogus"},
      {{"--root", dir.path(), "--engine", "fast"}, "unknown engine: fast"},
      {{"--root", dir.path(), "--engine"}, "--engine requires a value"},
      {{"--root", dir.path(), "--json"}, "--json requires a value"},
      {{"--root", dir.path(), "--top", "0"}, "--top must be at least 1"},
      {{"--root", dir.path(), "--top", "ten"}, "invalid integer for --top: ten"},
      {{"--root", dir.path(), "--tree-depth"}, "missing value for --tree-depth"},
      {{"--root", dir.at("missing")}, "root path does not exist: " + dir.at("missing")},
      {{"--root", file}, "root path is not a directory: " + file},
      {{"--root", dir.path(), "--exclude", "bad\xff"}, "argument is not valid UTF-8: bad\uFFFD"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = scan_tree(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_EQ(r.err, "error: " + c.message + "\n");
    EXPECT_EQ(r.out, usage_text);
  }
  EXPECT_EQ(entry_names(dir.path()), std::vector<std::string>{"f"});
}

TEST(ScanTreeCommandLine, AnUnwritableJsonTargetFailsBeforeScanning) {
  TempDir dir;
  dir.make_dir("tree");
  const std::string target = dir.at("no-such-dir/out.json");
  const ProcessResult r = scan_tree({"--root", dir.at("tree"), "--json", target});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "failed to write " + target + ": No such file or directory (os error 2)\n");
  EXPECT_EQ(r.out, "");

  const ProcessResult to_dir = scan_tree({"--root", dir.at("tree"), "--json", dir.at("tree")});
  EXPECT_EQ(to_dir.exit_code, 1);
  EXPECT_EQ(to_dir.err, "failed to write " + dir.at("tree") + ": Is a directory (os error 21)\n");
  EXPECT_EQ(entry_names(dir.at("tree")), std::vector<std::string>{});
}

TEST(ScanTreeReport, PrintsTheKnownSizes) {
  KnownTree tree;
  for (const std::string& engine : kEngines) {
    const ProcessResult r = scan_tree({"--root", tree.dir.path(), "--engine", engine});
    ASSERT_EQ(r.exit_code, 0) << engine << ": " << r.err;
    EXPECT_EQ(r.err, "") << "no progress without a terminal";
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "no colour without a terminal";

    const std::string head = fmt::format(
        "root         {}\n"
        "engine       {}\n"
        "files        6\n"
        "directories  6\n"
        "size         {} ({} bytes)\n"
        "elapsed      ",
        tree.dir.path(), engine, human_size(tree.total()), tree.total());
    EXPECT_TRUE(r.out.starts_with(head)) << r.out;

    const std::string expected_tree =
        "Largest directories (3 levels, top 10 each)\n" +
        row(tree.total(), tree.total(), 0, fit_keep_end(tree.dir.path(), 39)) +
        row(tree.a(), tree.total(), 1, "a/") + row(tree.deep(), tree.a(), 2, "deep/") +
        row(tree.deeper(), tree.deep(), 3, "deeper/") + row(tree.d1, tree.deep(), 3, "(1 file)") +
        row(tree.a1, tree.a(), 2, "(1 file)") + row(tree.b1, tree.total(), 1, "b/") +
        row(tree.b1, tree.b1, 2, "(1 file)") + row(0, tree.total(), 1, "empty/") +
        row(tree.c, tree.total(), 1, "(1 file)") + "\nLarge files (500 MiB or more): none\n";
    EXPECT_TRUE(r.out.ends_with("\n\n" + expected_tree)) << r.out;
  }
}

// On Linux bulk-attrs runs without the apfs/hfs volume check, and the report
// says so right below the elapsed time; elsewhere, and for jwalk, it does not.
TEST(ScanTreeReport, SaysWhenTheBulkEngineRanPastTheVolumeCheck) {
  KnownTree tree;
  const std::string note =
      "volume check skipped: bulk-attrs ran its Linux layer, not limited to apfs/hfs\n";
  for (const std::string& engine : kEngines) {
    const ProcessResult r = scan_tree({"--root", tree.dir.path(), "--engine", engine});
    ASSERT_EQ(r.exit_code, 0) << engine << ": " << r.err;
    const std::size_t next = r.out.find('\n', r.out.find("\nelapsed      ") + 1) + 1;
    const bool noted = kOnLinux && engine == "bulk-attrs";
    EXPECT_EQ(r.out.compare(next, note.size(), note) == 0, noted) << engine << ": " << r.out;
    EXPECT_EQ(r.out.find("volume check") != std::string::npos, noted) << engine;
  }
}

TEST(ScanTreeReport, TopAndTreeDepthShapeTheTree) {
  KnownTree tree;
  const ProcessResult r = scan_tree(
      {"--root", tree.dir.path(), "--engine", "jwalk", "--top", "1", "--tree-depth", "1"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string expected_tree =
      "Largest directories (1 level, top 1 each)\n" +
      row(tree.total(), tree.total(), 0, fit_keep_end(tree.dir.path(), 39)) +
      row(tree.a(), tree.total(), 1, "a/") + row(tree.b1, tree.total(), 1, "(2 more directories)") +
      row(tree.c, tree.total(), 1, "(1 file)") + "\n";
  EXPECT_NE(r.out.find(expected_tree), std::string::npos) << r.out;
}

TEST(ScanTreeReport, ExcludedPathsAreLeftOut) {
  KnownTree tree;
  for (const std::string& engine : kEngines) {
    const ProcessResult r = scan_tree({"--root", tree.dir.path(), "--engine", engine, "--exclude",
                                       tree.dir.at("a/deep"), "--exclude", tree.dir.at("b")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::uint64_t total = tree.a1 + tree.c;
    EXPECT_NE(r.out.find(fmt::format("files        2\ndirectories  2\nsize         {} ({} bytes)\n",
                                     human_size(total), total)),
              std::string::npos)
        << engine << ": " << r.out;
    EXPECT_NE(r.out.find(row(tree.a1, total, 1, "a/") + row(tree.a1, tree.a1, 2, "(1 file)") +
                         row(0, total, 1, "empty/")),
              std::string::npos)
        << engine << ": " << r.out;
    EXPECT_EQ(r.out.find("deep/"), std::string::npos);
    EXPECT_EQ(r.out.find("b/"), std::string::npos);
  }
}

TEST(ScanTreeReport, AFullOutputDeviceIsAFailure) {
  KnownTree tree;
  const ProcessResult r = run_process({"/bin/sh", "-c", "exec \"$0\" --root \"$1\" > /dev/full",
                                       SCAN_TREE_BINARY, tree.dir.path()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "failed to write standard output: No space left on device (os error 28)\n");
}

TEST(ScanTreeReport, ListsLargeFiles) {
  TempDir dir;
  // Sparse files: the report counts allocated blocks, so only the written
  // parts count; a large file needs real blocks.
  const std::string big = dir.at("media/big.iso");
  dir.make_dir("media");
  {
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const int rc = testing::reserve_blocks(fd, 600ULL * 1024 * 1024);
    ::close(fd);
    if (rc != 0) GTEST_SKIP() << "cannot allocate 600 MiB here: " << rc;
  }
  const std::uint64_t size = allocated_size(big);
  ASSERT_GE(size, 524'288'000u);
  const ProcessResult r = scan_tree({"--root", dir.path(), "--engine", "jwalk"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with(fmt::format("Large files (500 MiB or more): 1\n{}  {}\n",
                                          pad_left(human_size(size), 10), fit_keep_end(big, 68))))
      << r.out;
}

// "cold run 1: ... | files N | dirs N | total N bytes ..." of scan_bench.
struct BenchCounters {
  std::uint64_t files = 0, dirs = 0, total = 0;
};

std::optional<BenchCounters> scan_bench_counters(const std::string& root,
                                                 const std::string& scratch) {
  const ProcessResult r =
      run_process({SCAN_BENCH_BINARY, "--root", root, "--engine", "jwalk", "--cold-runs", "1",
                   "--warm-runs", "0", "--output", scratch + "/bench.json"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::size_t line = r.out.find("cold run 1: ");
  if (line == std::string::npos) return std::nullopt;
  const std::string run_line = r.out.substr(line, r.out.find('\n', line) - line);
  const auto files = number_after(run_line, " | files ");
  const auto dirs = number_after(run_line, " | dirs ");
  const auto total = number_after(run_line, " | total ");
  if (!files || !dirs || !total ||
      run_line.find(fmt::format(" | total {} bytes", *total)) == std::string::npos) {
    return std::nullopt;
  }
  return BenchCounters{*files, *dirs, *total};
}

TEST(ScanTreeJsonFile, MatchesTheTreeAndScanBench) {
  KnownTree tree;
  TempDir out;
  const std::optional<BenchCounters> bench = scan_bench_counters(tree.dir.path(), out.path());
  ASSERT_TRUE(bench.has_value());

  for (const std::string& engine : kEngines) {
    const std::string target = out.at(engine + ".json");
    const ProcessResult r =
        scan_tree({"--root", tree.dir.path(), "--engine", engine, "--json", target});
    ASSERT_EQ(r.exit_code, 0) << engine << ": " << r.err;
    EXPECT_TRUE(r.out.ends_with("\nJSON written to " + target + "\n")) << r.out;

    const nlohmann::ordered_json json = nlohmann::ordered_json::parse(read_file(target));
    std::vector<std::string> keys;
    for (const auto& item : json.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"root", "files_found", "dirs_found", "total_size",
                                              "compute_dir_sizes_ms", "large_files", "children_map",
                                              "truncated_sizes", "dir_sizes"}));
    EXPECT_EQ(json["root"], tree.dir.path());
    EXPECT_EQ(json["files_found"], bench->files) << engine;
    EXPECT_EQ(json["dirs_found"], bench->dirs) << engine;
    EXPECT_EQ(json["total_size"], bench->total) << engine;
    EXPECT_EQ(json["total_size"], tree.total());

    const std::string root = tree.dir.path();
    const nlohmann::ordered_json expected_sizes = {
        {root, tree.total()},
        {root + "/a", tree.a()},
        {root + "/a/deep", tree.deep()},
        {root + "/a/deep/deeper", tree.deeper()},
        {root + "/a/deep/deeper/deepest", tree.y},
        {root + "/b", tree.b1},
        {root + "/empty", 0},
    };
    EXPECT_EQ(json["dir_sizes"], expected_sizes) << engine;
    EXPECT_EQ(json["truncated_sizes"], nlohmann::ordered_json::object());
    EXPECT_EQ(json["children_map"][root], nlohmann::ordered_json::parse(fmt::format(
                                              R"([{{"name": "a", "size": 0, "is_dir": true}},
                      {{"name": "b", "size": 0, "is_dir": true}},
                      {{"name": "c.txt", "size": {}, "is_dir": false}},
                      {{"name": "empty", "size": 0, "is_dir": true}}])",
                                              tree.c)));
    EXPECT_EQ(json["large_files"], nlohmann::ordered_json::array());
  }
  EXPECT_EQ(entry_names(out.path()),
            (std::vector<std::string>{"bench.json", "bulk-attrs.json", "jwalk.json"}))
      << "no temporary file is left";
}

TEST(ScanTreeJsonFile, FoldsBelowTheTreeDepthAndIsTheSameForBothEngines) {
  KnownTree tree;
  TempDir out;
  std::vector<std::string> texts;
  for (const std::string& engine : kEngines) {
    const std::string target = out.at(engine + ".json");
    const ProcessResult r = scan_tree(
        {"--root", tree.dir.path(), "--engine", engine, "--tree-depth", "1", "--json", target});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    nlohmann::json json = nlohmann::json::parse(read_file(target));
    const std::string root = tree.dir.path();
    EXPECT_EQ(json["truncated_sizes"],
              (nlohmann::json{{root + "/a", tree.a()}, {root + "/b", tree.b1}}))
        << engine;
    EXPECT_EQ(json["dir_sizes"], (nlohmann::json{{root, tree.total()},
                                                 {root + "/a", tree.a()},
                                                 {root + "/b", tree.b1},
                                                 {root + "/empty", 0}}));
    json["compute_dir_sizes_ms"] = 0;
    texts.push_back(json.dump());
  }
  EXPECT_EQ(texts[0], texts[1]);
}

TEST(ScanTreeJsonFile, ReplacesAnExistingFile) {
  KnownTree tree;
  TempDir out;
  const std::string target = out.write_text("result.json", "old content");
  const ProcessResult r = scan_tree({"--root", tree.dir.path(), "--json", target});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(read_file(target))["total_size"], tree.total());
  EXPECT_EQ(entry_names(out.path()), std::vector<std::string>{"result.json"});
}

TEST(ScanTreeJsonFile, GoesThroughLinksAndIntoDevices) {
  KnownTree tree;
  TempDir out;
  out.write_text("result.json", "old content");
  out.make_symlink("result.json", "link.json");
  const ProcessResult linked =
      scan_tree({"--root", tree.dir.path(), "--json", out.at("link.json")});
  ASSERT_EQ(linked.exit_code, 0) << linked.err;
  EXPECT_EQ(nlohmann::json::parse(read_file(out.at("result.json")))["total_size"], tree.total());
  EXPECT_TRUE(std::filesystem::is_symlink(out.at("link.json")));

  const ProcessResult piped = scan_tree({"--root", tree.dir.path(), "--json", "/dev/stdout"});
  ASSERT_EQ(piped.exit_code, 0) << piped.err;
  const std::size_t json_end = piped.out.find("\n}\n") + 3;
  ASSERT_NE(json_end, std::string::npos + 3) << piped.out;
  EXPECT_EQ(nlohmann::json::parse(piped.out.substr(0, json_end))["total_size"], tree.total());
  EXPECT_TRUE(piped.out.ends_with("\nJSON written to /dev/stdout\n")) << piped.out;
}

TEST(ScanTreeCommandLine, ARootLongerThanPathMaxIsScanned) {
  TempDir dir;
  const std::string bottom = testing::make_long_chain(dir.path(), std::string(100, 'd'), PATH_MAX);
  for (const std::string& engine : kEngines) {
    const ProcessResult r = scan_tree({"--root", bottom, "--engine", engine});
    EXPECT_EQ(r.exit_code, 0) << engine << ": " << r.err;
    EXPECT_NE(r.out.find("\nfiles        1\n"), std::string::npos) << engine << ": " << r.out;
  }
}

// A program running with its standard error on a pseudo-terminal, and its
// standard output in a file or, when no file is named, on the same terminal.
// `extra_env` entries ("NAME=value") are added to the environment.
class PtyRun {
 public:
  PtyRun(const std::vector<std::string>& argv, const std::string& stdout_path,
         const std::vector<std::string>& extra_env = {}) {
    // macOS's posix_openpt refuses any flag but these two (EINVAL), so
    // close-on-exec is set apart.
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || ::grantpt(master_) != 0 ||
        ::unlockpt(master_) != 0)
      return;
    const char* name = ::ptsname(master_);
    if (name == nullptr) return;
    const std::string slave_name = name;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      const bool replaced = std::any_of(extra_env.begin(), extra_env.end(), [&](const auto& x) {
        return entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1);
      });
      if (!replaced) env.push_back(*e);
    }
    for (const std::string& e : extra_env) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();
      const int slave = ::open(slave_name.c_str(), O_RDWR);
      const int out = stdout_path.empty()
                          ? slave
                          : ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int in = ::open("/dev/null", O_RDONLY);
      if (slave < 0 || out < 0 || in < 0) ::_exit(126);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(slave, 2);
      ::execve(args[0], args.data(), env.data());
      ::_exit(127);
    }
  }

  ~PtyRun() {
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
    if (master_ >= 0) ::close(master_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  const std::string& terminal() const { return terminal_; }

  // Reads the terminal until `found` holds for what was read or the time is
  // up; true when it holds.
  template <typename Pred>
  bool read_until(Pred found, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!found(terminal_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Waits for the program to end, reading the terminal meanwhile; returns
  // the exit status, or 128 + the signal that ended it.
  int wait() {
    while (status_ < 0) {
      int raw = 0;
      const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        break;
      }
      read_some(50);
    }
    while (read_some(0)) {
    }
    return status_;
  }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return timeout_ms != 0 && status_ < 0;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the program's side is closed
    terminal_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  int master_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string terminal_;
};

TEST(ScanTreeProgress, ShowsOneLineOnATerminalAndClearsIt) {
  KnownTree tree;
  TempDir out;
  for (const std::string& engine : kEngines) {
    PtyRun run({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--engine", engine}, out.at("stdout"));
    ASSERT_TRUE(run.started());
    ASSERT_EQ(run.wait(), 0) << run.terminal();
    // A scan this small ends before the first 100 ms point: only the final
    // event, with the final counters, then the line is erased.
    const std::string final_line =
        fmt::format("\rscanning: 6 files, 6 dirs, {}, ", human_size(tree.total()));
    const std::string& shown = run.terminal();
    EXPECT_TRUE(shown.starts_with(final_line)) << shown;
    EXPECT_TRUE(shown.ends_with(" s\x1b[K\r\x1b[K")) << shown;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 0) << shown;
    const std::string report = read_file(out.at("stdout"));
    EXPECT_TRUE(report.starts_with("root         " + tree.dir.path() + "\n")) << report;
    EXPECT_EQ(report.find('\x1b'), std::string::npos);
  }
}

TEST(ScanTreeColour, OnATerminalUnlessNoColorIsSet) {
  KnownTree tree;
  PtyRun coloured({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--engine", "jwalk"}, "",
                  {"TERM=xterm", "NO_COLOR="});
  ASSERT_TRUE(coloured.started());
  ASSERT_EQ(coloured.wait(), 0) << coloured.terminal();
  EXPECT_NE(
      coloured.terminal().find("\r\x1b[K\x1b[1mroot         \x1b[0m" + tree.dir.path() + "\r\n"),
      std::string::npos)
      << coloured.terminal();
  EXPECT_NE(coloured.terminal().find("\x1b[1;34ma/\x1b[0m\r\n"), std::string::npos);

  PtyRun no_colour({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--engine", "jwalk"}, "",
                   {"TERM=xterm", "NO_COLOR=1"});
  ASSERT_TRUE(no_colour.started());
  ASSERT_EQ(no_colour.wait(), 0) << no_colour.terminal();
  // The progress line is still drawn and erased; the report has no colour.
  EXPECT_NE(no_colour.terminal().find("\r\x1b[Kroot         " + tree.dir.path() + "\r\n"),
            std::string::npos)
      << no_colour.terminal();
  EXPECT_EQ(no_colour.terminal().find("\x1b[1m"), std::string::npos);

  // A dumb terminal gets no escape sequence at all: the progress line is
  // covered with spaces.
  PtyRun dumb({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--engine", "jwalk"}, "",
              {"TERM=dumb"});
  ASSERT_TRUE(dumb.started());
  ASSERT_EQ(dumb.wait(), 0) << dumb.terminal();
  const std::string& shown = dumb.terminal();
  EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
  const std::size_t line_end = shown.find(" s");
  ASSERT_NE(line_end, std::string::npos) << shown;
  EXPECT_TRUE(shown.starts_with("\rscanning: 6 files, 6 dirs, ")) << shown;
  EXPECT_TRUE(shown.substr(line_end + 2)
                  .starts_with("\r" + std::string(line_end + 1, ' ') + "\rroot         " +
                               tree.dir.path() + "\r\n"))
      << shown;
  EXPECT_NE(shown.find("####################  "), std::string::npos);
}

// Scans stopped mid-walk run scan_tree_held, whose scans wait at their first
// progress line until they are stopped: the signal surely comes mid-scan,
// however fast the machine walks the tree.
class ScanTreeCancel : public ::testing::Test {
 protected:
  static constexpr int kDirs = 40;
  static constexpr int kFilesPerDir = 50;

  static void SetUpTestSuite() {
    big_ = new TempDir();
    for (int d = 0; d < kDirs; ++d) {
      const std::string dir = big_->make_dir(fmt::format("d{}/sub{}", d, d % 5));
      for (int f = 0; f < kFilesPerDir; ++f) {
        const std::string path = fmt::format("{}/file-{}", dir, f);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
      }
    }
  }
  static void TearDownTestSuite() {
    delete big_;
    big_ = nullptr;
  }

  // Starts a scan on a terminal, waits for its first progress line, sends
  // `signal` and checks that the scan was stopped.
  void cancel_with(int signal, const std::string& engine) {
    TempDir out;
    const std::string target = out.at("result.json");
    PtyRun run(
        {SCAN_TREE_HELD_BINARY, "--root", big_->path(), "--engine", engine, "--json", target},
        out.at("stdout"));
    ASSERT_TRUE(run.started());
    std::optional<std::uint64_t> files_then;
    const bool shown = run.read_until(
        [&](const std::string& text) {
          files_then = number_after(text, "\rscanning: ");
          return files_then.has_value() &&
                 text.find(" files", text.find("\rscanning: ")) != std::string::npos;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(shown) << run.terminal();
    ASSERT_EQ(::kill(run.pid(), signal), 0);
    const int status = run.wait();

    // The line showed a walk under way, held there until the signal.
    ASSERT_LT(*files_then, static_cast<std::uint64_t>(kDirs) * kFilesPerDir) << run.terminal();
    EXPECT_EQ(status, 130) << run.terminal();
    EXPECT_TRUE(run.terminal().ends_with("\r\x1b[KScan cancelled\r\n")) << run.terminal();
    EXPECT_EQ(read_file(out.at("stdout")), "");
    EXPECT_EQ(entry_names(out.path()), std::vector<std::string>{"stdout"})
        << "neither the JSON file nor a temporary file";
  }

  static TempDir* big_;
};

TempDir* ScanTreeCancel::big_ = nullptr;

TEST_F(ScanTreeCancel, InterruptStopsTheJwalkScan) { cancel_with(SIGINT, "jwalk"); }

TEST_F(ScanTreeCancel, InterruptStopsTheBulkScan) { cancel_with(SIGINT, "bulk-attrs"); }

TEST_F(ScanTreeCancel, TerminateStopsTheScan) { cancel_with(SIGTERM, "jwalk"); }

TEST_F(ScanTreeCancel, AnUninterruptedScanCountsEverything) {
  const ProcessResult r = scan_tree({"--root", big_->path(), "--engine", "jwalk"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find(fmt::format("\nfiles        {}\ndirectories  {}\n", kDirs * kFilesPerDir,
                                   2 * kDirs)),
            std::string::npos)
      << r.out;
}

// A JSON file or page going to a FIFO that nobody reads waits for a reader,
// as any writer does, and a signal then ends it at once: status 130, nothing
// left behind.
TEST(ScanTreeFifo, ASignalEndsTheWaitForAReader) {
  KnownTree tree;
  for (const int signal : {SIGTERM, SIGINT}) {
    for (const char* flag : {"--json", "--html"}) {
      TempDir out;
      const std::string fifo = out.make_fifo("fifo");
      PtyRun run({SCAN_TREE_BINARY, "--root", tree.dir.path(), "--engine", "jwalk", flag, fifo},
                 out.at("stdout"));
      ASSERT_TRUE(run.started());
      // The progress line erased: the scan is over and the output is next.
      ASSERT_TRUE(run.read_until(
          [](const std::string& text) {
            const std::size_t line = text.find("\rscanning: ");
            return line != std::string::npos && text.find("\r\x1b[K", line) != std::string::npos;
          },
          std::chrono::seconds(60)))
          << run.terminal();
      ASSERT_EQ(::kill(run.pid(), signal), 0);
      ASSERT_TRUE(run.read_until(
          [](const std::string& text) { return text.ends_with("Scan cancelled\r\n"); },
          std::chrono::seconds(60)))
          << flag << " " << signal << ": " << run.terminal();
      EXPECT_EQ(run.wait(), 130) << run.terminal();
      EXPECT_TRUE(run.terminal().ends_with("s\x1b[K\r\x1b[KScan cancelled\r\n")) << run.terminal();
      EXPECT_EQ(read_file(out.at("stdout")), "");
      EXPECT_EQ(entry_names(out.path()), (std::vector<std::string>{"fifo", "stdout"}));
    }
  }
}

}  // namespace
}  // namespace tessaly::scan_tree
