#include "jwalk/jwalk_engine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>

#include "base/logging.h"
#include "base/paths.h"
#include "base/worker_pool.h"
#include "cache/scan_cache.h"
#include "jwalk/walker.h"
#include "platform/descriptors.h"
#include "result/aggregator.h"
#include "result/hardlink_set.h"
#include "rules/bundles.h"
#include "rules/exclusions.h"
#include "rules/volume_group.h"

namespace tessaly {
namespace {

// What every filter call of one scan shares.
struct FilterContext {
  FilterContext(const std::vector<std::string>& exclude_paths, const ScanContext& scan_context)
      : exclusions(exclude_paths), scan(scan_context) {}

  const ExclusionList exclusions;
  const ScanContext& scan;
  DeviceRule devices;  // none until the root's device is known
  // Set when every directory below the root is known to be on its device, so
  // that the rule needs no stat of each.
  bool one_device_below = false;
  HardlinkSet hardlinks;
  std::mutex bundle_mutex;
  std::vector<SubtreeTotal> bundle_totals;  // guarded by bundle_mutex
};

std::uint64_t block_bytes(const struct stat& st) {
  return st.st_blocks > 0 ? static_cast<std::uint64_t>(st.st_blocks) * 512 : 0;
}

std::uint64_t allocated_bytes(const struct stat& st, HardlinkSet& hardlinks) {
  return counted_size(hardlinks, static_cast<std::uint64_t>(st.st_nlink),
                      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      block_bytes(st));
}

// Decides, on the worker that listed a directory, which of its children the
// walk keeps, and sizes the kept non-directories.
void filter_children(DirListing& listing, FilterContext& context) {
  const bool root_call = !listing.depth().has_value();
  std::vector<SubtreeTotal> bundles;
  // A file with two or more links is checked against the hard-link set once
  // the next entry's lookup is made, its place in the set fetched meanwhile;
  // in any case before a bundle is sized and when the listing ends.
  ListedEntry* linked = nullptr;
  std::uint64_t linked_nlink = 0;
  std::uint64_t linked_device = 0;
  std::uint64_t linked_inode = 0;
  std::uint64_t linked_bytes = 0;
  const auto settle_linked = [&] {
    if (linked == nullptr) return;
    const HardLink link =
        link_sighting(context.hardlinks, linked_nlink, linked_device, linked_inode, linked_bytes);
    linked->size = link.counted ? link.size : 0;
    listing.note_link(*linked, link);
    linked = nullptr;
  };
  for (ListedEntry& entry : listing.entries()) {
    switch (entry.kind) {
      case EntryKind::kError:
        context.scan.note_problem(listing.child_path(entry), entry.error);
        entry.keep = false;
        break;
      case EntryKind::kSymlink:
        entry.keep = false;
        break;
      case EntryKind::kDirectory: {
        if (context.devices.root_device() != 0 && !context.one_device_below) {
          // A firmlink's own stat already shows the Data volume's device.
          struct stat st {};
          if (listing.stat_child(entry, st, true)) {
            const auto device = static_cast<std::uint64_t>(st.st_dev);
            if (!context.devices.on_root_volume(device) &&
                !context.devices.through_firmlink(device, listing.child_path(entry))) {
              entry.keep = false;
              break;
            }
          }
        }
        const std::string_view name = listing.name(entry);
        // The root is scanned even when it is itself on the exclusion list.
        if (!root_call && context.exclusions.may_end_in(name) &&
            context.exclusions.contains(listing.child_path(entry))) {
          entry.keep = false;
          break;
        }
        if (is_bundle_name(name)) {
          settle_linked();
          std::uint64_t total = 0;
          if (const auto fd = listing.open_child_directory(entry)) {
            const platform::Descriptor open(listing.kernel(), *fd);
            total = total_bundle(listing.kernel(), open.get(), context.hardlinks,
                                 listing.child_path(entry), context.scan);
          } else {
            context.scan.note_problem(listing.child_path(entry), fd.error());
          }
          bundles.push_back(
              SubtreeTotal{listing.path(), std::string(name), total, listing.child_depth()});
          entry.keep = false;
        }
        break;
      }
      case EntryKind::kRegular:
      case EntryKind::kOther: {
        // Filled by the call, read only when it succeeds: not zeroed first.
        struct stat st;
        const auto stated = listing.stat_child(entry, st, false);
        settle_linked();
        if (!stated) {
          entry.size = 0;
          context.scan.note_problem(listing.child_path(entry), stated.error());
        } else if (st.st_nlink >= 2) {
          linked = &entry;
          linked_nlink = static_cast<std::uint64_t>(st.st_nlink);
          linked_device = static_cast<std::uint64_t>(st.st_dev);
          linked_inode = static_cast<std::uint64_t>(st.st_ino);
          linked_bytes = block_bytes(st);
          context.hardlinks.prefetch(linked_device, linked_inode);
        } else {
          entry.size = block_bytes(st);
        }
        break;
      }
    }
  }
  settle_linked();
  if (!bundles.empty()) {
    std::lock_guard lock(context.bundle_mutex);
    for (SubtreeTotal& total : bundles) context.bundle_totals.push_back(std::move(total));
  }
}

}  // namespace

std::uint64_t total_bundle(int bundle_fd, HardlinkSet& hardlinks) {
  return total_bundle(platform::system_kernel(), bundle_fd, hardlinks);
}

std::uint64_t total_bundle(platform::Kernel& kernel, int bundle_fd, HardlinkSet& hardlinks,
                           std::string_view bundle_path, const ScanContext& context) {
  // Joined only for a problem, which is rare.
  const auto inside = [&](std::string_view relative) {
    return relative.empty() ? std::string(bundle_path) : join_path(bundle_path, relative);
  };
  std::uint64_t total = 0;
  // Directories still to read, relative to the bundle ("" is the bundle).
  std::vector<std::string> stack{std::string()};
  while (!stack.empty()) {
    const std::string relative = std::move(stack.back());
    stack.pop_back();
    platform::Descriptor inner;
    if (!relative.empty()) {
      const auto opened = platform::retry_while_out_of_descriptors(
          [&] { return open_directory_at(kernel, bundle_fd, relative, false); });
      if (!opened) {
        context.note_problem(inside(relative), opened.error());
        continue;
      }
      inner = platform::Descriptor(kernel, *opened);
    }
    const int fd = inner.is_open() ? inner.get() : bundle_fd;
    DirectoryReader reader(kernel, fd);
    std::string_view name;
    EntryKind kind;
    int entry_error = 0;
    while (reader.next(name, kind, entry_error)) {
      if (kind == EntryKind::kDirectory) {
        stack.push_back(relative.empty() ? std::string(name) : join_path(relative, name));
      } else if (kind == EntryKind::kRegular) {
        struct stat st {};
        if (const auto stated = platform::retry_interrupted(
                [&] { return kernel.stat_at(fd, name.data(), st, AT_SYMLINK_NOFOLLOW); })) {
          total += allocated_bytes(st, hardlinks);
        } else {
          context.note_problem(inside(relative), name, stated.error());
        }
      } else if (kind == EntryKind::kError) {
        context.note_problem(inside(relative), name, entry_error);
      }
    }
    if (reader.error() != 0) context.note_problem(inside(relative), reader.error());
  }
  return total;
}

std::expected<std::shared_ptr<const ScanResult>, std::string> scan_with_jwalk(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    AppHandle app_handle) {
  return scan_with_jwalk(platform::system_kernel(), root, tree_depth, exclude_paths, app_handle);
}

std::expected<std::shared_ptr<const ScanResult>, std::string> scan_with_jwalk(
    platform::Kernel& kernel, std::string_view root, std::uint64_t tree_depth,
    const std::vector<std::string>& exclude_paths, AppHandle app_handle) {
  // Without the scan entry there is no guard to mark, so whatever escapes
  // (an emitter that throws, say) is this scan's failure alone.
  try {
    return scan_with_jwalk(root, tree_depth, exclude_paths, ScanContext{.app_handle = app_handle},
                           kernel);
  } catch (...) {
    return std::unexpected(failure_text(kWalkThreadPanicked));
  }
}

namespace {

ScanOutcome walk_and_finish(std::string_view root, std::uint64_t tree_depth,
                            const std::vector<std::string>& exclude_paths,
                            const ScanContext& scan_context, platform::Kernel& kernel,
                            WorkerPool& pool) {
  spdlog::logger& log = scanner_logger();

  FilterContext context(exclude_paths, scan_context);
  for (const auto& [device, inode] : scan_context.counted_links) {
    context.hardlinks.insert(device, inode);
  }
  const std::string_view volume_root =
      scan_context.volume_root.empty() ? root : scan_context.volume_root;
  if (struct stat st{}; stat_at(kernel, AT_FDCWD, volume_root, st, true)) {
    VolumeGroup group = find_volume_group(kernel, volume_root);
    context.devices = DeviceRule(static_cast<std::uint64_t>(st.st_dev), group.data_device,
                                 std::move(group.firmlinks));
    const std::string path(root);
    if (path.find('\0') == std::string::npos) {
      context.one_device_below = kernel.volume_facts(path.c_str()).one_device_below;
    }
  }
  ScanAggregator aggregator(root, tree_depth);
  ProgressTicker ticker(aggregator.counters(), scan_context);

  // A job that failed has left part of the tree unread: the scan fails rather
  // than pass a partial result off as complete, with memory running out told
  // apart. Every job of the walk has ended when its failure arrives here.
  try {
    ParallelWalk walk(
        std::string(root), [&context](DirListing& listing) { filter_children(listing, context); },
        kernel, pool, &aggregator.records());
    walk.set_lagging_owner(scan_context.lagging_collector);
    WalkBatch batch;
    while (walk.next(batch)) {
      if (batch.is_error) {
        // A root with no descriptor to be read through is not an empty tree.
        if (batch.at_root && platform::out_of_descriptors(batch.error)) {
          if (ticker.cancel_requested()) return std::unexpected(std::string(kScanCancelled));
          return std::unexpected(platform::describe_io_error(batch.error_path, batch.error));
        }
        if (batch.error != EPERM && batch.error != EACCES && log.should_log(spdlog::level::warn)) {
          log.warn("scan error: {}", platform::describe_io_error(batch.error_path, batch.error));
        }
        scan_context.note_problem(batch.error_path, batch.error);
        continue;
      }
      if (batch.place->depth == 0) continue;  // the root itself
      aggregator.record_listing(*batch.place, *batch.children);
      if (ticker.tick() == TickResult::kCancelled) {
        walk.stop();
        return std::unexpected(std::string(kScanCancelled));
      }
    }
  } catch (const std::bad_alloc& e) {
    return std::unexpected(std::string(e.what()));
  } catch (const std::exception&) {
    return std::unexpected(std::string(kWalkThreadPanicked));
  }

  if (log.should_log(spdlog::level::info)) {
    log.info("[walk:jwalk] walk finished at {} ms", ticker.elapsed_ms());
  }
  if (ticker.cancel_requested()) return std::unexpected(std::string(kScanCancelled));
  {
    std::lock_guard lock(context.bundle_mutex);
    for (const SubtreeTotal& total : context.bundle_totals) aggregator.record_subtree_total(total);
  }
  ticker.emit_final();
  FinishedScan finished = aggregator.finish(*scan_context.clock);
  if (log.should_log(spdlog::level::info)) {
    log.info("[post-walk] compute_dir_sizes: {} ms ({} dirs), children_map entries: {}",
             finished.result->compute_dir_sizes_ms, finished.dir_sizes_count,
             finished.child_entry_count);
  }
  if (scan_context.store_in_cache) store_scan_result(root, finished.result);
  return std::move(finished.result);
}

}  // namespace

std::expected<std::shared_ptr<const ScanResult>, std::string> scan_with_jwalk(
    std::string_view root, std::uint64_t tree_depth, const std::vector<std::string>& exclude_paths,
    const ScanContext& context, platform::Kernel& kernel) {
  // Everything the walk started has ended and been released by the time
  // walk_and_finish returns or throws.
  return run_on_worker_pool<std::expected<std::shared_ptr<const ScanResult>, std::string>>(
      [&](WorkerPool& pool) {
        return walk_and_finish(root, tree_depth, exclude_paths, context, kernel, pool);
      });
}

}  // namespace tessaly
