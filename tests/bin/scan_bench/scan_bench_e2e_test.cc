// Runs the built scan_bench program on real temporary trees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::entry_names;
using testing::read_file;

using testing::allocated_size;
using testing::ProcessResult;
using testing::run_process;
using testing::TempDir;

ProcessResult scan_bench(std::vector<std::string> args, const std::string& cwd) {
  args.insert(args.begin(), SCAN_BENCH_BINARY);
  return run_process(args, cwd);
}

// Runs scan_bench as uid/gid 65534 through a fresh exec; exit_code -1, with
// the reason in `err`, when that cannot be done here. `scratch` must be
// writable by that user.
ProcessResult scan_bench_unprivileged(std::vector<std::string> args, const std::string& cwd,
                                      const std::string& scratch) {
  const auto program = testing::unprivileged_program(SCAN_BENCH_BINARY);
  if (!program) return ProcessResult{-1, "", program.error()};
  args.insert(args.begin(), *program);
  const std::string out_path = scratch + "/stdout";
  const std::string err_path = scratch + "/stderr";
  const pid_t pid = ::fork();
  if (pid < 0) return {};
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(250);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(251);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(252);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ProcessResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (result.exit_code == 250) {
    return ProcessResult{-1, "", "cannot drop privileges to uid 65534 here"};
  }
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

struct RunLine {
  std::string phase;
  std::uint64_t index = 0, elapsed = 0, files = 0, dirs = 0, total = 0, post_walk = 0;
};

// Splits stdout into run lines and the final report line; fails the test on
// any other line.
std::vector<RunLine> parse_run_lines(const std::string& out, std::string* report_line) {
  std::vector<RunLine> runs;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("report written to ")) {
      *report_line = line;
      continue;
    }
    RunLine r;
    char phase[8] = {};
    int consumed = 0;
    const int fields = std::sscanf(
        line.c_str(),
        "%4s run %" SCNu64 ": %" SCNu64 " ms | files %" SCNu64 " | dirs %" SCNu64
        " | total %" SCNu64 " bytes | post-walk %" SCNu64 " ms%n",
        phase, &r.index, &r.elapsed, &r.files, &r.dirs, &r.total, &r.post_walk, &consumed);
    EXPECT_EQ(fields, 7) << line;
    EXPECT_EQ(static_cast<std::size_t>(consumed), line.size()) << line;
    r.phase = phase;
    runs.push_back(r);
  }
  return runs;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string null_or(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : "null";
}

struct Expected {
  std::uint64_t timestamp = 0;
  std::string label = "benchmark";
  std::string root;
  std::string engine = "jwalk";
  std::uint64_t tree_depth = 8;
  std::vector<std::string> excludes;
  nlohmann::json machine;         // taken from the report itself
  std::string metadata = "null";  // already indented for its place
  std::vector<RunLine> runs;
  std::uint64_t large_files = 0;
};

std::string summary_block(const std::vector<RunLine>& runs, const std::string& phase) {
  std::vector<std::uint64_t> times;
  for (const RunLine& r : runs) {
    if (r.phase == phase) times.push_back(r.elapsed);
  }
  std::sort(times.begin(), times.end());
  std::optional<std::uint64_t> min, median, max;
  if (!times.empty()) {
    min = times.front();
    max = times.back();
    const std::size_t n = times.size();
    median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  }
  return "    " + quoted(phase) + ": {\n      \"count\": " + std::to_string(times.size()) +
         ",\n      \"min_ms\": " + null_or(min) + ",\n      \"median_ms\": " + null_or(median) +
         ",\n      \"max_ms\": " + null_or(max) + "\n    }";
}

// The report as it must appear, written out independently of the tool.
std::string expected_report(const Expected& e) {
  std::string text = "{\n  \"timestamp_unix_secs\": " + std::to_string(e.timestamp) + ",\n";
  text += "  \"label\": " + quoted(e.label) + ",\n";
  text += "  \"root\": " + quoted(e.root) + ",\n";
  text += "  \"engine\": " + quoted(e.engine) + ",\n";
  text += "  \"tree_depth\": " + std::to_string(e.tree_depth) + ",\n";
  if (e.excludes.empty()) {
    text += "  \"exclude_paths\": [],\n";
  } else {
    text += "  \"exclude_paths\": [\n";
    for (std::size_t i = 0; i < e.excludes.size(); ++i) {
      text += "    " + quoted(e.excludes[i]) + (i + 1 < e.excludes.size() ? ",\n" : "\n");
    }
    text += "  ],\n";
  }
  text += "  \"machine\": {\n";
  text += "    \"os\": " + quoted(e.machine["os"].get<std::string>()) + ",\n";
  text += "    \"arch\": " + quoted(e.machine["arch"].get<std::string>()) + ",\n";
  text +=
      "    \"logical_cores\": " + std::to_string(e.machine["logical_cores"].get<std::uint64_t>()) +
      ",\n";
  text += "    \"fs_type\": " + quoted(e.machine["fs_type"].get<std::string>()) + "\n  },\n";
  text += "  \"dataset_metadata\": " + e.metadata + ",\n";
  if (e.runs.empty()) {
    text += "  \"runs\": [],\n";
  } else {
    text += "  \"runs\": [\n";
    for (std::size_t i = 0; i < e.runs.size(); ++i) {
      const RunLine& r = e.runs[i];
      text += "    {\n      \"phase\": " + quoted(r.phase) +
              ",\n      \"run_index\": " + std::to_string(r.index) + ",\n      \"result\": {\n" +
              "        \"engine\": " + quoted(e.engine) + ",\n" +
              "        \"elapsed_ms\": " + std::to_string(r.elapsed) + ",\n" +
              "        \"files_found\": " + std::to_string(r.files) + ",\n" +
              "        \"dirs_found\": " + std::to_string(r.dirs) + ",\n" +
              "        \"total_size\": " + std::to_string(r.total) + ",\n" +
              "        \"compute_dir_sizes_ms\": " + std::to_string(r.post_walk) + ",\n" +
              "        \"large_files_count\": " + std::to_string(e.large_files) +
              "\n      }\n    }" + (i + 1 < e.runs.size() ? ",\n" : "\n");
    }
    text += "  ],\n";
  }
  text += "  \"summary\": {\n" + summary_block(e.runs, "cold") + ",\n" +
          summary_block(e.runs, "warm") + "\n  },\n";
  text +=
      "  \"notes\": [\n"
      "    \"Cold runs clear only the scanner's in-process cache, not OS filesystem cache.\",\n"
      "    \"Compare warm median across commits for the most stable local regression signal.\"\n"
      "  ]\n}";
  return text;
}

// The timestamp and machine block of a written report, the parts a test
// cannot know in advance.
void take_volatile_parts(const std::string& report, Expected& e) {
  const nlohmann::json doc = nlohmann::json::parse(report);
  e.timestamp = doc["timestamp_unix_secs"].get<std::uint64_t>();
  e.machine = doc["machine"];
#if defined(__APPLE__)
  EXPECT_EQ(e.machine["os"], "macos");
#elif defined(__linux__)
  EXPECT_EQ(e.machine["os"], "linux");
#endif
  EXPECT_EQ(e.machine["logical_cores"].get<std::uint64_t>(),
            static_cast<std::uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_NE(e.machine["fs_type"], "unknown");
}

class ScanBenchE2E : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string cwd_ = dir_.make_dir("cwd");
  std::string root_ = dir_.make_dir("tree");

  // The single report under `dir`, whose name must be "{ts}_{suffix}".
  std::string only_report_in(const std::string& dir, const std::string& suffix) {
    const std::vector<std::string> names = entry_names(dir);
    EXPECT_EQ(names.size(), 1u);
    if (names.size() != 1) return {};
    EXPECT_TRUE(names[0].ends_with("_" + suffix)) << names[0];
    const std::string stamp = names[0].substr(0, names[0].size() - suffix.size() - 1);
    EXPECT_FALSE(stamp.empty());
    EXPECT_EQ(stamp.find_first_not_of("0123456789"), std::string::npos) << names[0];
    return names[0];
  }
};

// ---- Failure paths and report placement: no scan needed (zero runs) ----

TEST_F(ScanBenchE2E, UnknownEngineFailsTheFirstColdRunWithoutReport) {
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "nope"}, cwd_);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "cold run failed: Unsupported scanner engine: nope\n");
  EXPECT_TRUE(entry_names(cwd_).empty());
}

TEST_F(ScanBenchE2E, UnknownEngineWithoutColdRunsFailsTheFirstWarmRun) {
  const ProcessResult r =
      scan_bench({"--root", root_, "--engine", "JWALK", "--cold-runs", "0"}, cwd_);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "warm run failed: Unsupported scanner engine: JWALK\n");
  EXPECT_TRUE(entry_names(cwd_).empty());
}

TEST_F(ScanBenchE2E, DefaultEngineIsNotTriedWithZeroRuns) {
  const ProcessResult r = scan_bench(
      {"--root", root_, "--cold-runs", "0", "--warm-runs", "0", "--output", "r.json"}, cwd_);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "report written to r.json\n");
  EXPECT_EQ(r.err, "");
  Expected e;
  e.root = root_;
  e.engine = "bulk-attrs";
  const std::string report = read_file(dir_.at("cwd/r.json"));
  take_volatile_parts(report, e);
  EXPECT_EQ(report, expected_report(e));
}

TEST_F(ScanBenchE2E, NoRunsWritesTheDerivedReportByteForByte) {
  const ProcessResult r =
      scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0", "--warm-runs", "0",
                  "--tree-depth", "3", "--exclude", "/x y", "--exclude", "/b", "--exclude", "/x y"},
                 cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(entry_names(cwd_), std::vector<std::string>{"bench-results"});
  const std::string name = only_report_in(dir_.at("cwd/bench-results"), "benchmark_jwalk.json");
  EXPECT_EQ(r.out, "report written to bench-results/" + name + "\n");
  EXPECT_EQ(r.err, "");
  const std::string report = read_file(dir_.at("cwd/bench-results/" + name));
  Expected e;
  e.root = root_;
  e.tree_depth = 3;
  e.excludes = {"/x y", "/b", "/x y"};
  take_volatile_parts(report, e);
  EXPECT_TRUE(name.starts_with(std::to_string(e.timestamp) + "_")) << name;
  EXPECT_EQ(report, expected_report(e));
}

TEST_F(ScanBenchE2E, RootIsReportedExactlyAsTyped) {
  dir_.make_symlink(root_, "link-to-tree");
  const ProcessResult r = scan_bench({"--root", "../link-to-tree/", "--engine", "jwalk",
                                      "--cold-runs", "0", "--warm-runs", "0", "--output", "r.json"},
                                     cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json doc = nlohmann::json::parse(read_file(dir_.at("cwd/r.json")));
  EXPECT_EQ(doc["root"], "../link-to-tree/");
}

TEST_F(ScanBenchE2E, RelativeOutputLandsInTheWorkingDirectory) {
  const ProcessResult r =
      scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0", "--warm-runs", "0",
                  "--output", "report.json", "--output-dir", "ignored"},
                 cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "report written to report.json\n");
  EXPECT_EQ(entry_names(cwd_), std::vector<std::string>{"report.json"});
  EXPECT_TRUE(read_file(dir_.at("cwd/report.json")).ends_with("\n  ]\n}"));
}

TEST_F(ScanBenchE2E, NestedOutputDirectoryIsCreated) {
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output-dir", "out/nested/deeper"},
                                     cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string name = only_report_in(dir_.at("cwd/out/nested/deeper"), "benchmark_jwalk.json");
  EXPECT_EQ(r.out, "report written to out/nested/deeper/" + name + "\n");
  EXPECT_EQ(entry_names(dir_.at("cwd/out")), std::vector<std::string>{"nested"});
  EXPECT_EQ(entry_names(dir_.at("cwd/out/nested")), std::vector<std::string>{"deeper"});
}

TEST_F(ScanBenchE2E, EmptyOutputDirectoryMeansTheWorkingDirectory) {
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output-dir", ""},
                                     cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string name = only_report_in(cwd_, "benchmark_jwalk.json");
  EXPECT_EQ(r.out, "report written to " + name + "\n");
}

TEST_F(ScanBenchE2E, LabelIsSanitisedInTheNameOnly) {
  const ProcessResult r =
      scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0", "--warm-runs", "0",
                  "--label", "nightly run #3 caf\xC3\xA9", "--output-dir", "."},
                 cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string name = only_report_in(cwd_, "nightly_run__3_caf__jwalk.json");
  EXPECT_EQ(r.out, "report written to ./" + name + "\n");
  const nlohmann::json doc = nlohmann::json::parse(read_file(dir_.at("cwd/" + name)));
  EXPECT_EQ(doc["label"], "nightly run #3 caf\xC3\xA9");
}

TEST_F(ScanBenchE2E, EmptyLabelNamesTheFileBenchmark) {
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--label", "", "--output-dir", "o/"},
                                     cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string name = only_report_in(dir_.at("cwd/o"), "benchmark_jwalk.json");
  EXPECT_EQ(r.out, "report written to o/" + name + "\n");
  const nlohmann::json doc = nlohmann::json::parse(read_file(dir_.at("cwd/o/" + name)));
  EXPECT_EQ(doc["label"], "");
}

TEST_F(ScanBenchE2E, SecondReportInTheSameSecondReplacesTheFirst) {
  const std::vector<std::string> args = {"--root",      root_,   "--engine",    "jwalk",
                                         "--cold-runs", "0",     "--warm-runs", "0",
                                         "--output",    "r.json"};
  dir_.write_text("cwd/r.json", std::string(100000, 'x'));
  ASSERT_EQ(scan_bench(args, cwd_).exit_code, 0);
  const std::string report = read_file(dir_.at("cwd/r.json"));
  EXPECT_TRUE(report.starts_with("{\n  \"timestamp_unix_secs\": ")) << report.substr(0, 40);
  EXPECT_TRUE(report.ends_with("}"));
  EXPECT_LT(report.size(), 100000u);
}

std::string metadata_of(const ProcessResult& r, const std::string& report_path) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string report = read_file(report_path);
  const std::size_t start = report.find("\n  \"dataset_metadata\": ");
  const std::size_t end = report.find(",\n  \"runs\": ");
  if (start == std::string::npos || end == std::string::npos) return "<missing>";
  return report.substr(start + 23, end - start - 23);
}

TEST_F(ScanBenchE2E, DatasetMetadataBesideTheRootWinsAndIsPrintedSorted) {
  dir_.write_text("tree.x-scanner-dataset.json",
                  "{\"b\": {\"y\": 1, \"x\": [2.5, \"s\"]}, \"a\": null, \"b\": {\"z\": true}}");
  dir_.write_text("tree/.x-scanner-dataset.json", "\"inside\"");
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output", "r.json"},
                                     cwd_);
  EXPECT_EQ(metadata_of(r, dir_.at("cwd/r.json")),
            "{\n    \"a\": null,\n    \"b\": {\n      \"z\": true\n    }\n  }");
}

TEST_F(ScanBenchE2E, DatasetMetadataInsideTheRoot) {
  dir_.write_text("tree/.x-scanner-dataset.json", " [\"inside\", 7] \n");
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output", "r.json"},
                                     cwd_);
  EXPECT_EQ(metadata_of(r, dir_.at("cwd/r.json")), "[\n    \"inside\",\n    7\n  ]");
}

TEST_F(ScanBenchE2E, DatasetMetadataFailuresGiveNullSilently) {
  const std::vector<std::string> args = {"--root",      root_,   "--engine",    "jwalk",
                                         "--cold-runs", "0",     "--warm-runs", "0",
                                         "--output",    "r.json"};
  dir_.write_text("tree/.x-scanner-dataset.json", "{\"inside\": 1}");
  const char* bad[] = {"{\"a\": 1} trailing", "", "{\"a\": }", "null"};
  for (const char* text : bad) {
    dir_.write_text("tree.x-scanner-dataset.json", text);
    const ProcessResult r = scan_bench(args, cwd_);
    EXPECT_EQ(metadata_of(r, dir_.at("cwd/r.json")), "null") << text;
    EXPECT_EQ(r.err, "") << text;
    EXPECT_EQ(r.out, "report written to r.json\n") << text;
  }
  std::string deep(200, '[');
  deep.append(200, ']');
  dir_.write_text("tree.x-scanner-dataset.json", deep);
  EXPECT_EQ(metadata_of(scan_bench(args, cwd_), dir_.at("cwd/r.json")), "null");
}

TEST_F(ScanBenchE2E, OutputThatIsADirectoryFailsToWrite) {
  dir_.make_dir("cwd/taken");
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output", "taken"},
                                     cwd_);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "failed to write report taken: Is a directory (os error 21)\n");
}

TEST_F(ScanBenchE2E, OutputDirectoryBelowAFileFailsToCreate) {
  dir_.write_text("cwd/plain", "x");
  const ProcessResult r = scan_bench({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                                      "--warm-runs", "0", "--output-dir", "plain/sub"},
                                     cwd_);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "failed to create output directory plain/sub: Not a directory (os error 20)\n");
  EXPECT_EQ(entry_names(cwd_), std::vector<std::string>{"plain"});
}

TEST_F(ScanBenchE2E, UnwritablePlacesFailWithPermissionDenied) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(cwd_.c_str(), 0555), 0);
  const std::string scratch = dir_.make_dir("scratch");
  ASSERT_EQ(::chmod(scratch.c_str(), 0777), 0);

  ProcessResult r = scan_bench_unprivileged({"--root", root_, "--engine", "jwalk", "--cold-runs",
                                             "0", "--warm-runs", "0", "--output-dir", "a/b"},
                                            cwd_, scratch);
  if (r.exit_code == -1) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "failed to create output directory a/b: Permission denied (os error 13)\n");

  r = scan_bench_unprivileged({"--root", root_, "--engine", "jwalk", "--cold-runs", "0",
                               "--warm-runs", "0", "--output", "r.json"},
                              cwd_, scratch);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "failed to write report r.json: Permission denied (os error 13)\n");
  EXPECT_TRUE(entry_names(cwd_).empty());
}

// ---- Real scans with the parallel walker ----

class ScanBenchRuns : public ScanBenchE2E {
 protected:
  void SetUp() override {
    sizes_ = allocated_size(dir_.write_file("tree/a.txt", 1000)) +
             allocated_size(dir_.write_file("tree/sub/b.bin", 5000)) +
             allocated_size(dir_.write_file("tree/sub/deeper/c.bin", 70000)) +
             allocated_size(dir_.write_file("tree/other/d.bin", 12288));
    dir_.make_hardlink("tree/sub/b.bin", "tree/other/b-again.bin");
    dir_.make_dir("tree/empty");
    dir_.make_symlink("a.txt", "tree/link");
    dir_.make_symlink(dir_.at("tree/sub"), "tree/dir-link");
  }
  std::uint64_t sizes_ = 0;
};

TEST_F(ScanBenchRuns, DefaultRunsPrintFourLinesAndTheReportMatchesThem) {
  const ProcessResult r =
      scan_bench({"--root", root_, "--engine", "jwalk", "--output", "r.json"}, cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string report_line;
  const std::vector<RunLine> runs = parse_run_lines(r.out, &report_line);
  EXPECT_EQ(report_line, "report written to r.json");
  EXPECT_TRUE(r.out.ends_with("\nreport written to r.json\n"));
  ASSERT_EQ(runs.size(), 4u);
  const std::pair<const char*, std::uint64_t> order[] = {
      {"cold", 1}, {"warm", 1}, {"warm", 2}, {"warm", 3}};
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].phase, order[i].first);
    EXPECT_EQ(runs[i].index, order[i].second);
    // Five files (two names of one), four directories; links are not counted.
    EXPECT_EQ(runs[i].files, 5u);
    EXPECT_EQ(runs[i].dirs, 4u);
    EXPECT_EQ(runs[i].total, sizes_);
  }
  Expected e;
  e.root = root_;
  e.runs = runs;
  const std::string report = read_file(dir_.at("cwd/r.json"));
  take_volatile_parts(report, e);
  EXPECT_EQ(report, expected_report(e));
}

TEST_F(ScanBenchRuns, ExclusionsDepthAndPhaseCountsReachTheScan) {
  const ProcessResult r = scan_bench(
      {"--root", root_, "--engine", "jwalk", "--cold-runs", "2", "--warm-runs", "0", "--tree-depth",
       "1", "--exclude", dir_.at("tree/sub"), "--label", "excl", "--output-dir", "res"},
      cwd_);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string report_line;
  const std::vector<RunLine> runs = parse_run_lines(r.out, &report_line);
  ASSERT_EQ(runs.size(), 2u);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    EXPECT_EQ(runs[i].phase, "cold");
    EXPECT_EQ(runs[i].index, i + 1);
    EXPECT_EQ(runs[i].files, 3u);  // a.txt, other/d.bin, other/b-again.bin
    EXPECT_EQ(runs[i].dirs, 2u);   // other, empty
  }
  const std::string name = only_report_in(dir_.at("cwd/res"), "excl_jwalk.json");
  EXPECT_EQ(report_line, "report written to res/" + name);
  Expected e;
  e.label = "excl";
  e.root = root_;
  e.tree_depth = 1;
  e.excludes = {dir_.at("tree/sub")};
  e.runs = runs;
  const std::string report = read_file(dir_.at("cwd/res/" + name));
  take_volatile_parts(report, e);
  EXPECT_EQ(report, expected_report(e));
}

}  // namespace
}  // namespace tessaly
