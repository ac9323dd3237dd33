// The scan_tree program: scans one tree with a chosen engine and shows where
// the space goes; optionally writes the whole result as JSON and a treemap
// page of it.
#pragma once

#include "bin/common/stop_signals.h"

namespace tessaly::scan_tree {

// Exit status of a scan stopped by SIGINT or SIGTERM, as a shell reports a
// process ended by SIGINT.
inline constexpr int kCancelledStatus = kStoppedStatus;

// Runs scan_tree with the process arguments; returns the exit status: 0 after
// the report (or the help text), 1 when the scan fails or the JSON file, the
// page or the report cannot be written, 2 for a usage error, kCancelledStatus
// when a SIGINT or SIGTERM stopped it before the JSON file and the page were
// in place (the JSON file is written first and stays when the stop comes
// while the page is written).
int scan_tree_main(int argc, char** argv);

}  // namespace tessaly::scan_tree
