// The scan_compare program: compares the run times of two scan_bench reports
// and says whether the new one is slower.
#pragma once

namespace tessaly::scan_compare {

/// Runs scan_compare with the process arguments; returns the exit status: 0
/// when not slower (or after the help text), 1 when slower, 2 for a usage
/// error or a report or output file that cannot be read or written, 3 when
/// the results differ.
int scan_compare_main(int argc, char** argv);

}  // namespace tessaly::scan_compare
