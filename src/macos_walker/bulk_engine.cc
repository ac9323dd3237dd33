#include "macos_walker/bulk_engine.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "cache/scan_cache.h"
#include "macos_walker/bulk_reader.h"
#include "macos_walker/channel.h"
#include "scanner/clock.h"
#include "scanner/hardlink_set.h"
#include "scanner/logging.h"
#include "scanner/paths.h"
#include "scanner/worker_pool.h"

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
           std::uint64_t depth_limit, Sender<WalkMessage> queue_sender)
      : os(platform),
        exclusions(exclude_paths),
        tree_depth(depth_limit),
        sender(std::move(queue_sender)) {}

  platform::Platform& os;
  const ExclusionList exclusions;
  HardlinkSet hardlinks;
  std::uint64_t root_device = 0;  // 0 switches the device rule off
  const std::uint64_t tree_depth;
  Sender<WalkMessage> sender;
  JobScope* scope = nullptr;
};

std::uint64_t positive_size(std::int64_t bytes) {
  return bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
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
    if (!read_dir_bulk_into(walk.os, dir, listing)) continue;
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

void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth);

void spawn_dir(BulkWalk& walk, std::string dir, std::uint64_t depth) {
  walk.scope->spawn(
      [&walk, dir = std::move(dir), depth]() mutable { process_dir(walk, std::move(dir), depth); });
}

// Reads one directory, sizes its files, spawns a job for each subdirectory it
// keeps and sends its listing. A directory that cannot be read contributes
// nothing.
void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth) {
  if (scan_cancel_requested()) return;
  BulkListing& listing = thread_listing();
  if (!read_dir_bulk_into(walk.os, dir, listing)) return;

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
      if (const auto stat_device = walk.os.device_of(child.c_str())) device = *stat_device;
    }
    if (walk.root_device != 0 && device != walk.root_device) {
      if (path_starts_with(child, kSystemVolumesPrefix) && !walk.exclusions.contains(child)) {
        const auto used = walk.os.volume_space_used(child.c_str());
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
    spawn_dir(walk, std::move(child), child_depth);
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
  BulkWalk walk(os, exclude_paths, tree_depth, std::move(sender));
  const std::string root_path(root);
  if (root_path.find('\0') == std::string::npos) {
    if (const auto device = os.device_of(root_path.c_str())) walk.root_device = *device;
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
                                    const std::vector<std::string>& exclude_paths) {
  if (!supports_bulk_attrs(root)) return std::unexpected(std::string(kBulkAttrsUnsupported));
  return scan_with_bulk_attrs(root, tree_depth, exclude_paths, nullptr);
}

}  // namespace tessaly
