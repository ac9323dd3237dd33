// The scan service; all of it is public (<tessaly/scan.h>).
#pragma once

#include <tessaly/scan.h>

#include "progress/progress.h"
#include "result/result.h"

namespace tessaly {

// Whether an exception other than memory exhaustion has escaped a scan, so
// that every later run_scan refuses with kScanInProgress. A busy guard is not
// poisoned.
bool scan_guard_poisoned();

}  // namespace tessaly
