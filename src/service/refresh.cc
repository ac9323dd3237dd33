// refresh(): one folder of an earlier scan walked again and spliced into its
// result; public (<tessaly/scan.h>).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/paths.h"
#include "base/utf8.h"
#include "cache/scan_cache.h"
#include "jwalk/walker.h"
#include "platform/kernel.h"
#include "progress/problem_log.h"
#include "progress/progress.h"
#include "result/refresh_splice.h"
#include "result/result.h"
#include "rules/volume_group.h"
#include "service/scan_service.h"

namespace tessaly {
namespace {

ScanError invalid(std::string message) {
  return ScanError{ScanErrorKind::kInvalidRequest, std::move(message)};
}

struct RefreshCall {
  const ScanOutput* previous;
  std::string_view path;
  const CancelToken* cancel;
  const ProgressCallback* on_progress;
  AppHandle app_handle;
};

// Why `path` cannot be refreshed in `previous`, or nothing.
std::optional<ScanError> path_refusal(const ScanOutput& previous, std::string_view path) {
  if (!previous.result) return invalid(std::string(kRefreshWithoutResult));
  if (!path.starts_with('/')) return invalid(fmt::format("{}{}", kRefreshRelativePrefix, path));
  PathComponents components(path);
  std::string_view part;
  while (components.next(part)) {
    if (part == "." || part == "..") return invalid(fmt::format("{}{}", kRefreshDotPrefix, path));
  }
  const std::string& root = previous.result->root_path;
  if (path.find('\0') != std::string_view::npos || !path_starts_with(path, root)) {
    return invalid(
        fmt::format("{}{}: {}", kRefreshOutsidePrefix, utf8_lossy(root), utf8_lossy(path)));
  }
  return std::nullopt;
}

// The root's path and each directory the result lists on the way from it to
// `path`, spelled as the result spells them: element i lies i levels below
// the root.
std::vector<std::string> listed_chain(const ScanResult& result, std::string_view path) {
  std::vector<std::string> chain{result.root_path};
  PathComponents root_parts(result.root_path);
  PathComponents parts(path);
  std::string_view part;
  while (root_parts.next(part)) parts.next(part);
  while (parts.next(part)) {
    const ChildList* children = result.children_of(chain.back());
    if (children == nullptr) break;
    const auto listed = std::ranges::find_if(*children, [&](const ChildEntry& entry) {
      return entry.is_dir() && entry.raw_name() == part;
    });
    if (listed == children->end()) break;
    chain.push_back(child_path(chain.back(), part));
  }
  return chain;
}

enum class FolderState {
  kDirectory,  // a directory the walk of the root would enter
  kGone,       // nothing there any more
  kOther,      // something the walk of its parent decides on
};

// `is_root`: a root given as a symbolic link is the directory it leads to,
// as for a scan.
FolderState folder_state(platform::Kernel& kernel, const std::string& folder,
                         const DeviceRule& devices, bool is_root = false) {
  struct stat st {};
  const auto stated = stat_at(kernel, AT_FDCWD, folder, st, is_root);
  if (!stated) {
    if (stated.error() == ENOENT || stated.error() == ENOTDIR) return FolderState::kGone;
    if (stated.error() == ENOMEM) throw std::bad_alloc();
    return FolderState::kOther;
  }
  if (!S_ISDIR(st.st_mode)) return FolderState::kOther;
  const auto device = static_cast<std::uint64_t>(st.st_dev);
  if (devices.on_root_volume(device) || devices.through_firmlink(device, folder)) {
    return FolderState::kDirectory;
  }
  return FolderState::kOther;
}

// The previous problems outside `folder` and the folder's new ones, sorted,
// at most kMaxListedProblems listed.
void merge_problems(const ScanOutput& previous, std::string_view folder,
                    std::vector<ScanProblem> found, std::uint64_t found_total, ScanOutput& output) {
  std::uint64_t dropped = 0;
  for (const ScanProblem& problem : previous.problems) {
    if (path_starts_with(problem.path, folder)) {
      ++dropped;
    } else {
      found.push_back(problem);
    }
  }
  std::ranges::sort(found, [](const ScanProblem& a, const ScanProblem& b) {
    return std::tie(a.path, a.os_error) < std::tie(b.path, b.os_error);
  });
  if (found.size() > kMaxListedProblems) found.resize(kMaxListedProblems);
  output.problems = std::move(found);
  output.problems_total = previous.problems_total - dropped + found_total;
}

// The refresh, with the guard held.
std::expected<ScanOutput, ScanError> run_refresh(const RefreshCall& call) {
  const ScanOutput& previous = *call.previous;
  scan_cancel_flag().store(false, std::memory_order_relaxed);
  if (call.cancel != nullptr && call.cancel->cancel_requested()) {
    return std::unexpected(ScanError{ScanErrorKind::kCancelled, std::string(kScanCancelled)});
  }
  if (auto refusal = path_refusal(previous, call.path)) return std::unexpected(*refusal);
  const ScanResult& result = *previous.result;

  // The whole root: a scan with the previous request.
  const auto rescan_root = [&]() -> std::expected<ScanOutput, ScanError> {
    ScanRequest request;
    request.root = result.root_path;
    request.engine = std::string(scan_engine_name(previous.engine));
    request.tree_depth = result.tree_depth;
    request.exclude_paths = previous.exclude_paths;
    request.volume_probe = VolumeProbe::kSkip;  // the previous scan passed it or skipped it
    if (call.cancel != nullptr) request.cancel = *call.cancel;
    if (call.on_progress != nullptr) request.on_progress = *call.on_progress;
    auto output = run_admitted_scan(request, call.app_handle, Checks::kAll);
    if (output) output->volume_probe_skipped = previous.volume_probe_skipped;
    return output;
  };

  platform::Kernel& kernel = platform::system_kernel();
  DeviceRule devices;
  if (struct stat st{}; stat_at(kernel, AT_FDCWD, result.root_path, st, true)) {
    VolumeGroup group = find_volume_group(kernel, result.root_path);
    devices = DeviceRule(static_cast<std::uint64_t>(st.st_dev), group.data_device,
                         std::move(group.firmlinks));
  }
  const std::vector<std::string> chain = listed_chain(result, call.path);
  std::size_t depth = chain.size() - 1;
  while (depth > 0) {
    const FolderState state = folder_state(kernel, chain[depth], devices);
    if (state == FolderState::kDirectory) break;
    if (state == FolderState::kGone &&
        folder_state(kernel, chain[depth - 1], devices, depth == 1) == FolderState::kDirectory) {
      ScanOutput output;
      output.result = splice_folder(result, chain[depth], nullptr);
      store_scan_result(result.root_path, output.result);
      output.engine = previous.engine;
      output.volume_probe_skipped = previous.volume_probe_skipped;
      output.exclude_paths = previous.exclude_paths;
      merge_problems(previous, chain[depth], {}, 0, output);
      return output;
    }
    --depth;
  }
  if (depth == 0) return rescan_root();

  // The folder, walked as the root's walk would walk it.
  const std::string& folder = chain[depth];
  const std::set<FileIdentity> links = links_counted_outside(result, folder);
  const std::vector<FileIdentity> counted_links(links.begin(), links.end());
  ProblemLog problems;
  const ScanContext context{
      .app_handle = call.app_handle,
      .on_progress = call.on_progress != nullptr && *call.on_progress ? call.on_progress : nullptr,
      .cancel = call.cancel,
      .clock = &monotonic_clock(),
      .problems = &problems,
      .volume_root = result.root_path,
      .counted_links = counted_links,
      .store_in_cache = false,
  };
  const Instant start = context.clock->now();
  const std::uint64_t tree_depth =
      result.tree_depth == kUnlimitedTreeDepth ? kUnlimitedTreeDepth : result.tree_depth - depth;
  ScanOutcome outcome =
      run_engine(previous.engine, false, folder, tree_depth, previous.exclude_paths, context);
  if (!outcome) {
    const ScanErrorKind kind = engine_error_kind(outcome.error());
    return std::unexpected(ScanError{kind, std::move(outcome.error())});
  }
  ScanOutput output;
  output.result = splice_folder(result, folder, outcome->get());
  store_scan_result(result.root_path, output.result);
  output.elapsed_ms = whole_millis_between(start, context.clock->now());
  output.engine = previous.engine;
  output.volume_probe_skipped = previous.volume_probe_skipped;
  output.exclude_paths = previous.exclude_paths;
  merge_problems(previous, folder, problems.take(), problems.total(), output);
  return output;
}

}  // namespace

std::expected<ScanOutput, ScanError> refresh(const ScanOutput& previous, std::string_view path,
                                             const CancelToken* cancel,
                                             const ProgressCallback* on_progress,
                                             AppHandle app_handle) {
  RefreshCall call{&previous, path, cancel, on_progress, app_handle};
  return run_guarded(
      [](void* state) { return run_refresh(*static_cast<const RefreshCall*>(state)); }, &call);
}

}  // namespace tessaly
