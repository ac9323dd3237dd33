// Scans held open for tests that stop them (progress/testing.h).
#pragma once

namespace tessaly::testing {

// From now on every scan of this process waits at its first progress point,
// after emitting it, until the scan's cancellation is requested.
void hold_scans_until_cancelled();

}  // namespace tessaly::testing
