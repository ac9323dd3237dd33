// The benchmark run loop: cold runs after clearing the scan cache, warm runs
// without, one console line per run, and per-phase statistics.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tessaly/scan.h>

#include "bin/common/bench_report.h"
#include "bin/scan_bench/options.h"

namespace tessaly {

// What the driver calls into and where it prints. The defaults are the real
// scan entry, the real cache and the process's standard streams; tests replace
// them to observe the driver alone.
struct DriverEnvironment {
  std::function<std::expected<BenchmarkResult, std::string>(
      std::string_view root, std::uint64_t tree_depth,
      const std::vector<std::string>& exclude_paths, std::string_view engine)>
      scan;
  std::function<void()> clear_cache;
  std::function<std::uint64_t()> unix_time;
  std::FILE* out = stdout;
  std::FILE* err = stderr;

  // The real scan entry, scan cache, system clock and standard streams.
  static DriverEnvironment real();
};

// Whole seconds since the Unix epoch from the system clock; 0 before it.
std::uint64_t unix_timestamp_now();

// "{phase} run {index}: {elapsed} ms | files {} | dirs {} | total {} bytes |
// post-walk {} ms" and a newline.
std::string format_run_line(const RunRecord& record);

// Runs one scan with the options' root, depth, exclusions and engine. On
// success prints the run line to `env.out` and appends the record; on failure
// returns the scan's error text unchanged and appends nothing.
std::expected<void, std::string> run_once(std::string_view phase, std::uint64_t run_index,
                                          const BenchOptions& options,
                                          std::vector<RunRecord>& records,
                                          const DriverEnvironment& env);

// The whole benchmark after the command line was accepted: gathers the
// timestamp, machine description and dataset metadata, runs the cold and warm
// phases, and writes the report. Returns the process exit status: 0 when the
// report was written, 1 after a failed run or a failed report.
int run_benchmark(const BenchOptions& options, const DriverEnvironment& env);
int run_benchmark(const BenchOptions& options);

}  // namespace tessaly
