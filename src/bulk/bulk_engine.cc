#include "bulk/bulk_engine.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "base/channel.h"
#include "base/clock.h"
#include "base/logging.h"
#include "base/paths.h"
#include "base/recycler.h"
#include "base/worker_pool.h"
#include "bulk/bulk_reader.h"
#include "bulk/bulk_source.h"
#include "cache/scan_cache.h"
#include "platform/descriptors.h"
#include "result/aggregator.h"
#include "result/hardlink_set.h"
#include "result/walk_listing.h"
#include "rules/bundles.h"
#include "rules/exclusions.h"
#include "rules/volume_group.h"

namespace tessaly {
namespace {

constexpr std::string_view kSystemVolumes = "/System/Volumes";
constexpr std::string_view kVolumes = "/Volumes";
constexpr std::string_view kSystemVolumesPrefix = "/System/Volumes/";

// Directory descriptors a walk keeps open for subdirectories at most.
constexpr std::int64_t kMaxKeptDescriptors = 1024;

// A worker keeps its listings between directories so that reading one costs
// no allocation per entry; one far larger than usual is given back after use.
constexpr std::size_t kKeptListingEntries = 1 << 16;

// Entries between a linked file's prefetch in the hard-link set and its check.
constexpr std::size_t kLinkLookahead = 4;

// A message travels boxed: the channel's buffers, swapped whole with the
// collector and keeping their room from one batch to the next, then hold a
// pointer per message rather than the message itself.
using MessageBox = std::unique_ptr<ListingMessage>;

// State of one scan shared by the walk thread and every directory job. Read
// only during the walk, except for the hard-link set (concurrent by itself)
// and the sender (safe to use from many threads; released by the walk thread
// after the last job has ended).
struct BulkWalk {
  BulkWalk(platform::Kernel& kernel, const std::vector<std::string>& exclude_paths,
           Sender<MessageBox> queue_sender, RecordBlocks& record_blocks,
           const ScanContext& scan_context)
      : os(kernel),
        exclusions(exclude_paths),
        sender(std::move(queue_sender)),
        records(record_blocks),
        context(scan_context) {}

  platform::Kernel& os;
  const ExclusionList exclusions;
  HardlinkSet hardlinks;
  DeviceRule devices;  // none until the root's device is known
  // The root's device when no volume is mounted anywhere below it, so that
  // subdirectories need no lookups of their own (see read_bulk_batch).
  std::optional<std::uint32_t> one_device;
  Sender<MessageBox> sender;
  // Where the listings write their records: the collector's result keeps them.
  RecordBlocks& records;
  // Messages the collector is done with, for the jobs to fill again.
  Recycler<MessageBox> spent{kRecycledListings};
  WalkDirNumbers numbers;
  JobScope* scope = nullptr;
  // Directory descriptors kept open for subdirectories to be opened relative
  // to them; none once the process ran short.
  platform::KeptDirectories kept;
  // errno of a root that could not be opened for want of descriptors, else 0.
  std::atomic<int> root_out_of_descriptors{0};
  // Cancellation and the problems of unreadable parts.
  const ScanContext& context;
};

using SharedDirectory = std::shared_ptr<const platform::Descriptor>;

// The space used on the volume mounted at `path`, the call repeated when a
// signal interrupts it: an interrupted query would drop the volume.
std::expected<std::int64_t, int> volume_space_used(platform::Kernel& os, const char* path) {
  return platform::retry_interrupted([&] { return os.volume_space_used(path); });
}

std::uint64_t positive_size(std::int64_t bytes) {
  return bytes > 0 ? static_cast<std::uint64_t>(bytes) : 0;
}

// read_dir_bulk_into, waiting while the process is out of descriptors: a
// directory must not go missing because other threads hold descriptors for a
// moment. A waiting job holds no descriptor of its own, and the walk keeps no
// more once the process ran short, so waiting cannot deadlock it. A
// cancellation ends the wait. `dir` was listed as a directory, so a symbolic
// link found in its place is not followed.
// A directory that cannot be read, or is read only in part, is noted as a
// problem.
bool read_listing(BulkWalk& walk, const std::string& dir, BulkListing& listing) {
  int late_error = 0;
  const auto read = platform::retry_while_out_of_descriptors(
      [&] { return read_dir_bulk_into(walk.os, dir, listing, false, &late_error); },
      platform::kDescriptorPatience, [&walk] { return !walk.context.cancel_requested(); });
  if (!read) {
    walk.context.note_problem(dir, read.error());
    return false;
  }
  if (late_error != 0) walk.context.note_problem(dir, late_error);
  return true;
}

// Opens the directory `dir` of a job: relative to its parent's descriptor
// when the job has one, and by path when it has none or the process is short
// of descriptors; waits as read_listing does while the process is out of
// descriptors, after letting go of the parent's (this job may hold its last
// reference) and keeping no more. The parent is released in every case. Any
// directory but the root was listed as one, so a symbolic link that replaced
// it since is refused, never followed.
std::expected<int, int> open_job_directory(BulkWalk& walk, const std::string& dir, bool is_root,
                                           SharedDirectory parent, std::size_t name_size) {
  if (parent) {
    const auto fd = open_bulk_directory_at(walk.os, parent->get(),
                                           std::string_view(dir).substr(dir.size() - name_size));
    parent.reset();
    if (fd) return fd;
    // Short of descriptors, the walk keeps no more; a kernel that cannot
    // open relative to a directory never will. Either way the path serves.
    if (!platform::out_of_descriptors(fd.error()) && fd.error() != ENOSYS) return fd;
    walk.kept.stop_keeping();
  }
  return platform::retry_while_out_of_descriptors(
      [&] {
        return is_root ? open_bulk_directory(walk.os, dir) : open_bulk_subdirectory(walk.os, dir);
      },
      platform::kDescriptorPatience,
      [&walk] {
        if (walk.context.cancel_requested()) return false;
        walk.kept.stop_keeping();
        return true;
      });
}

// Hands the descriptor of a directory just read on to its subdirectories'
// jobs when it has any and the walk may keep one more; closes it otherwise.
// Either way the job itself holds no descriptor while it sizes bundles or
// waits to send, so jobs waiting for descriptors cannot block each other.
SharedDirectory keep_for_subdirectories(BulkWalk& walk, platform::Descriptor& fd,
                                        const BulkListing& listing) {
  bool has_subdirectory = false;
  for (std::size_t i = 0; i < listing.size() && !has_subdirectory; ++i) {
    const BulkFields& f = listing[i].fields;
    has_subdirectory = f.error == 0 && f.obj_type == obj_type_directory;
  }
  SharedDirectory kept = has_subdirectory ? walk.kept.keep(fd) : nullptr;
  fd.reset();
  return kept;
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
    if (walk.context.cancel_requested()) break;
    if (!read_listing(walk, dir, listing)) continue;
    for (std::size_t i = 0; i < listing.size(); ++i) {
      const BulkListing::Item item = listing[i];
      const BulkFields& f = item.fields;
      if (f.error != 0) {
        walk.context.note_problem(dir, item.name, static_cast<int>(f.error));
        continue;
      }
      if (f.obj_type == obj_type_regular) {
        total += counted_size(walk.hardlinks, f.link_count, f.dev_id, f.file_id,
                              positive_size(f.alloc_size));
      } else if (f.obj_type == obj_type_directory) {
        pending.push_back(join_path(dir, item.name));
      }
    }
  }
  listing.trim(kKeptListingEntries);
  return total;
}

// Where a subdirectory is reached from: the open directory holding it (none
// for the root, or when the walk keeps no descriptor), the size of its name
// at the end of its path, and its device as that directory's listing gave it.
struct DirOrigin {
  SharedDirectory parent;
  std::size_t name_size = 0;
  std::optional<std::uint32_t> device;
};

void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth, WalkDirId id,
                 DirOrigin origin);

void spawn_dir(BulkWalk& walk, std::string dir, std::uint64_t depth, WalkDirId id,
               DirOrigin origin = {}) {
  walk.scope->spawn([&walk, dir = std::move(dir), depth, id, origin = std::move(origin)]() mutable {
    process_dir(walk, std::move(dir), depth, id, std::move(origin));
  });
}

// One directory's listing on its way to the collector, sent in parts of at
// most kMaxListingEntries. The subdirectories of a part are walked only
// once the part is sent, so the collector has placed them by then.
class ListingOut {
 public:
  // `directory`, when not null, is the open directory the subdirectories
  // are opened relative to.
  ListingOut(BulkWalk& walk, const std::string& dir, WalkDirId id, std::uint64_t child_depth,
             SharedDirectory directory, std::size_t entries)
      : walk_(walk),
        dir_(dir),
        id_(id),
        child_depth_(child_depth),
        directory_(std::move(directory)) {
    message_ = new_message();
    message_->children.reserve(std::min(entries, kMaxListingEntries));
  }

  void add_file(std::string_view name, std::uint64_t size) {
    large_ = large_ || size >= kLargeFileThreshold;
    message_->children.add_file(name, size);
    if (message_->children.size() == kMaxListingEntries) flush();
  }
  // A file with two or more links, and which of its sightings this is.
  void add_linked_file(std::string_view name, const HardLink& link) {
    large_ = large_ || (link.counted && link.size >= kLargeFileThreshold);
    message_->children.add_linked_file(name, link);
    if (message_->children.size() == kMaxListingEntries) flush();
  }
  // A directory to walk, `child` being its path and `device` its device.
  void add_directory(std::string_view name, std::string child, std::uint32_t device) {
    message_->children.add_directory(name);
    pending_.push_back(Pending{std::move(child), name.size(), device});
    if (message_->children.size() == kMaxListingEntries) flush();
  }
  // An item standing as one: sent at once, ahead of the listing.
  void send_total(std::string_view name, std::uint64_t size) {
    MessageBox total = new_message();
    total->place = place(0, size >= kLargeFileThreshold);
    total->children.add_file(name, size);
    walk_.sender.send(std::move(total));
  }

  // Sends what is gathered, then walks its subdirectories. `last`: nothing
  // more will be added, so no empty listing is taken to follow it (one taken
  // and dropped unused would cost the recycler's lock and a free per
  // directory).
  void flush(bool last = false) {
    if (!message_->children.empty()) {
      const WalkDirId first = pending_.empty() ? 0 : walk_.numbers.take(pending_.size());
      MessageBox message = std::move(message_);
      message->place = place(first, large_);
      if (!last) message_ = new_message();
      large_ = false;
      walk_.sender.send(std::move(message));
      for (std::size_t i = 0; i < pending_.size(); ++i) {
        spawn_dir(walk_, std::move(pending_[i].path), child_depth_, first + i,
                  DirOrigin{directory_, pending_[i].name_size, pending_[i].device});
      }
    }
    pending_.clear();
  }

 private:
  // A message with an empty listing: a spent one handed back by the collector
  // when there is one.
  MessageBox new_message() {
    MessageBox message;
    if (auto spent = walk_.spent.take()) {
      message = std::move(*spent);
    } else {
      message = std::make_unique<ListingMessage>();
    }
    message->children.start(walk_.records, child_depth_);
    return message;
  }
  ListingPlace place(WalkDirId first_child, bool with_path) const {
    return ListingPlace{id_, first_child, child_depth_, with_path ? dir_ : std::string()};
  }
  BulkWalk& walk_;
  const std::string& dir_;
  const WalkDirId id_;
  const std::uint64_t child_depth_;
  const SharedDirectory directory_;
  MessageBox message_;
  bool large_ = false;
  struct Pending {
    std::string path;
    std::size_t name_size;
    std::uint32_t device;
  };
  // The worker's own, kept between directories so that gathering them costs
  // no allocation; a job never runs inside another on the same thread.
  static std::vector<Pending>& thread_pending() {
    thread_local std::vector<Pending> pending;
    pending.clear();
    return pending;
  }
  std::vector<Pending>& pending_ = thread_pending();
};

// Reads one directory, sizes its files, sends its listing and then spawns a
// job for each subdirectory it keeps. A directory that cannot be read
// contributes nothing.
void process_dir(BulkWalk& walk, std::string dir, std::uint64_t depth, WalkDirId id,
                 DirOrigin origin) {
  if (walk.context.cancel_requested()) return;
  // Listing must not download a dataless folder; a thread whose policy cannot
  // be set still lists, as it always did.
  (void)walk.os.leave_dataless_files();
  const auto fd =
      open_job_directory(walk, dir, depth == 0, std::move(origin.parent), origin.name_size);
  if (!fd) {
    if (depth == 0 && platform::out_of_descriptors(fd.error())) {
      walk.root_out_of_descriptors.store(fd.error(), std::memory_order_relaxed);
    } else {
      walk.context.note_problem(dir, fd.error());
    }
    return;
  }
  platform::Descriptor open(walk.os, *fd);
  BulkListing& listing = thread_listing();
  int late_error = 0;
  if (const auto read = read_open_dir_bulk_into(walk.os, open.get(), listing, dir, &late_error,
                                                origin.device, walk.scope, walk.one_device);
      !read) {
    walk.context.note_problem(dir, read.error());
    return;
  }
  if (late_error != 0) walk.context.note_problem(dir, late_error);
  const SharedDirectory directory = keep_for_subdirectories(walk, open, listing);

  const std::uint64_t child_depth = depth + 1;
  const bool stat_children = paths_equal(dir, kSystemVolumes) || paths_equal(dir, kVolumes);
  ListingOut out(walk, dir, id, child_depth, directory, listing.size());
  // The hard-link set's place for a linked file a few entries on is fetched
  // ahead, so that its check does not wait for memory.
  const auto prefetch_link = [&](std::size_t at) {
    if (at >= listing.size()) return;
    const BulkFields& ahead = listing[at].fields;
    if (ahead.error == 0 && ahead.obj_type == obj_type_regular && ahead.link_count >= 2)
      walk.hardlinks.prefetch(ahead.dev_id, ahead.file_id);
  };
  for (std::size_t i = 0; i < kLinkLookahead; ++i) prefetch_link(i);
  for (std::size_t i = 0; i < listing.size(); ++i) {
    prefetch_link(i + kLinkLookahead);
    const BulkListing::Item item = listing[i];
    const BulkFields& f = item.fields;
    if (f.error != 0) {
      walk.context.note_problem(dir, item.name, static_cast<int>(f.error));
      continue;
    }

    if (f.obj_type == obj_type_regular) {
      const std::uint64_t bytes = positive_size(f.alloc_size);
      if (f.link_count >= 2) {
        out.add_linked_file(
            item.name, link_sighting(walk.hardlinks, f.link_count, f.dev_id, f.file_id, bytes));
      } else {
        out.add_file(item.name, bytes);
      }
      continue;
    }
    if (f.obj_type != obj_type_directory) continue;  // links are never followed; others not counted

    std::string child = join_path(dir, item.name);
    std::uint64_t device = f.dev_id;
    if (stat_children || (f.mount_status & dir_mntstatus_mntpoint) != 0) {
      // A mount point is listed with the device of the directory it covers;
      // those here may be too, whatever their mount status says.
      if (const auto stat_device = bulk_device_of(walk.os, child.c_str())) device = *stat_device;
    }
    // Below a firmlink the records carry the Data volume's device (the
    // firmlink's own record, in its parent's listing, the System volume's).
    if (!walk.devices.on_root_volume(device) && !walk.devices.through_firmlink(device, child)) {
      if (path_starts_with(child, kSystemVolumesPrefix) && !walk.exclusions.contains(child)) {
        const auto used = volume_space_used(walk.os, child.c_str());
        if (used && *used >= 1) out.send_total(item.name, static_cast<std::uint64_t>(*used));
      }
      continue;
    }
    if (walk.exclusions.contains(child)) continue;
    if (is_bundle_name(item.name)) {
      out.send_total(item.name, bundle_total(walk, std::move(child)));
      continue;
    }
    // Listed when within the tree depth, counted at any depth (the collector
    // decides); walked in every case, once its part of the listing is sent.
    out.add_directory(item.name, std::move(child), static_cast<std::uint32_t>(device));
  }
  out.flush(true);
  listing.trim(kKeptListingEntries);
}

// How the walk thread ended.
enum class WalkEnd { kClean, kOutOfMemory, kFailed };

// The walk thread's body: holds the job scope on the process-wide pool until
// every directory job has ended, then releases its sender, which ends the
// queue. Says whether a job failed, and whether for want of memory.
WalkEnd run_walk(BulkWalk& walk, WorkerPool& pool, std::string root) {
  WalkEnd end = WalkEnd::kClean;
  try {
    JobScope scope(pool);
    walk.scope = &scope;
    walk.kept.set_budget(platform::descriptor_budget(pool.thread_count(), kMaxKeptDescriptors));
    spawn_dir(walk, std::move(root), 0, kWalkRoot);
    scope.wait();
  } catch (const std::bad_alloc&) {
    end = WalkEnd::kOutOfMemory;
  } catch (...) {
    end = WalkEnd::kFailed;
  }
  walk.sender.reset();
  return end;
}

// Joins the walk thread on every way out of the collector, releasing the
// receiving end first so that no job stays blocked on a full queue. A thread
// the system refuses throws std::system_error, one memory runs out for
// std::bad_alloc; either way nothing was started.
class WalkThread {
 public:
  WalkThread(BulkWalk& walk, WorkerPool& pool, std::string root, Receiver<MessageBox>& receiver)
      : receiver_(receiver), thread_([this, &walk, &pool, root = std::move(root)]() mutable {
          end_ = run_walk(walk, pool, std::move(root));
        }) {}
  ~WalkThread() {
    if (thread_.joinable()) {
      receiver_.reset();
      thread_.join();
    }
  }
  WalkThread(const WalkThread&) = delete;
  WalkThread& operator=(const WalkThread&) = delete;

  // Waits for the walk to end.
  WalkEnd join() {
    thread_.join();
    return end_;
  }

 private:
  Receiver<MessageBox>& receiver_;
  WalkEnd end_ = WalkEnd::kFailed;  // written by the walk thread, read after join
  std::thread thread_;              // last: started once everything it uses exists
};

}  // namespace

ScanOutcome scan_with_bulk_attrs(std::string_view root, std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 AppHandle app_handle) {
  return scan_with_bulk_attrs(platform::system_kernel(), root, tree_depth, exclude_paths,
                              app_handle);
}

ScanOutcome scan_with_bulk_attrs(platform::Kernel& os, std::string_view root,
                                 std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 AppHandle app_handle) {
  // Without the scan entry there is no guard to mark, so whatever escapes
  // (an emitter that throws, say) is this scan's failure alone.
  try {
    return scan_with_bulk_attrs(os, root, tree_depth, exclude_paths,
                                ScanContext{.app_handle = app_handle});
  } catch (...) {
    return std::unexpected(failure_text(kWalkThreadPanicked));
  }
}

namespace {

ScanOutcome walk_and_collect(platform::Kernel& os, WorkerPool& pool, std::string_view root,
                             std::uint64_t tree_depth,
                             const std::vector<std::string>& exclude_paths,
                             const ScanContext& context) {
  ScanAggregator aggregator(root, tree_depth);
  auto [sender, receiver] = make_bounded_channel<MessageBox>(kWalkQueueCapacity);
  BulkWalk walk(os, exclude_paths, std::move(sender), aggregator.records(), context);
  for (const auto& [device, inode] : context.counted_links) {
    walk.hardlinks.insert(device, inode);
  }
  const std::string root_path(root);
  const std::string volume_root(context.volume_root.empty() ? root : context.volume_root);
  if (volume_root.find('\0') == std::string::npos) {
    if (const auto device = bulk_device_of(os, volume_root.c_str())) {
      VolumeGroup group = find_volume_group(os, volume_root);
      const std::uint64_t data_device =
          group.data_device != 0 ? bulk_device_id(static_cast<dev_t>(group.data_device)) : 0;
      walk.devices = DeviceRule(*device, data_device, std::move(group.firmlinks));
    }
  }
  if (root_path.find('\0') == std::string::npos &&
      os.volume_facts(root_path.c_str()).one_device_below) {
    if (const auto device = bulk_device_of(os, root_path.c_str()))
      walk.one_device = static_cast<std::uint32_t>(*device);
  }

  std::optional<WalkThread> walk_thread;
  try {
    walk_thread.emplace(walk, pool, root_path, receiver);
  } catch (const std::system_error& e) {
    return std::unexpected(spawn_failure_message(e));
  }
  ProgressTicker ticker(aggregator.counters(), context);

  bool cancelled = false;
  // Everything buffered is taken at once: one lock and, while the workers
  // keep ahead, a wake-up per few hundred listings rather than per listing.
  std::vector<MessageBox> taken;
  while (!cancelled) {
    // Under the lagging test hook, taken only when the channel is full.
    if (context.lagging_collector) {
      while (!receiver.wait_full(kBulkCollectorWait) && !cancelled) {
        cancelled = ticker.tick_now() == TickResult::kCancelled;
      }
      if (cancelled) break;
    }
    taken.clear();
    if (const auto received = receiver.recv_all_timeout(taken, kBulkCollectorWait); !received) {
      if (received.error() == RecvError::kDisconnected) break;
      cancelled = ticker.tick_now() == TickResult::kCancelled;
      continue;
    }
    for (const MessageBox& message : taken) {
      aggregator.record_listing(message->place, message->children);
      cancelled = ticker.tick() == TickResult::kCancelled;
      if (cancelled) break;
    }
    walk.spent.give_back(taken, [](MessageBox& message) { ready_for_reuse(message->children); });
  }
  if (cancelled) {
    receiver.reset();
    walk_thread->join();
    return std::unexpected(std::string(kScanCancelled));
  }

  switch (walk_thread->join()) {
    case WalkEnd::kClean:
      break;
    case WalkEnd::kOutOfMemory:
      return std::unexpected(std::string(std::bad_alloc().what()));
    case WalkEnd::kFailed:
      return std::unexpected(std::string(kWalkThreadPanicked));
  }
  macos_walker_logger().info("[walk:bulk] walk finished at {} ms", ticker.elapsed_ms());
  if (ticker.cancel_requested()) return std::unexpected(std::string(kScanCancelled));
  // A root with no descriptor to be read through is not an empty tree.
  if (const int error = walk.root_out_of_descriptors.load(std::memory_order_relaxed)) {
    return std::unexpected(platform::describe_io_error(root, error));
  }
  ticker.emit_final();

  const Clock& clock = *context.clock;
  const Instant finish_start = clock.now();
  FinishedScan finished = aggregator.finish(clock);
  macos_walker_logger().info(
      "[post-walk:bulk] compute_dir_sizes: {} ms ({} dirs), children_map entries: {}",
      whole_millis_between(finish_start, clock.now()), finished.dir_sizes_count,
      finished.child_entry_count);
  if (context.store_in_cache) store_scan_result(root, finished.result);
  return std::move(finished.result);
}

}  // namespace

ScanOutcome scan_with_bulk_attrs(platform::Kernel& os, std::string_view root,
                                 std::uint64_t tree_depth,
                                 const std::vector<std::string>& exclude_paths,
                                 const ScanContext& context) {
  // The walk thread has been joined and every job has ended by the time
  // walk_and_collect returns or throws.
  return run_on_worker_pool<ScanOutcome>([&](WorkerPool& pool) {
    return walk_and_collect(os, pool, root, tree_depth, exclude_paths, context);
  });
}

ScanOutcome run_bulk_attrs_selected(std::string_view root, std::uint64_t tree_depth,
                                    const std::vector<std::string>& exclude_paths,
                                    const ScanContext& context) {
  if (!supports_bulk_attrs(platform::system_kernel(), root)) {
    return std::unexpected(std::string(kBulkAttrsUnsupported));
  }
  return scan_with_bulk_attrs(platform::system_kernel(), root, tree_depth, exclude_paths, context);
}

}  // namespace tessaly
