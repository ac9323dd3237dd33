#include "bin/scan_bench/driver.h"

#include <algorithm>
#include <chrono>

#include <fmt/format.h>
#include <tessaly/scan.h>

#include "bin/common/stop_signals.h"
#include "bin/scan_bench/dataset.h"
#include "bin/scan_bench/machine_info.h"
#include "bin/scan_bench/report.h"

namespace tessaly {

DriverEnvironment DriverEnvironment::real() {
  DriverEnvironment env;
  env.scan = [](std::string_view root, std::uint64_t tree_depth,
                const std::vector<std::string>& exclude_paths, std::string_view engine) {
    return run_scan_benchmark(root, tree_depth, exclude_paths, engine);
  };
  env.clear_cache = [] { clear_scan_cache(); };
  env.unix_time = unix_timestamp_now;
  env.out = stdout;
  env.err = stderr;
  return env;
}

std::uint64_t unix_timestamp_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
  return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

std::string format_run_line(const RunRecord& record) {
  const BenchmarkResult& r = record.result;
  return fmt::format("{} run {}: {} ms | files {} | dirs {} | total {} bytes | post-walk {} ms\n",
                     record.phase, record.run_index, r.elapsed_ms, r.files_found, r.dirs_found,
                     r.total_size, r.compute_dir_sizes_ms);
}

std::expected<void, std::string> run_once(std::string_view phase, std::uint64_t run_index,
                                          const BenchOptions& options,
                                          std::vector<RunRecord>& records,
                                          const DriverEnvironment& env) {
  const std::string& root = options.root.value();
  auto result = env.scan(root, options.tree_depth, options.exclude_paths, options.engine);
  if (!result) return std::unexpected(std::move(result.error()));
  RunRecord record{std::string(phase), run_index, std::move(*result)};
  fmt::print(env.out, "{}", format_run_line(record));
  // Each line is out before the next scan starts, also when stdout is a pipe.
  std::fflush(env.out);
  records.push_back(std::move(record));
  return {};
}

int run_benchmark(const BenchOptions& options, const DriverEnvironment& env) {
  const std::string& root = options.root.value();
  ReportData data;
  data.timestamp_unix_secs = env.unix_time();
  data.machine = describe_machine(root);
  data.dataset_metadata = load_dataset_metadata(root);

  const auto run_phase = [&](std::string_view phase, std::uint64_t runs, bool clear_first) {
    for (std::uint64_t index = 1; index <= runs; ++index) {
      if (clear_first) env.clear_cache();
      if (auto ran = run_once(phase, index, options, data.runs, env); !ran) {
        fmt::print(env.err, "{} run failed: {}\n", phase, ran.error());
        std::fflush(env.err);
        return false;
      }
      // `index <= runs` never turns false at the largest count.
      if (index == UINT64_MAX) break;
    }
    return true;
  };
  if (!run_phase("cold", options.cold_runs, true)) return 1;
  if (!run_phase("warm", options.warm_runs, false)) return 1;

  data.cold = summarize_phase(data.runs, "cold");
  data.warm = summarize_phase(data.runs, "warm");
  // A report whose FIFO has no reader waits for one; a signal then ends the
  // wait (and the tool), leaving nothing half written.
  install_stop_handlers();
  if (auto written = write_report(options, data, env.out); !written) {
    fmt::print(env.err, "{}\n", written.error());
    std::fflush(env.err);
    return stop_requested() ? kStoppedStatus : 1;
  }
  return 0;
}

int run_benchmark(const BenchOptions& options) {
  return run_benchmark(options, DriverEnvironment::real());
}

}  // namespace tessaly
