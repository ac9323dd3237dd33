#include "bulk/bulk_engine.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "cache/scan_cache.h"
#include "bulk/bulk_reader.h"
#include "bulk/channel.h"
#include "base/clock.h"
#include "result/hardlink_set.h"
#include "base/logging.h"
#include "base/paths.h"
#include "result/aggregator.h"
#include "rules/bundles.h"
#include "rules/exclusions.h"
#include "base/worker_pool.h"

namespace tessaly {
namespace {

constexpr std::string_view kSystemVolumes = "/System/Volumes";
constexpr std::string_view kVolumes = "/Volumes";
constexpr std::string_view kSystemVolumesPrefix = "/System/Volumes/";

// A worker keeps its listings between directories so that reading one costs
// no allocation per entry; one far larger than usual is given back after use.
constexpr std::size_t kKeptListingEntries = 1 << 16;

// State of one scan shared by the walk thread and every directory job. Read
// only during the walk, except for the hard-link set (concurrent by itself)
// and the sender (safe to use from many threads; released by the walk thread
// after the last job has ended).
struct BulkWalk {
  BulkWalk(platform::Platform& platform, const std::vector<std::string>& exclude_paths,
           Sender<WalkMessage> queue_sender)
      : os(platform), exclusions(exclude_paths), sender(std::move(queue_sender)) {}

  platform::Platform& os;
  const ExclusionList exclusions;
  HardlinkSet hardlinks;
  std::uint64_t root_device = 0;  // 0 switches the device rule off
  Sender<WalkMessage> sender;
  JobScope* scope = nullptr;
  // Directory descriptors kept open for subdirectories to be opened relative
  // to them, and how many may be kept (0 once the process ran short).
  std::atomic<std::int64_t> retained{0};
  std::atomic<std::int64_t> retain_budget{0};
};

// An open directory kept for its subdirectories' jobs to open themselves
// relative to it, so that a directory costs one lookup of one name however
// deep it lies; closed when the last of those jobs has opened its own.
class DirHandle {
 public:
  DirHandle(BulkWalk& walk, int fd) : walk_(walk), fd_(fd) {}
  ~DirHandle() {
    walk_.os.close_descriptor(fd_);
    walk_.retained.fetch_sub(1, std::memory_order_relaxed);
  }
  DirHandle(const DirHandle&) = delete;
  DirHandle& operator=(const DirHandle&) = delete;

  int fd() const { return fd_; }

 private:
  BulkWalk& walk_;
  const int fd_;
};

// Half of what the process may still open, less a reserve for everything
// that opens descriptors for a moment, and at most 1024.
std::int64_t descriptor_budget() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const std::int64_t soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 20)
                                ? std::int64_t{1} << 20
                                : static_cast<std::int64_t>(limit.rlim_cur);
  return std::clamp<std::int64_t>(soft / 2 - 64, 0, 1024);
}

bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

// The device of `path`, the call repeated when a signal interrupts it: an
// interrupted read of the root's device would switch the device rule off.
std::expected<std::uint64_t, int> device_of(platform::Platform& os, const char* path) {
  return platform::retry_interrupted([&] { return os.device_of(path); });
}

// The space used on the volume mounted at `path`, repeated likewise: an
// interrupted query would drop the volume.
std::expected<std::int64_t, int> volume_space_used(platform::Platform& os, const char* path) {
  return platform::retry_interrupted([&] { return os.volume_space_used(path); });
}

std::uint64_t positive_size(std::int64_t bytes) {
  return bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
}

// How long a directory keeps waiting for a free descriptor before it is given
// up like any other unreadable directory.
constexpr std::chrono::seconds kDescriptorPatience{10};

// read_dir_bulk_into, waiting while the process is out of descriptors: a
// directory must not go missing because other threads hold descriptors for a
// moment. A waiting job holds no descriptor of its own, and the walk keeps no
// more once the process ran short, so waiting cannot deadlock it. A
// cancellation ends the wait. `dir` was listed as a directory, so a symbolic
// link found in its place is not followed.
bool read_listing(BulkWalk& walk, const std::string& dir, BulkListing& listing) {
  const auto start = std::chrono::steady_clock::now();
  for (int attempt = 1;; ++attempt) {
    const auto read = read_dir_bulk_into(walk.os, dir, listing, false);
    if (read) return true;
    if (!out_of_descriptors(read.error())) return false;
    if (scan_cancel_requested() || std::chrono::steady_clock::now() - start >= kDescriptorPatience)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(attempt, 20)));
  }
}

// Opens the directory `dir` of a job: relative to its parent's descriptor
// when the job has one, and by path when it has none or the process is short
// of descriptors; waits as read_listing does while the process is out of
// descriptors, after letting go of the parent's (this job may hold its last
// reference) and keeping no more. The parent is released in every case. Any
// directory but the root was listed as one, so a symbolic link that replaced
// it since is refused, never followed.
std::expected<int, int> open_job_directory(BulkWalk& walk, const std::string& dir, bool is_root,
                                           std::shared_ptr<DirHandle> parent,
                                           std::size_t name_size) {
  if (parent) {
    const auto fd = open_bulk_directory_at(walk.os, parent->fd(),
                                           std::string_view(dir).substr(dir.size() - name_size));
    parent.reset();
    if (fd) return fd;
    // Short of descriptors, the walk keeps no more; a platform that cannot
    // open relative to a directory never will. Either way the path serves.
    if (!out_of_descriptors(fd.error()) && fd.error() != ENOSYS) return fd;
    walk.retain_budget.store(0, std::memory_order_relaxed);
  }
  const auto start = std::chrono::steady_clock::now();
  for (int attempt = 1;; ++attempt) {
    const auto fd =
        is_root ? open_bulk_directory(walk.os, dir) : open_bulk_subdirectory(walk.os, dir);
    if (fd || !out_of_descriptors(fd.error())) return fd;
    if (scan_cancel_requested() || std::chrono::steady_clock::now() - start >= kDescriptorPatience)
      return fd;
    walk.retain_budget.store(0, std::memory_order_relaxed);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(attempt, 20)));
  }
}

// The descriptor of the directory a job reads, closed on every way out (a
// failing read may throw) unless released.
class OpenDirectory {
 public:
  OpenDirectory(platform::Platform& os, int fd) : os_(os), fd_(fd) {}
  ~OpenDirectory() {
    if (fd_ >= 0) os_.close_descriptor(fd_);
  }
  OpenDirectory(const OpenDirectory&) = delete;
  OpenDirectory& operator=(const OpenDirectory&) = delete;

  int fd() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  platform::Platform& os_;
  int fd_;
};

// Hands the descriptor of a directory just read on to its subdirectories'
// jobs when it has any and the walk may keep one more; closes it otherwise.
// Either way the job itself holds no descriptor while it sizes bundles or
// waits to send, so jobs waiting for descriptors cannot block each other.
std::shared_ptr<DirHandle> keep_for_subdirectories(BulkWalk& walk, int fd,
                                                   const BulkListing& listing) {
  bool has_subdirectory = false;
  for (std::size_t i = 0; i < listing.size() && !has_subdirectory; ++i) {
    const BulkFields& f = listing[i].fields;
    has_subdirectory = f.error == 0 && f.obj_type == obj_type_directory;
  }
  if (has_subdirectory && walk.retained.fetch_add(1, std::memory_order_relaxed) <
                              walk.retain_budget.load(std::memory_order_relaxed)) {
    return std::make_shared<DirHandle>(walk, fd);
  }
  if (has_subdirectory) walk.retained.fetch_sub(1, std::memory_order_relaxed);
  walk.os.close_descriptor(fd);
  return nullptr;
}

BulkListing& thread_listing() {
  thread_local BulkListing listing;
  return listing;
}

BulkListing& thread_bundle_listing() {
  thread_local BulkListing listing;
  return listing;
}

// The allocated bytes below a bundle, read on the calling worker without
// further jobs. No device rule, exclusion or depth limit applies inside; a
// cancellation stops the count where it is.
std::uint64_t bundle_total(BulkWalk& walk, std::string bundle_path) {
  BulkListing& listing = thread_bundle_listing();
  std::uint64_t total = 0;
  std::vector<std::string> pending;
  pending.push_back(std::move(bundle_path));
  while (!pending.empty()) {
    const std::string dir = std::move(pending.back());
    pending.pop_back();
    if (scan_cancel_requested()) break;
    if (!read_listing(walk, dir, listing)) continue;
    for (std::size_t i = 0; i < listing.size(); ++i) {
      const BulkListing::Item item = listing[i];
      const BulkFields& f = item.fields;
      if (f.error != 0) continue;
      if (f.obj_type == obj_type_regular) {
        total += counted_size(walk.hardlinks, f.link_count, f.dev_id, f.file_id,
                              positive_size(f.alloc_size));
      } else if (f.obj_type == obj_type_directory) {
        pending.push_back(join_path(dir, item.raw_name));
      }
    }
  }
  listing.trim(kKeptListingEntries);
  return total;
}

void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth,
                 std::shared_ptr<DirHandle> parent, std::size_t name_size);

// `parent`, when not null, is the open directory holding `dir`, whose last
// `name_size` bytes are its name there.
void spawn_dir(BulkWalk& walk, std::string dir, std::uint64_t depth,
               std::shared_ptr<DirHandle> parent = nullptr, std::size_t name_size = 0) {
  walk.scope->spawn(
      [&walk, dir = std::move(dir), depth, parent = std::move(parent), name_size]() mutable {
        process_dir(walk, std::move(dir), depth, std::move(parent), name_size);
      });
}

// Reads one directory, sizes its files, spawns a job for each subdirectory it
// keeps and sends its listing. A directory that cannot be read contributes
// nothing.
void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth,
                 std::shared_ptr<DirHandle> parent, std::size_t name_size) {
  if (scan_cancel_requested()) return;
  const auto fd = open_job_directory(walk, dir, depth == 0, std::move(parent), name_size);
  if (!fd) return;
  OpenDirectory open(walk.os, *fd);
  BulkListing& listing = thread_listing();
  if (!read_open_dir_bulk_into(walk.os, open.fd(), listing)) return;
  const std::shared_ptr<DirHandle> directory =
      keep_for_subdirectories(walk, open.release(), listing);

  const std::uint64_t child_depth = depth + 1;
  const bool stat_children = paths_equal(dir, kSystemVolumes) || paths_equal(dir, kVolumes);
  DirListingMessage message;
  message.children.reserve(listing.size(), listing.name_bytes());
  for (std::size_t i = 0; i < listing.size(); ++i) {
    const BulkListing::Item item = listing[i];
    const BulkFields& f = item.fields;
    if (f.error != 0) continue;

    if (f.obj_type == obj_type_regular) {
      message.children.add_file(item.raw_name,
                                counted_size(walk.hardlinks, f.link_count, f.dev_id, f.file_id,
                                             positive_size(f.alloc_size)));
      continue;
    }
    if (f.obj_type != obj_type_directory) continue;  // links are never followed; others not counted

    std::string child = join_path(dir, item.raw_name);
    std::uint64_t device = f.dev_id;
    if (stat_children) {
      // Mount points here may report the parent volume's device in the listing.
      if (const auto stat_device = device_of(walk.os, child.c_str())) device = *stat_device;
    }
    if (walk.root_device != 0 && device != walk.root_device) {
      if (path_starts_with(child, kSystemVolumesPrefix) && !walk.exclusions.contains(child)) {
        const auto used = volume_space_used(walk.os, child.c_str());
        if (used && *used >= 1) {
          walk.sender.send(SubtreeTotal{dir, std::string(item.raw_name),
                                        static_cast<std::uint64_t>(*used), child_depth});
        }
      }
      continue;
    }
    if (walk.exclusions.contains(child)) continue;
    if (is_bundle_name(item.raw_name)) {
      const std::uint64_t total = bundle_total(walk, std::move(child));
      walk.sender.send(SubtreeTotal{dir, std::string(item.raw_name), total, child_depth});
      continue;
    }
    // Listed when within the tree depth, counted at any depth (the collector
    // decides); walked in every case. The job only queues, so this thread's
    // listing stays intact for the rest of the loop.
    message.children.add_directory(item.raw_name);
    spawn_dir(walk, std::move(child), child_depth, directory, item.raw_name.size());
  }
  listing.trim(kKeptListingEntries);

  if (message.children.empty()) return;
  message.dir = std::move(dir);
  message.depth = child_depth;
  walk.sender.send(std::move(message));
}

// The walk thread's body: holds the job scope on the process-wide pool until
// every directory job has ended, then releases its sender, which ends the
// queue. True when no job failed.
bool run_walk(BulkWalk& walk, std::string root) {
  bool clean = true;
  try {
    JobScope scope(worker_pool());
    walk.scope = &scope;
    walk.retain_budget.store(descriptor_budget(), std::memory_order_relaxed);
    spawn_dir(walk, std::move(root), 0);
    scope.wait();
  } catch (...) {
    clean = false;
  }
  walk.sender.reset();
  return clean;
}

// Joins the walk thread on every way out of the collector, releasing the
// receiving end first so that no job stays blocked on a full queue.
class WalkThread {
 public:
  WalkThread(BulkWalk& walk, std::string root, Receiver<WalkMessage>& receiver)
      : receiver_(receiver) {
    try {
      thread_ = std::thread([this, &walk, root = std::move(root)]() mutable {
        clean_ = run_walk(walk, std::move(root));
      });
    } catch (const std::system_error& e) {
      std::fprintf(stderr, "failed to spawn thread: %s\n", e.what());
      std::abort();
    }
  }
  ~WalkThread() {
    if (thread_.joinable()) {
      receiver_.reset();
      thread_.join();
    }
  }
  WalkThread(const WalkThread&) = delete;
  WalkThread& operator=(const WalkThread&) = delete;

  // Waits for the walk to end; true when it ended normally.
  bool join() {
    thread_.join();
    return clean_;
  }

 private:
  Receiver<WalkMessage>& receiver_;
  std::thread thread_;
  bool clean_ = false;  // written by the walk thread, read after join
};

}  // namespace

ScanOutcome scan_with_bulk_attrs(std::string_view root, std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 AppHandle app_handle) {
  return scan_with_bulk_attrs(platform::system_platform(), root, tree_depth, exclude_paths,
                              app_handle);
}

ScanOutcome scan_with_bulk_attrs(platform::Platform& os, std::string_view root,
                                 std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 AppHandle app_handle) {
  auto [sender, receiver] = make_bounded_channel<WalkMessage>(kBulkWalkQueueCapacity);
  BulkWalk walk(os, exclude_paths, std::move(sender));
  const std::string root_path(root);
  if (root_path.find('\0') == std::string::npos) {
    if (const auto device = device_of(os, root_path.c_str())) walk.root_device = *device;
  }

  ScanAggregator aggregator(root, tree_depth);
  WalkThread walk_thread(walk, root_path, receiver);
  ProgressTicker ticker(aggregator.counters(), app_handle);

  bool cancelled = false;
  while (!cancelled) {
    auto message = receiver.recv_timeout(kBulkCollectorWait);
    if (!message) {
      if (message.error() == RecvError::kDisconnected) break;
      cancelled = ticker.tick_now() == TickResult::kCancelled;
      continue;
    }
    if (auto* listing = std::get_if<DirListingMessage>(&*message)) {
      aggregator.record_listing(listing->dir, listing->children, listing->depth);
    } else {
      aggregator.record_subtree_total(std::get<SubtreeTotal>(*message));
    }
    cancelled = ticker.tick() == TickResult::kCancelled;
  }
  if (cancelled) {
    receiver.reset();
    walk_thread.join();
    return std::unexpected(std::string(kScanCancelled));
  }

  if (!walk_thread.join()) return std::unexpected(std::string(kWalkThreadPanicked));
  macos_walker_logger().info("[walk:bulk] walk finished at {} ms", ticker.elapsed_ms());
  if (ticker.cancel_requested()) return std::unexpected(std::string(kScanCancelled));
  ticker.emit_final();

  const Instant finish_start = monotonic_now();
  FinishedScan finished = aggregator.finish();
  macos_walker_logger().info(
      "[post-walk:bulk] compute_dir_sizes: {} ms ({} dirs), children_map entries: {}",
      whole_millis_between(finish_start, monotonic_now()), finished.dir_sizes_count,
      finished.child_entry_count);
  store_scan_result(root, finished.result, CachePolicy::kReplaceOnly);
  return std::move(finished.result);
}

ScanOutcome run_bulk_attrs_selected(std::string_view root, std::uint64_t tree_depth,
                                    const std::vector<std::string>& exclude_paths,
                                    AppHandle app_handle) {
  if (!supports_bulk_attrs(root)) return std::unexpected(std::string(kBulkAttrsUnsupported));
  return scan_with_bulk_attrs(root, tree_depth, exclude_paths, app_handle);
}

}  // namespace tessaly
