#include "support/held_scans.h"

#include "progress/testing.h"

namespace tessaly::testing {

void hold_scans_until_cancelled() { progress_testing::hold_scans(true); }

}  // namespace tessaly::testing
