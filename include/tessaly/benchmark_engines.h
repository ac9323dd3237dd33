/// @file
/// The benchmark's low-level entries: each engine called directly. They skip
/// the scan entry's guard (two of them, or one beside scan(), may run at
/// once), its reset of request_scan_cancel's flag (a request left over from
/// before cancels them), its volume probe and its platform default; they take
/// no CancelToken, give no typed progress and list no problems (the token of
/// a scan() running at the same time never reaches them). A host calls scan()
/// (<tessaly/scan.h>) instead; <tessaly/tessaly.h> does not include this
/// header.
#pragma once

#include <tessaly/export.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>
#include <tessaly/scan.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

/// A finished result, shared with the scan cache, or an error text.
using ScanOutcome = std::expected<std::shared_ptr<const ScanResult>, std::string>;

/// The parallel walker engine ("jwalk"), for any file system, without the
/// scan entry's guard. Scans `root`: stays on the root's device, never enters
/// the exclusion list (`exclude_paths` plus the fixed system paths; the root
/// itself is always scanned), totals bundle directories as one item each,
/// ignores symbolic links below the root (a root that is a link is followed),
/// sizes files by their allocated blocks with each multiply-linked file
/// counted once, and lists directories in the result down to `tree_depth`.
/// Progress goes to `app_handle` when there is one. Unreadable parts make the
/// result smaller; the failures are "Scan cancelled" (request_scan_cancel's
/// flag was seen set, also when it was set before this call), "Walk thread
/// panicked" and running out (see scan_with_bulk_attrs). A root that is
/// missing or not a directory gives an empty result. The result is also
/// stored in the scan cache under `root`, which keeps at most five results.
TESSALY_EXPORT ScanOutcome scan_with_jwalk(std::string_view root, std::uint64_t tree_depth,
                                           const std::vector<std::string>& exclude_paths,
                                           AppHandle app_handle = nullptr);

/// The bulk-attribute engine ("bulk-attrs"), without the scan entry's guard
/// and volume probe: for volumes supports_bulk_attrs accepts. Scans the tree
/// at `root` (used exactly as given). Stays on the root's volume, except that a
/// volume mounted directly below "/System/Volumes/" stands as one item sized by
/// its space used; never follows symbolic links; leaves out `exclude_paths` and
/// the fixed system paths; sizes bundles as single items; counts a
/// multiply-linked file's blocks once. FIFOs, sockets and device nodes are not
/// counted. Unreadable directories are skipped silently. Stores the result in
/// the scan cache under `root`, as the parallel walker does.
///
/// Fails with "Scan cancelled" when request_scan_cancel's flag is seen set
/// (also when it was set before this call), or "Walk thread panicked" when a
/// directory job, or `app_handle`, threw anything but std::bad_alloc (after
/// every other job has finished). On return no work of this scan is running.
///
/// Running out, with either engine, fails that scan alone, never the process:
/// memory running out anywhere gives "std::bad_alloc"; a thread the system
/// refuses gives "failed to spawn thread: " and the system's description; a
/// root that cannot be opened because no descriptor comes free within the
/// walk's patience (10 s) gives "IO error for operation on {root}:
/// {description} (os error {number})". Everything the scan started has ended
/// and been released when the error is returned, and the next scan is whole.
/// No exception leaves either engine.
TESSALY_EXPORT ScanOutcome scan_with_bulk_attrs(std::string_view root, std::uint64_t tree_depth,
                                                const std::vector<std::string>& exclude_paths,
                                                AppHandle app_handle = nullptr);

}  // namespace tessaly
