// The parallel walker engine ("jwalk"): walks a tree with the parallel
// directory walker, sizing every entry with a status call on the worker that
// listed it, and aggregates the entries into a ScanResult on the calling
// thread.
#pragma once

#include <tessaly/benchmark_engines.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "platform/kernel.h"
#include "progress/progress.h"
#include "result/hardlink_set.h"
#include "result/result.h"

namespace tessaly {

// scan_with_jwalk(root, tree_depth, exclude_paths, app_handle) is public
// (<tessaly/benchmark_engines.h>). The same scan with the scan's `context`
// (progress, cancellation, clock, problems) and every kernel call of the walk
// made through `kernel`. An exception other than memory running out, from
// the context's callbacks for instance, reaches the caller.
std::expected<std::shared_ptr<const ScanResult>, std::string> scan_with_jwalk(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    const ScanContext& context, platform::Kernel& kernel = platform::system_kernel());

// The same scan, with every kernel call of the walk made through `kernel`.
std::expected<std::shared_ptr<const ScanResult>, std::string> scan_with_jwalk(
    platform::Kernel& kernel, std::string_view root, std::uint64_t tree_depth,
    const std::vector<std::string>& exclude_paths, AppHandle app_handle = nullptr);

// The bytes of everything inside the bundle directory open at `bundle_fd`,
// counted as the engine counts a bundle: every regular file below it by its
// allocated blocks (multiply-linked files once per `hardlinks`), links not
// followed, unreadable parts skipped. The descriptor stays open.
std::uint64_t total_bundle(int bundle_fd, HardlinkSet& hardlinks);
// The same, reading through `kernel`, with the unreadable parts noted in
// `context` below `bundle_path`, the bundle's own path.
std::uint64_t total_bundle(platform::Kernel& kernel, int bundle_fd, HardlinkSet& hardlinks,
                           std::string_view bundle_path = {}, const ScanContext& context = {});

}  // namespace tessaly
