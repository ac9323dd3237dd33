// A hook for tests that need a scan still running when they act on it.
// Production code never includes this header.
#pragma once

namespace tessaly::progress_testing {

// While on, every scan's progress ticker makes a progress point at its first
// check (after the scan's first handled item), emitting progress as usual,
// and then waits there until the scan's cancellation is requested, when the
// scan ends with "Scan cancelled". A scan can thus never finish before the
// test's stop, whatever the machine's speed.
void hold_scans(bool on);

}  // namespace tessaly::progress_testing
