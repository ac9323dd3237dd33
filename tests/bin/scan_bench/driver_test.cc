#include "bin/scan_bench/driver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bin/scan_bench/machine_info.h"
#include "support/temp_tree.h"

namespace tessaly {
namespace {

using testing::path_exists;
using testing::read_file;
using testing::read_stream;

using testing::TempDir;

RunRecord record(std::string phase, std::uint64_t index, std::uint64_t elapsed) {
  RunRecord r;
  r.phase = std::move(phase);
  r.run_index = index;
  r.result.elapsed_ms = elapsed;
  return r;
}

PhaseSummary summary_of(std::vector<std::uint64_t> times) {
  std::vector<RunRecord> records;
  std::uint64_t index = 0;
  for (const std::uint64_t t : times) {
    records.push_back(record("warm", ++index, t));
    records.push_back(record("cold", index, 999999));
  }
  return summarize_phase(records, "warm");
}

TEST(SummarizePhase, MinimumMedianMaximum) {
  EXPECT_EQ(summary_of({5, 3, 9}), (PhaseSummary{3, 3, 5, 9}));
  EXPECT_EQ(summary_of({4, 7}), (PhaseSummary{2, 4, 5, 7}));
  EXPECT_EQ(summary_of({12}), (PhaseSummary{1, 12, 12, 12}));
  EXPECT_EQ(summary_of({40, 10, 25, 20}), (PhaseSummary{4, 10, 22, 40}));
  EXPECT_EQ(summary_of({8, 7}), (PhaseSummary{2, 7, 7, 8}));
  EXPECT_EQ(summary_of({6, 6, 1, 6}), (PhaseSummary{4, 1, 6, 6}));
}

TEST(SummarizePhase, EmptyPhaseHasNoStatistics) {
  EXPECT_EQ(summary_of({}), (PhaseSummary{0, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_EQ(summarize_phase({record("cold", 1, 3)}, "warm"), PhaseSummary{});
  EXPECT_EQ(summarize_phase({record("cold", 1, 3)}, "Cold"), PhaseSummary{});
}

TEST(SummarizePhase, EvenMedianOfHugeValuesDoesNotOverflow) {
  const std::uint64_t max = UINT64_MAX;
  EXPECT_EQ(summary_of({max, max}).median_ms, max);
  EXPECT_EQ(summary_of({max, max - 1}).median_ms, max - 1);
  EXPECT_EQ(summary_of({max - 2, max}).median_ms, max - 1);
  EXPECT_EQ(summary_of({1, 2}).median_ms, 1u);
}

TEST(FormatRunLine, FillsTheTemplateInOrder) {
  RunRecord r{"cold", 1, BenchmarkResult{"jwalk", 153, 12034, 2311, 536870912, 8, 99}};
  EXPECT_EQ(format_run_line(r),
            "cold run 1: 153 ms | files 12034 | dirs 2311 | total 536870912 bytes | post-walk 8 "
            "ms\n");
  r.phase = "warm";
  r.run_index = 18446744073709551615ULL;
  r.result = BenchmarkResult{"x", 0, 0, 0, 18446744073709551615ULL, 0, 0};
  EXPECT_EQ(format_run_line(r),
            "warm run 18446744073709551615: 0 ms | files 0 | dirs 0 | total "
            "18446744073709551615 bytes | post-walk 0 ms\n");
}

// Drives the run loop with a scripted scanner and records every call.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    options_.root = root_;
    options_.engine = "jwalk";
    options_.output_dir = dir_.at("results");
    env_.out = out_;
    env_.err = err_;
    env_.unix_time = [] { return std::uint64_t{1700000000}; };
    env_.clear_cache = [this] { calls_.push_back("clear"); };
    env_.scan = [this](std::string_view root, std::uint64_t depth,
                       const std::vector<std::string>& excludes,
                       std::string_view engine) -> std::expected<BenchmarkResult, std::string> {
      std::string call =
          "scan " + std::string(root) + " " + std::to_string(depth) + " " + std::string(engine);
      for (const std::string& e : excludes) call += " -" + e;
      calls_.push_back(call);
      const std::size_t n = ++scans_;
      if (n == fail_at_) return std::unexpected(std::string("disk on fire"));
      return BenchmarkResult{std::string(engine), 10 * n, n, 2 * n, 4096 * n, n % 3, 0};
    };
  }
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
  }

  std::string report_path() const { return dir_.at("results/1700000000_benchmark_jwalk.json"); }

  TempDir dir_;
  std::string root_ = dir_.make_dir("tree");
  BenchOptions options_;
  DriverEnvironment env_;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
  std::vector<std::string> calls_;
  std::size_t scans_ = 0;
  std::size_t fail_at_ = 0;
};

TEST_F(DriverTest, DefaultsRunOneColdAndThreeWarmRunsThenReport) {
  options_.exclude_paths = {"/b", "/a", "/b"};
  options_.tree_depth = 2;
  EXPECT_EQ(run_benchmark(options_, env_), 0);
  const std::string scan = "scan " + root_ + " 2 jwalk -/b -/a -/b";
  EXPECT_EQ(calls_, (std::vector<std::string>{"clear", scan, scan, scan, scan}));
  EXPECT_EQ(read_stream(out_),
            "cold run 1: 10 ms | files 1 | dirs 2 | total 4096 bytes | post-walk 1 ms\n"
            "warm run 1: 20 ms | files 2 | dirs 4 | total 8192 bytes | post-walk 2 ms\n"
            "warm run 2: 30 ms | files 3 | dirs 6 | total 12288 bytes | post-walk 0 ms\n"
            "warm run 3: 40 ms | files 4 | dirs 8 | total 16384 bytes | post-walk 1 ms\n"
            "report written to " +
                report_path() + "\n");
  EXPECT_EQ(read_stream(err_), "");
  const nlohmann::json report = nlohmann::json::parse(read_file(report_path()));
  ASSERT_EQ(report["runs"].size(), 4u);
  EXPECT_EQ(report["runs"][0]["phase"], "cold");
  EXPECT_EQ(report["runs"][3]["run_index"], 3);
  EXPECT_EQ(report["summary"]["cold"],
            nlohmann::json::parse(R"({"count":1,"min_ms":10,"median_ms":10,"max_ms":10})"));
  EXPECT_EQ(report["summary"]["warm"],
            nlohmann::json::parse(R"({"count":3,"min_ms":20,"median_ms":30,"max_ms":40})"));
}

TEST_F(DriverTest, EveryColdRunClearsTheCacheFirstAndWarmRunsNever) {
  options_.cold_runs = 3;
  options_.warm_runs = 2;
  options_.tree_depth = 0;
  EXPECT_EQ(run_benchmark(options_, env_), 0);
  const std::string scan = "scan " + root_ + " 0 jwalk";
  EXPECT_EQ(calls_,
            (std::vector<std::string>{"clear", scan, "clear", scan, "clear", scan, scan, scan}));
}

TEST_F(DriverTest, WarmOnlyNeverClears) {
  options_.cold_runs = 0;
  options_.warm_runs = 2;
  EXPECT_EQ(run_benchmark(options_, env_), 0);
  EXPECT_EQ(calls_.size(), 2u);
  EXPECT_EQ(std::count(calls_.begin(), calls_.end(), "clear"), 0);
  const std::string out = read_stream(out_);
  EXPECT_TRUE(out.starts_with("warm run 1: 10 ms |")) << out;
  EXPECT_NE(out.find("\nwarm run 2: 20 ms |"), std::string::npos) << out;
}

TEST_F(DriverTest, NoRunsStillWritesAReportWithEmptySummaries) {
  options_.cold_runs = 0;
  options_.warm_runs = 0;
  EXPECT_EQ(run_benchmark(options_, env_), 0);
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(read_stream(out_), "report written to " + report_path() + "\n");
  const nlohmann::json report = nlohmann::json::parse(read_file(report_path()));
  EXPECT_EQ(report["runs"], nlohmann::json::array());
  const nlohmann::json empty =
      nlohmann::json::parse(R"({"count":0,"min_ms":null,"median_ms":null,"max_ms":null})");
  EXPECT_EQ(report["summary"]["cold"], empty);
  EXPECT_EQ(report["summary"]["warm"], empty);
  EXPECT_EQ(report["timestamp_unix_secs"], 1700000000u);
  EXPECT_EQ(report["machine"]["fs_type"], describe_machine(root_).fs_type);
}

TEST_F(DriverTest, DatasetMetadataIsGatheredFromBesideTheRoot) {
  options_.cold_runs = 0;
  options_.warm_runs = 0;
  dir_.write_text("tree.x-scanner-dataset.json", R"({"files": 3, "kind": "synthetic"})");
  EXPECT_EQ(run_benchmark(options_, env_), 0);
  EXPECT_NE(read_file(report_path()).find(R"(  "dataset_metadata": {
    "files": 3,
    "kind": "synthetic"
  },
)"),
            std::string::npos);
}

TEST_F(DriverTest, FailureInTheThirdWarmRunStopsWithoutReport) {
  fail_at_ = 4;
  EXPECT_EQ(run_benchmark(options_, env_), 1);
  EXPECT_EQ(scans_, 4u);
  EXPECT_EQ(read_stream(out_),
            "cold run 1: 10 ms | files 1 | dirs 2 | total 4096 bytes | post-walk 1 ms\n"
            "warm run 1: 20 ms | files 2 | dirs 4 | total 8192 bytes | post-walk 2 ms\n"
            "warm run 2: 30 ms | files 3 | dirs 6 | total 12288 bytes | post-walk 0 ms\n");
  EXPECT_EQ(read_stream(err_), "warm run failed: disk on fire\n");
  EXPECT_FALSE(path_exists(dir_.at("results")));
}

TEST_F(DriverTest, FailureInAColdRunNamesTheColdPhase) {
  options_.cold_runs = 2;
  fail_at_ = 2;
  EXPECT_EQ(run_benchmark(options_, env_), 1);
  EXPECT_EQ(scans_, 2u);
  EXPECT_EQ(read_stream(err_), "cold run failed: disk on fire\n");
  EXPECT_EQ(read_stream(out_),
            "cold run 1: 10 ms | files 1 | dirs 2 | total 4096 bytes | post-walk 1 ms\n");
  EXPECT_FALSE(path_exists(dir_.at("results")));
}

TEST_F(DriverTest, ReportFailureIsOneLineOnStandardError) {
  options_.cold_runs = 0;
  options_.warm_runs = 1;
  options_.output = dir_.make_dir("occupied");
  EXPECT_EQ(run_benchmark(options_, env_), 1);
  EXPECT_EQ(read_stream(out_),
            "warm run 1: 10 ms | files 1 | dirs 2 | total 4096 bytes | post-walk 1 ms\n");
  EXPECT_EQ(read_stream(err_),
            "failed to write report " + *options_.output + ": Is a directory (os error 21)\n");
}

TEST_F(DriverTest, RunOnceAppendsOnlyOnSuccessAndPassesTheErrorUnchanged) {
  std::vector<RunRecord> records;
  fail_at_ = 2;
  ASSERT_TRUE(run_once("cold", 7, options_, records, env_).has_value());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].phase, "cold");
  EXPECT_EQ(records[0].run_index, 7u);
  EXPECT_EQ(records[0].result.engine, "jwalk");
  EXPECT_EQ(records[0].result.files_found, 1u);
  const auto failed = run_once("warm", 1, options_, records, env_);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), "disk on fire");
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(read_stream(out_),
            "cold run 7: 10 ms | files 1 | dirs 2 | total 4096 bytes | post-walk 1 ms\n");
}

TEST(DriverWithLibrary, UnknownEngineFailsTheFirstRun) {
  TempDir dir;
  BenchOptions options;
  options.root = dir.make_dir("tree");
  options.engine = "Jwalk";
  options.output_dir = dir.at("results");
  DriverEnvironment env = DriverEnvironment::real();
  env.out = std::tmpfile();
  env.err = std::tmpfile();
  EXPECT_EQ(run_benchmark(options, env), 1);
  EXPECT_EQ(read_stream(env.out), "");
  EXPECT_EQ(read_stream(env.err), "cold run failed: Unsupported scanner engine: Jwalk\n");
  options.cold_runs = 0;
  EXPECT_EQ(run_benchmark(options, env), 1);
  EXPECT_EQ(read_stream(env.err),
            "cold run failed: Unsupported scanner engine: Jwalk\n"
            "warm run failed: Unsupported scanner engine: Jwalk\n");
  EXPECT_FALSE(path_exists(dir.at("results")));
  std::fclose(env.out);
  std::fclose(env.err);
}

}  // namespace
}  // namespace tessaly
