// The scan service; all of it is public (<tessaly/scan.h>) but for the
// guard's state and the pieces the doors share below.
#pragma once

#include <tessaly/benchmark_engines.h>
#include <tessaly/scan.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "progress/progress.h"

namespace tessaly {

// Whether an exception other than memory exhaustion has escaped a scan, so
// that every later run_scan refuses with kScanInProgress. A busy guard is not
// poisoned.
bool scan_guard_poisoned();

// The kind of an engine's error text.
ScanErrorKind engine_error_kind(std::string_view message);

// Which checks of the request a door makes before it scans.
enum class Checks {
  kAll,         // scan(): the exclude paths and the root too
  kEngineOnly,  // run_scan(): the engines' own behaviour for any root
};

// The admitted scan, with the guard held: the cancellation reset, the
// request's checks, the engine choice and run.
std::expected<ScanOutput, ScanError> run_admitted_scan(const ScanRequest& request,
                                                       AppHandle app_handle, Checks checks);

// Runs `engine` on `root` with `context`; `probe` asks the volume probe first
// for "bulk-attrs".
ScanOutcome run_engine(ScanEngine engine, bool probe, std::string_view root,
                       std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
                       const ScanContext& context);

// The work a door does under the guard, with its state.
using GuardedBody = std::expected<ScanOutput, ScanError> (*)(void* state);

// Runs `body(state)` under the process-wide scan guard: kBusy while another
// scan holds it, kUnavailable once one left abnormally; memory running out
// gives kOutOfResources with the guard usable; any other exception gives
// kWalkFailed and poisons the guard. No exception leaves it.
std::expected<ScanOutput, ScanError> run_guarded(GuardedBody body, void* state) noexcept;

}  // namespace tessaly
