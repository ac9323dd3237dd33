/// @file
/// The scan entry: the one door through which a host and every tool start a
/// scan. It admits one scan per process at a time, clears a cancellation left
/// over from before, and runs the engine the request names, or the platform's
/// default engine when it names none.
#pragma once

#include <tessaly/export.h>
#include <tessaly/progress.h>
#include <tessaly/result.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

/// Name of the engine that reads directories with bulk attribute calls, for
/// apfs and hfs volumes.
inline constexpr std::string_view kBulkAttrsEngineName = "bulk-attrs";
/// Name of the parallel walker engine, for any file system.
inline constexpr std::string_view kJwalkEngineName = "jwalk";

/// Refusal while another scan holds the guard, or for good once a scan has
/// left the entry abnormally.
inline constexpr std::string_view kScanInProgress = "Scan already in progress";

/// Refusal of an engine name other than the two above, followed by the name
/// exactly as given.
inline constexpr std::string_view kUnsupportedEnginePrefix = "Unsupported scanner engine: ";

/// Refusal of the "bulk-attrs" engine on a volume the bulk reader cannot read.
inline constexpr std::string_view kBulkAttrsUnsupported =
    "bulk-attrs is unsupported on this volume (expected apfs/hfs)";

/// Refusal by scan() of an exclude path that is not absolute, followed by the
/// path as given.
inline constexpr std::string_view kRelativeExcludePrefix = "Exclude path is not absolute: ";

/// The two engines.
enum class ScanEngine {
  kBulkAttrs,  ///< "bulk-attrs"
  kJwalk,      ///< "jwalk"
};

/// The engine named exactly `name` (byte for byte, case-sensitive), or
/// nothing. Gives no error.
TESSALY_EXPORT std::optional<ScanEngine> parse_scan_engine(std::string_view name);

/// "bulk-attrs" or "jwalk". Gives no error.
TESSALY_EXPORT std::string_view scan_engine_name(ScanEngine engine);

/// True exactly when the volume holding `root` is of type "apfs" or "hfs"
/// (byte for byte, case-sensitive). A path that cannot be examined (memory
/// running out included), or that holds a NUL byte, gives false.
TESSALY_EXPORT bool supports_bulk_attrs(std::string_view root);

/// The engine a request naming none gets for `root`: kBulkAttrs when
/// supports_bulk_attrs(root), else kJwalk (so also when memory runs out).
TESSALY_EXPORT ScanEngine default_scan_engine(std::string_view root);

/// The file-system type name of the volume holding `path`, as the system's
/// mount table spells it ("apfs", "ext4", "tmpfs", ...): the mount whose mount
/// point is the longest component-wise prefix of `path` once symbolic links
/// are resolved (`path` as given when that fails); where mounts are stacked on
/// one mount point (Linux), the one listed last, which hides the others.
/// "unknown" when no mount covers it, the table cannot be read or memory runs
/// out. The volume probe of "bulk-attrs" asks the file system itself instead
/// (statfs).
TESSALY_EXPORT std::string volume_type_name(std::string_view path);

/// Empties the process-wide cache of scan results, releasing its share of
/// every result. Any thread may call it, also while a scan runs. Gives no
/// error.
TESSALY_EXPORT void clear_scan_cache();

/// Whether the "bulk-attrs" engine first asks the volume probe. kSkip runs the
/// engine on any volume, through the platform layer it has there (on Linux,
/// its Linux layer); it has no effect on "jwalk" nor on a request naming no
/// engine.
enum class VolumeProbe {
  kApply,  ///< refuse a volume supports_bulk_attrs rejects
  kSkip,   ///< run the bulk reader whatever the volume
};

/// What to scan and how.
struct ScanRequest {
  /// The directory to scan, used as given.
  std::string root;
  /// The engine by name ("bulk-attrs" or "jwalk"); nothing for the platform's
  /// default (default_scan_engine). Looked at only once the guard is held, so
  /// that a running scan refuses every other call whatever its engine name.
  std::optional<std::string> engine;
  /// Directory levels below the root (depth 0) whose children the result
  /// lists; deeper sizes are summed into their ancestor at this depth. The
  /// walk itself always reaches the bottom of the tree.
  std::uint64_t tree_depth = 8;
  /// Paths never entered, beside the fixed system paths. Each must be
  /// absolute (scan() refuses another with kInvalidRequest); compared
  /// component by component with the paths formed below the root.
  std::vector<std::string> exclude_paths;
  /// Whether a named "bulk-attrs" engine first asks the volume probe.
  VolumeProbe volume_probe = VolumeProbe::kApply;
  /// The scan's own cancellation; see CancelToken.
  CancelToken cancel;
  /// Typed progress; empty for none.
  ProgressCallback on_progress;
};

/// Most problems a ScanOutput lists; ScanOutput::problems_total counts all.
inline constexpr std::size_t kMaxListedProblems = 1000;

/// A directory or entry a scan could not read. The scan went on without it:
/// an unreadable directory still counts as a directory (with nothing below
/// it), an entry whose size could not be read counts with size 0.
struct ScanProblem {
  /// Its raw path: the root as given, joined with the raw names below it.
  std::string path;
  /// The errno of the failing call (EACCES, ENOENT, ...).
  int os_error = 0;

  /// Path and error.
  friend bool operator==(const ScanProblem&, const ScanProblem&) = default;
};

/// A finished scan.
struct ScanOutput {
  /// The result, shared with the scan cache.
  std::shared_ptr<const ScanResult> result;
  /// From just after the cancellation reset until the engine returned: covers
  /// the volume probe, the walk, the aggregation and the cache store.
  std::uint64_t elapsed_ms = 0;
  /// The "bulk-attrs" engine ran without the volume probe having been asked.
  bool volume_probe_skipped = false;
  /// The engine that ran: the one named, or the platform's default.
  ScanEngine engine = ScanEngine::kJwalk;
  /// The parts the scan could not read, sorted by path (then error): at most
  /// kMaxListedProblems of them, the first met when there were more. Empty
  /// for a tree read whole.
  std::vector<ScanProblem> problems;
  /// How many problems the scan met, listed or not.
  std::uint64_t problems_total = 0;
  /// The request's exclude paths, as given; with the engine, the result's
  /// root and tree depth, what refresh() scans a folder by.
  std::vector<std::string> exclude_paths;
};

/// What kind of failure a ScanError is. Values are only ever added, at the
/// end.
enum class ScanErrorKind {
  kBusy,               ///< another scan holds the guard ("Scan already in progress")
  kUnavailable,        ///< an earlier scan left abnormally; no scan runs again in
                       ///< this process ("Scan already in progress")
  kCancelled,          ///< stopped by a request ("Scan cancelled")
  kUnknownEngine,      ///< "Unsupported scanner engine: " and the name
  kUnsupportedVolume,  ///< bulk-attrs refused by the volume probe
  kWalkFailed,         ///< the engine itself failed: one of its jobs, or the thread
                       ///< running it, threw something other than running out of
                       ///< memory ("Walk thread panicked"). Not given for
                       ///< unreadable parts of the tree: those are
                       ///< ScanOutput::problems of a successful scan.
  kOutOfResources,     ///< memory, threads or descriptors ran out
  kRootNotFound,       ///< the root does not exist: a missing path, "", a path
                       ///< holding a NUL byte, a dangling or looping symbolic link
                       ///< ("{root}: No such file or directory (os error 2)", or
                       ///< the system's text of ELOOP, ENOTDIR, ENAMETOOLONG)
  kNotADirectory,      ///< the root, links followed, is not a directory: a file,
                       ///< FIFO, socket or device ("{root}: Not a directory (os
                       ///< error 20)")
  kPermissionDenied,   ///< the root is a directory that cannot be opened or listed
                       ///< ("{root}: Permission denied (os error 13)", or EPERM's
                       ///< text; any other failure to open or list it, such as
                       ///< EIO, with its own text)
  kInvalidRequest,     ///< the request cannot be scanned as asked: an exclude path
                       ///< that is not absolute ("Exclude path is not absolute: {}")
};

/// A failed scan as a host receives it: the kind to act on and the message
/// (the same text run_scan gives) to show.
struct ScanError {
  /// What failed.
  ScanErrorKind kind = ScanErrorKind::kWalkFailed;
  /// The error text.
  std::string message;

  /// Kind and message.
  friend bool operator==(const ScanError&, const ScanError&) = default;
};

/// The host's door: runs one scan on the calling thread. In this order: tries
/// the process-wide scan guard (kBusy, or kUnavailable when an earlier scan
/// left abnormally; the running scan's cancellation is left alone), clears the
/// process-wide request of request_scan_cancel, ends at once with kCancelled
/// when `request.cancel` was already triggered, starts the clock, checks the
/// engine name (kUnknownEngine), the exclude paths (kInvalidRequest for one
/// that is not absolute) and the root (kRootNotFound, kNotADirectory,
/// kPermissionDenied; the message names the root: "{root}: {description} (os
/// error {number})", with an empty root shown as "" and a NUL byte as \0),
/// picks the engine (the one named, else default_scan_engine), probes the
/// volume for a named "bulk-attrs" unless told to skip (kUnsupportedVolume,
/// nothing scanned), and runs the engine with `app_handle` and
/// `request.on_progress`. During the scan the token and request_scan_cancel
/// both stop it (kCancelled). Parts of the tree that cannot be read do not
/// fail it: they are ScanOutput::problems.
///
/// Running out of memory, threads or descriptors, anywhere, gives
/// kOutOfResources (the message is "std::bad_alloc", "failed to spawn thread:
/// " and the system's text, or "IO error for operation on " and the root's
/// error) and leaves the next scan whole. Any other exception (a progress
/// callback or emitter that throws, a failing job) gives kWalkFailed ("Walk
/// thread panicked") and, as the scan may have left shared state half changed,
/// makes the process refuse later scans with kUnavailable. No exception
/// leaves this function.
///
/// `request` and `app_handle` are used only during the call; the returned
/// output shares nothing with them.
TESSALY_EXPORT std::expected<ScanOutput, ScanError> scan(const ScanRequest& request,
                                                         AppHandle app_handle = nullptr);

/// scan() with the error as text alone, and without scan()'s checks of the
/// exclude paths and of the root: a relative exclude path is compared as
/// given (so it never matches), and a root that is missing or not a directory
/// scans as an empty tree (the engines' own behaviour), its failure listed in
/// ScanOutput::problems where the engine met it. Errors: "Scan already in
/// progress", "Scan cancelled", "Unsupported scanner engine: {}", the volume
/// probe's refusal, "Walk thread panicked", and the texts of running out
/// listed at scan(). No exception leaves it.
TESSALY_EXPORT std::expected<ScanOutput, std::string> run_scan(const ScanRequest& request,
                                                               AppHandle app_handle = nullptr);

/// Refusal by refresh() of an output that holds no result.
inline constexpr std::string_view kRefreshWithoutResult = "Refresh needs the output of a scan";
/// Refusal by refresh() of a path that is not absolute, followed by the path.
inline constexpr std::string_view kRefreshRelativePrefix = "Refresh path is not absolute: ";
/// Refusal by refresh() of a path with a "." or ".." component, followed by
/// the path.
inline constexpr std::string_view kRefreshDotPrefix = "Refresh path has a . or .. component: ";
/// Refusal by refresh() of a path outside the scanned root: "Refresh path is
/// not inside the scanned root {root}: {path}".
inline constexpr std::string_view kRefreshOutsidePrefix =
    "Refresh path is not inside the scanned root ";

/// Brings `previous`, the output of an earlier scan (or refresh), up to date
/// for the folder `path`: an absolute path at or below the result's root,
/// spelled from the root as the result spells it. The answer's result equals
/// what scan() of the whole root with the same engine, tree depth, exclude
/// paths and volume rule would give now (counters, every directory's size up
/// to the root, children lists, large files, truncated sizes), while only the
/// folder is walked.
///
/// The folder walked is the deepest directory the previous result lists on
/// the way to `path` (so `path` may be a directory created since, a file, or
/// lie below the tree depth: its listed ancestor is walked). When that folder
/// is gone, it leaves the result: its size leaves every ancestor, its entries
/// the counters. When it is now a file, a symbolic link, on another volume or
/// unreadable, its parent is walked instead, so that the entry becomes what a
/// scan makes of it. The root itself is scanned whole as scan() would.
///
/// A file with several links both inside and outside the folder counts once:
/// the name outside keeps its blocks when the previous result counted it
/// there, and the folder's names count 0.
///
/// Runs under the same guard as scan(), with the same refusals (kBusy,
/// kUnavailable), the same cancellation (`cancel`, request_scan_cancel:
/// kCancelled) and the same failures of running out (kOutOfResources) or of
/// the engine (kWalkFailed). `path` is refused with kInvalidRequest when it is
/// not absolute, has a "." or ".." component or lies outside the root, and
/// `previous` when it holds no result. On success the new output replaces the
/// root's entry in the scan cache; its problems are the previous ones outside
/// the folder and the folder's own; `on_progress` counts the folder walked.
/// `previous` is never changed, whatever the outcome; the new result shares
/// nothing with it that the caller must keep alive. No exception leaves it.
TESSALY_EXPORT std::expected<ScanOutput, ScanError> refresh(
    const ScanOutput& previous, std::string_view path, const CancelToken* cancel = nullptr,
    const ProgressCallback* on_progress = nullptr, AppHandle app_handle = nullptr);

/// The flat record of one successful scan. Field order is the report's key order.
struct BenchmarkResult {
  /// The engine name as requested.
  std::string engine;
  /// ScanOutput::elapsed_ms.
  std::uint64_t elapsed_ms = 0;
  /// ScanResult::files_found.
  std::uint64_t files_found = 0;
  /// ScanResult::dirs_found.
  std::uint64_t dirs_found = 0;
  /// ScanResult::total_size.
  std::uint64_t total_size = 0;
  /// ScanResult::compute_dir_sizes_ms.
  std::uint64_t compute_dir_sizes_ms = 0;
  /// Number of ScanResult::large_files.
  std::uint64_t large_files_count = 0;
};

/// Runs one scan of `root` with the engine named `engine` ("bulk-attrs" or
/// "jwalk") through run_scan, always with the volume probe and no progress
/// handle. Fails with "Scan already in progress" while another scan runs,
/// "Unsupported scanner engine: {}" for other names, the volume probe's
/// refusal, "Scan cancelled", "Walk thread panicked", or a text of running out
/// (see scan()); memory running out at any point, in this function's own work
/// too, gives "std::bad_alloc". No exception leaves it.
TESSALY_EXPORT std::expected<BenchmarkResult, std::string> run_scan_benchmark(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    std::string_view engine);

}  // namespace tessaly
