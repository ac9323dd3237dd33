#include "service/scan_service.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "base/clock.h"
#include "base/poison_mutex.h"
#include "base/utf8.h"
#include "base/worker_pool.h"
#include "bulk/bulk_engine.h"
#include "bulk/bulk_reader.h"
#include "jwalk/jwalk_engine.h"
#include "jwalk/walker.h"
#include "platform/descriptors.h"
#include "platform/kernel.h"
#include "platform/mount_table.h"
#include "progress/problem_log.h"
#include "progress/progress.h"
#include "result/result.h"

namespace tessaly {
namespace {

// Only ever tried, never waited for.
PoisonableMutex& scan_lock() {
  static PoisonableMutex lock;
  return lock;
}

ScanError failure(ScanErrorKind kind, std::string message) {
  return ScanError{kind, std::move(message)};
}

ScanError out_of_memory() {
  return ScanError{ScanErrorKind::kOutOfResources, failure_text(std::bad_alloc().what())};
}

}  // namespace

// The engines fail with an "IO error" only for a root that no descriptor came
// free for.
ScanErrorKind engine_error_kind(std::string_view message) {
  if (message == kScanCancelled) return ScanErrorKind::kCancelled;
  if (message == kBulkAttrsUnsupported) return ScanErrorKind::kUnsupportedVolume;
  if (message == std::bad_alloc().what() || message.starts_with(kSpawnFailurePrefix) ||
      message.starts_with(platform::kIoErrorPrefix)) {
    return ScanErrorKind::kOutOfResources;
  }
  return ScanErrorKind::kWalkFailed;
}

namespace {

// "{root}: {description} (os error {error})", the root as text: "" for an
// empty one, a NUL byte as \0.
ScanError root_failure(ScanErrorKind kind, std::string_view root, int error) {
  std::string shown;
  if (root.empty()) shown = "\"\"";
  for (const char c : root) {
    if (c == '\0') {
      shown += "\\0";
    } else {
      shown += c;
    }
  }
  return failure(
      kind, fmt::format("{}: {} (os error {})", utf8_lossy(shown), std::strerror(error), error));
}

// Why `root` cannot be scanned, or nothing. The root is opened and listed as
// the engines would; a root for which no descriptor is free is left to the
// engine, which waits for one.
std::optional<ScanError> root_refusal(std::string_view root) {
  if (root.empty() || root.find('\0') != std::string_view::npos) {
    return root_failure(ScanErrorKind::kRootNotFound, root, ENOENT);
  }
  platform::Kernel& kernel = platform::system_kernel();
  const auto fd =
      platform::open_directory_of_any_length(kernel, AT_FDCWD, root, platform::OpenAs::kListing);
  if (!fd) {
    const int error = fd.error();
    switch (error) {
      case EMFILE:
      case ENFILE:
        return std::nullopt;
      case ENOMEM:
        throw std::bad_alloc();
      case ENOTDIR: {
        // The root itself is something else, or a component on its way is.
        struct stat st {};
        if (stat_at(kernel, AT_FDCWD, root, st, true)) {
          return root_failure(ScanErrorKind::kNotADirectory, root, ENOTDIR);
        }
        return root_failure(ScanErrorKind::kRootNotFound, root, ENOTDIR);
      }
      case ENOENT:
      case ELOOP:
      case ENAMETOOLONG:
        return root_failure(ScanErrorKind::kRootNotFound, root, error);
      default:
        return root_failure(ScanErrorKind::kPermissionDenied, root, error);
    }
  }
  const platform::Descriptor open(kernel, *fd);
  DirectoryReader reader(kernel, open.get());
  std::string_view name;
  EntryKind kind;
  int entry_error = 0;
  reader.next(name, kind, entry_error);
  if (const int error = reader.error(); error != 0 && !platform::out_of_descriptors(error)) {
    return root_failure(ScanErrorKind::kPermissionDenied, root, error);
  }
  return std::nullopt;
}

// The first exclude path that is not absolute, as a refusal.
std::optional<ScanError> exclusion_refusal(const std::vector<std::string>& exclude_paths) {
  for (const std::string& path : exclude_paths) {
    if (!path.starts_with('/')) {
      return failure(ScanErrorKind::kInvalidRequest,
                     fmt::format("{}{}", kRelativeExcludePrefix, path));
    }
  }
  return std::nullopt;
}

}  // namespace

ScanOutcome run_engine(ScanEngine engine, bool probe, std::string_view root,
                       std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
                       const ScanContext& context) {
  if (engine == ScanEngine::kJwalk)
    return scan_with_jwalk(root, tree_depth, exclude_paths, context);
  if (probe) return run_bulk_attrs_selected(root, tree_depth, exclude_paths, context);
  return scan_with_bulk_attrs(platform::system_kernel(), root, tree_depth, exclude_paths, context);
}

std::expected<ScanOutput, ScanError> run_admitted_scan(const ScanRequest& request,
                                                       AppHandle app_handle, Checks checks) {
  scan_cancel_flag().store(false, std::memory_order_relaxed);
  if (request.cancel.cancel_requested()) {
    return std::unexpected(failure(ScanErrorKind::kCancelled, std::string(kScanCancelled)));
  }
  // Everything of the caller's that the engine reaches, for this call only.
  ProblemLog problems;
  const ScanContext context{
      .app_handle = app_handle,
      .on_progress = request.on_progress ? &request.on_progress : nullptr,
      .cancel = &request.cancel,
      .clock = &monotonic_clock(),
      .problems = &problems,
  };
  const Clock& clock = *context.clock;
  const Instant start = clock.now();

  std::optional<ScanEngine> engine;
  if (request.engine) {
    engine = parse_scan_engine(*request.engine);
    if (!engine) {
      return std::unexpected(
          failure(ScanErrorKind::kUnknownEngine,
                  fmt::format("{}{}", kUnsupportedEnginePrefix, *request.engine)));
    }
  }
  if (checks == Checks::kAll) {
    if (auto refusal = exclusion_refusal(request.exclude_paths)) {
      return std::unexpected(std::move(*refusal));
    }
    if (auto refusal = root_refusal(request.root)) return std::unexpected(std::move(*refusal));
  }
  if (!engine) engine = default_scan_engine(request.root);

  // The default has asked the probe already.
  const bool probe = request.volume_probe == VolumeProbe::kApply && request.engine;
  ScanOutcome outcome =
      run_engine(*engine, probe, request.root, request.tree_depth, request.exclude_paths, context);
  const std::uint64_t elapsed_ms = whole_millis_between(start, clock.now());
  if (!outcome) {
    const ScanErrorKind kind = engine_error_kind(outcome.error());
    return std::unexpected(failure(kind, std::move(outcome.error())));
  }
  ScanOutput output;
  output.result = std::move(*outcome);
  output.elapsed_ms = elapsed_ms;
  output.volume_probe_skipped = *engine == ScanEngine::kBulkAttrs &&
                                request.volume_probe == VolumeProbe::kSkip && request.engine;
  output.engine = *engine;
  output.problems = problems.take();
  output.problems_total = problems.total();
  output.exclude_paths = request.exclude_paths;
  return output;
}

namespace {

// Memory running out leaves nothing half changed: every engine releases what
// it holds on the way out, and the cache refuses an entry it has no room for
// whole; the guard stays usable. Anything else that escapes poisons the guard
// on its way out of here.
std::expected<ScanOutput, ScanError> guarded_run(GuardedBody body, void* state) {
  std::optional<PoisonableMutex::Guard> guard = scan_lock().try_lock();
  if (!guard) return std::unexpected(failure(ScanErrorKind::kBusy, std::string(kScanInProgress)));
  // A scan that once left abnormally may have left shared state half
  // changed; the process scans no more.
  if (guard->poisoned()) {
    return std::unexpected(failure(ScanErrorKind::kUnavailable, std::string(kScanInProgress)));
  }
  try {
    return body(state);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

}  // namespace

// A failure ends with the exception's own text or a fixed one, both short
// enough to need no allocation.
std::expected<ScanOutput, ScanError> run_guarded(GuardedBody body, void* state) noexcept {
  try {
    return guarded_run(body, state);
  } catch (const std::bad_alloc&) {
    // Before the guard was taken, or while a refusal was worded.
    return std::unexpected(out_of_memory());
  } catch (...) {
    std::string text = failure_text(kWalkThreadPanicked);
    const ScanErrorKind kind =
        text == kWalkThreadPanicked ? ScanErrorKind::kWalkFailed : ScanErrorKind::kOutOfResources;
    return std::unexpected(ScanError{kind, std::move(text)});
  }
}

namespace {

struct AdmittedScan {
  const ScanRequest* request;
  AppHandle app_handle;
  Checks checks;
};

std::expected<ScanOutput, ScanError> admitted_scan(const ScanRequest& request, AppHandle app_handle,
                                                   Checks checks) noexcept {
  AdmittedScan state{&request, app_handle, checks};
  return run_guarded(
      [](void* raw) {
        const auto& scan = *static_cast<AdmittedScan*>(raw);
        return run_admitted_scan(*scan.request, scan.app_handle, scan.checks);
      },
      &state);
}

}  // namespace

std::optional<ScanEngine> parse_scan_engine(std::string_view name) {
  if (name == kBulkAttrsEngineName) return ScanEngine::kBulkAttrs;
  if (name == kJwalkEngineName) return ScanEngine::kJwalk;
  return std::nullopt;
}

std::string_view scan_engine_name(ScanEngine engine) {
  return engine == ScanEngine::kJwalk ? kJwalkEngineName : kBulkAttrsEngineName;
}

ScanEngine default_scan_engine(std::string_view root) {
  return supports_bulk_attrs(root) ? ScanEngine::kBulkAttrs : ScanEngine::kJwalk;
}

std::string volume_type_name(std::string_view path) {
  try {
    return fs_type_of_resolved(path, platform::system_kernel().mount_table());
  } catch (const std::bad_alloc&) {
    return "unknown";  // fits a string's own room
  }
}

bool scan_guard_poisoned() { return scan_lock().is_poisoned(); }

std::expected<ScanOutput, ScanError> scan(const ScanRequest& request, AppHandle app_handle) {
  return admitted_scan(request, app_handle, Checks::kAll);
}

std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request, AppHandle app_handle) {
  auto outcome = admitted_scan(request, app_handle, Checks::kEngineOnly);
  if (!outcome) return std::unexpected(std::move(outcome.error().message));
  return std::move(*outcome);
}

}  // namespace tessaly
