// The bulk-attribute scan engine ("bulk-attrs"): every directory is read in
// one pass with its entries' attributes, one pool job per directory, and the
// listings flow over a bounded queue to the calling thread, which aggregates
// them into the result.
#pragma once

#include <tessaly/benchmark_engines.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/kernel.h"
#include "progress/progress.h"
#include "result/result.h"

namespace tessaly {

// How long the collector waits for a message before it ticks anyway.
inline constexpr std::chrono::milliseconds kBulkCollectorWait{200};

// scan_with_bulk_attrs(root, tree_depth, exclude_paths, app_handle) is public
// (<tessaly/benchmark_engines.h>). The same, with the kernel reached through `os`.
ScanOutcome scan_with_bulk_attrs(platform::Kernel& os, std::string_view root,
                                 std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 AppHandle app_handle = nullptr);

// The same scan with the scan's `context` (progress, cancellation, clock,
// problems). An exception other than memory running out, from the context's
// callbacks for instance, reaches the caller.
ScanOutcome scan_with_bulk_attrs(platform::Kernel& os, std::string_view root,
                                 std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 const ScanContext& context);

// The "bulk-attrs" choice of the scan entry: refuses with
// kBulkAttrsUnsupported when supports_bulk_attrs rejects the root's volume
// (nothing is scanned then, and there is no fallback), else scans with
// `context`.
ScanOutcome run_bulk_attrs_selected(std::string_view root, std::uint64_t tree_depth,
                                    const std::vector<std::string>& exclude_paths,
                                    const ScanContext& context);

}  // namespace tessaly
