// The scan_bench program: command line, benchmark runs and report.
#pragma once

namespace tessaly {

// Runs scan_bench with the process arguments; returns the exit status
// (0 success or help, 1 failed run or report, 2 usage error).
int scan_bench_main(int argc, char** argv);

}  // namespace tessaly
