// The scan service; all of it is public (<tessaly/scan.h>) but for the
// guard's state below.
#pragma once

#include <tessaly/scan.h>

namespace tessaly {

// Whether an exception other than memory exhaustion has escaped a scan, so
// that every later run_scan refuses with kScanInProgress. A busy guard is not
// poisoned.
bool scan_guard_poisoned();

}  // namespace tessaly
