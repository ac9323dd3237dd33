// A parallel recursive directory walker on the process-wide worker pool.
//
// The walk goes to the bottom of the tree, includes hidden entries, never
// follows a symbolic link below the root, and keeps each directory's entries
// in the order its listing returns them. Every listed directory's children
// pass through a filter callback on the worker that listed the directory (a
// large directory's shares also on other free workers); the filter sizes them
// and may remove them (a removed directory is not entered).
// The kept entries reach the walk's owner as one numbered listing per
// directory (in parts of at most kMaxListingEntries), on the owner's thread,
// each directory's listing after the listing that holds the directory itself,
// over a hand-off bounded to kWalkQueueCapacity listings.
//
// Directories are opened relative to their parent's open descriptor where
// one is at hand, and by path otherwise (in pieces shorter than PATH_MAX when
// the path is longer), so path length never matters. The number of
// descriptors the walk keeps open is bounded by a budget taken from the
// process's descriptor limit; a directory whose opening runs into that limit
// waits for descriptors to come free instead of being lost.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/channel.h"
#include "base/recycler.h"
#include "base/worker_pool.h"
#include "platform/descriptors.h"
#include "platform/kernel.h"
#include "result/walk_listing.h"

namespace tessaly {

enum class EntryKind : std::uint8_t {
  kDirectory,
  kSymlink,
  kRegular,
  kOther,  // FIFO, socket, device node, anything else
  kError,  // the entry could not be read; `error` says why
};

// The kind of a file mode.
EntryKind kind_of_mode(mode_t mode);

// ---------------------------------------------------------------------------
// Low-level helpers, usable on their own.

// Reads the entries of an open directory, "." and ".." left out, in listing
// order, through getdents64 on Linux and readdir elsewhere, repeating calls a
// signal interrupted. The descriptor stays owned by the caller and must
// outlive the reader; so must `kernel`. The listing buffer is part of the reader.
class DirectoryReader {
 public:
  explicit DirectoryReader(int dir_fd) : DirectoryReader(platform::system_kernel(), dir_fd) {}
  DirectoryReader(platform::Kernel& kernel, int dir_fd);
  ~DirectoryReader();
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;

  // The next entry's name and kind; false at the end or on an error (see
  // error()). The name is followed by a NUL byte in memory. A listing that does not tell an entry's
  // kind is completed with fstatat on the directory (links not followed); when that fails the kind
  // is kError and `entry_error` holds the errno, else 0.
  bool next(std::string_view& name, EntryKind& kind, int& entry_error);

  // errno of the failure that ended the listing, 0 when it ran to the end.
  int error() const { return error_; }

 private:
  platform::Kernel* kernel_;
  int fd_;
  int error_ = 0;
#if defined(__linux__)
  std::size_t position_ = 0;
  std::size_t filled_ = 0;
  bool exhausted_ = false;
  alignas(8) std::array<char, 32 * 1024> buffer_;
#else
  void* dir_ = nullptr;  // DIR* over a duplicate of the descriptor
#endif
};

// Opens the directory at `path`, relative to `base_fd` (AT_FDCWD for the
// working directory) when the path is relative, in pieces shorter than
// PATH_MAX when it is longer. The last component is not followed when it is a
// symbolic link unless `follow_last` is set. Retries on EINTR. Returns the
// descriptor, or errno (EINVAL for a path holding a NUL byte, which names no
// file).
std::expected<int, int> open_directory_at(platform::Kernel& kernel, int base_fd,
                                          std::string_view path, bool follow_last);
inline std::expected<int, int> open_directory_at(int base_fd, std::string_view path,
                                                 bool follow_last) {
  return open_directory_at(platform::system_kernel(), base_fd, path, follow_last);
}

// stat (follow_links) or lstat of `path`, relative to `base_fd`, for paths of
// any length. Retries on EINTR. Fails with errno (EINVAL for a path holding a
// NUL byte).
std::expected<void, int> stat_at(platform::Kernel& kernel, int base_fd, std::string_view path,
                                 struct stat& result, bool follow_links);
inline std::expected<void, int> stat_at(int base_fd, std::string_view path, struct stat& result,
                                        bool follow_links) {
  return stat_at(platform::system_kernel(), base_fd, path, result, follow_links);
}

// Splits a root path into the path of its parent and its own last component:
// "/a/b/" gives "/a" and "b", "/a" gives "/" and "a", "a" gives "" and "a",
// "/" gives "" and "/".
std::pair<std::string, std::string> split_root(std::string_view root);

// ---------------------------------------------------------------------------
// The walk.

// One child in a directory's listing, as the filter sees it.
struct ListedEntry {
  std::uint32_t name_offset = 0;
  std::uint32_t name_size = 0;
  EntryKind kind = EntryKind::kOther;
  bool keep = true;
  int error = 0;           // errno, for kError
  std::uint64_t size = 0;  // written by the filter; 0 when made
  // For a file with two or more links, the index of its identity among the
  // listing's links (DirListing::note_link); kNoLink otherwise.
  std::uint32_t link = kNoLink;
  static constexpr std::uint32_t kNoLink = 0xffff'ffffU;
};

// The listing of one directory during the filter call: all its entries, or,
// for a large directory, one consecutive share of them (the shares of one
// directory may be filtered at once on different workers).
class DirListing {
 public:
  // Depth of the listed directory; none for the call that passes the root
  // itself, as a one-element list, before the walk.
  std::optional<std::uint64_t> depth() const { return depth_; }
  // Depth of the children: depth() + 1, or 1 for the root's call.
  std::uint64_t child_depth() const { return depth_ ? *depth_ + 1 : 1; }
  // Path of the listed directory; for the root's call, the root's parent.
  const std::string& path() const { return *path_; }

  std::span<ListedEntry> entries() { return entries_; }
  // The child's name; followed by a NUL byte in memory.
  std::string_view name(const ListedEntry& entry) const {
    return std::string_view(names_).substr(entry.name_offset, entry.name_size);
  }

  // The calls the walk makes, for a filter that reads below a child.
  platform::Kernel& kernel() const { return *kernel_; }

  // stat (follow_links) or lstat of a child, relative to the listed
  // directory's descriptor, repeated while a signal interrupts it. Fails
  // with errno.
  std::expected<void, int> stat_child(const ListedEntry& entry, struct stat& result,
                                      bool follow_links) const;
  // Opens a child directory without following a link (the root itself is
  // followed), waiting a while for a descriptor when none is free. Returns the
  // descriptor, or errno.
  std::expected<int, int> open_child_directory(const ListedEntry& entry) const;
  // The child's path: path() joined with its name (for the root's call, the
  // root as given).
  std::string child_path(const ListedEntry& entry) const;
  // Notes that `entry`, a kept file, has two or more links: the walk hands
  // `link` over beside the listing.
  void note_link(ListedEntry& entry, const HardLink& link) {
    entry.link = static_cast<std::uint32_t>(links_.size());
    links_.push_back(link);
  }

 private:
  friend class ParallelWalk;
  DirListing(platform::Kernel& kernel, std::optional<std::uint64_t> depth, const std::string& path,
             int dir_fd, const std::string* root, const std::string& names,
             std::span<ListedEntry> entries, std::vector<HardLink>& links)
      : kernel_(&kernel),
        depth_(depth),
        path_(&path),
        dir_fd_(dir_fd),
        root_(root),
        names_(names),
        entries_(entries),
        links_(links) {}

  platform::Kernel* kernel_;
  std::optional<std::uint64_t> depth_;
  const std::string* path_;
  int dir_fd_;
  const std::string* root_;  // set for the root's call only
  const std::string& names_;
  std::span<ListedEntry> entries_;
  std::vector<HardLink>& links_;
};

// Called once per listed directory on the worker that listed it, and once
// for the root before the walk; a directory of more than kShareEntries
// entries is passed in shares of that many, to as many workers as are free,
// so the callback must take calls from several threads at once. Sets `keep`
// to false to remove a child, and writes the size of the children it keeps.
using ChildFilter = std::function<void(DirListing&)>;

// What the walk hands to its owner: the kept children of one directory, or
// the error of a directory that could not be opened or listed completely.
// The first listing holds the root itself alone, at depth 0, numbered
// kWalkRoot as place->first_child when it is a directory.
struct WalkBatch {
  bool is_error = false;
  // Listing fields: where the children go (no path but for a large file),
  // and the children, directories numbered in order from first_child.
  const ListingPlace* place = nullptr;
  const ChildListing* children = nullptr;
  // Error fields.
  int error = 0;  // errno
  std::string_view error_path;
  // The error is the root directory's own: it could not be opened.
  bool at_root = false;
};

// Entries of a large directory that one worker filters (and so sizes) while
// others take the rest: a directory of more is shared out among the workers
// rather than leave all but one idle while it is sized.
inline constexpr std::size_t kShareEntries = 1024;

class ParallelWalk {
 public:
  // Starts walking `root` on `pool`. A root that is a symbolic link is
  // followed (the walk's only one). The owner waits for the pool's workers
  // without running their jobs, so it must not be one of them.
  ParallelWalk(std::string root, ChildFilter filter, WorkerPool& pool = worker_pool())
      : ParallelWalk(std::move(root), std::move(filter), platform::system_kernel(), pool) {}
  // The same walk, with every kernel call made through `kernel`, which must
  // outlive the walk.
  ParallelWalk(std::string root, ChildFilter filter, platform::Kernel& kernel,
               WorkerPool& pool = worker_pool())
      : ParallelWalk(std::move(root), std::move(filter), kernel, pool, nullptr) {}
  // The same walk, its listings' records written to `records` (which must
  // outlive the walk) rather than to blocks the walk keeps itself.
  ParallelWalk(std::string root, ChildFilter filter, platform::Kernel& kernel, WorkerPool& pool,
               RecordBlocks* records);
  // Abandons the walk if it is still running and waits for its jobs.
  ~ParallelWalk();
  ParallelWalk(const ParallelWalk&) = delete;
  ParallelWalk& operator=(const ParallelWalk&) = delete;

  // The next batch; false once the walk has handed over everything. The
  // batch's views stay valid until the next call. An exception that escaped a
  // job (the filter's, for instance) is rethrown here once every job has
  // ended. Directories are listed only as far ahead of the owner as the
  // bound of kWalkQueueCapacity batches lets them.
  bool next(WalkBatch& batch);

  // Test hook: the owner takes batches only when the hand-off is full or the
  // walk has ended, so that the walk runs as far ahead as the bound lets it.
  void set_lagging_owner(bool lagging) { lagging_owner_ = lagging; }

  // Lists no further directory; jobs already listing finish their directory.
  void stop() { stopping_.store(true, std::memory_order_relaxed); }

 private:
  struct Batch;
  struct Task;
  struct SharedListing;

  void start_root();
  void run_task(Task task);
  std::expected<int, int> open_task_directory(Task& task);
  void push(std::unique_ptr<Batch> batch);
  // An empty batch: a spent one handed back by the owner when there is one.
  std::unique_ptr<Batch> new_batch();
  // Packs the kept entries of a listed directory into listings of at most
  // kMaxListingEntries entries and pushes them; `links` are the identities
  // the entries' `link` fields index.
  void push_kept(const ListingPlace& place, std::string_view names,
                 std::span<const ListedEntry> entries, std::span<const HardLink> links);
  void push_error(int error, const Task& task);
  // Filters a large directory's shares on free workers; the last share to
  // finish passes the directory on.
  void share_out(std::shared_ptr<SharedListing> shared);
  void filter_share(SharedListing& shared, std::size_t share);
  // Passes a listed and filtered directory on: numbers and queues its kept
  // subdirectories, and sends its listing before they are walked.
  void pass_on(Task& task, platform::Descriptor& open, const std::string& names,
               std::vector<ListedEntry>& entries, const std::vector<HardLink>& links,
               int read_error);
  void spawn(Task task, bool deferred);
  // `body` as a job that counts itself off the outstanding ones when it ends.
  template <typename Body>
  JobBody counted_job(Body body);
  JobBody task_job(Task task);
  // Queues `body` in the walk's scope, counted as outstanding until it ends.
  template <typename Body>
  void spawn_job(Body body, bool deferred);
  // Queues `jobs` (counted jobs) in the walk's scope at once, the last first.
  void queue_jobs(std::span<JobBody> jobs);
  void job_finished();

  const std::string root_;
  const ChildFilter filter_;
  platform::Kernel& kernel_;
  std::atomic<bool> stopping_{false};

  // Descriptors of listed directories kept open for their children to open
  // themselves relative to them.
  platform::KeptDirectories kept_;

  // Jobs not yet finished, each counted before it is queued; the last one
  // to finish closes the hand-off.
  std::atomic<std::uint64_t> outstanding_{0};

  WalkDirNumbers numbers_;

  // The hand-off to the owner, bounded: a worker waits while it is full. The
  // owner takes every batch gathered at once.
  std::pair<Sender<std::unique_ptr<Batch>>, Receiver<std::unique_ptr<Batch>>> channel_;

  // Batches the owner is done with, for the jobs to fill again.
  Recycler<std::unique_ptr<Batch>> spent_;

  // Where the listings' records go: records_ or, when none was given,
  // own_records_.
  RecordBlocks own_records_;
  RecordBlocks* const records_;

  // Owner-side state.
  std::vector<std::unique_ptr<Batch>> taken_;
  std::size_t taken_index_ = 0;
  bool done_ = false;
  bool lagging_owner_ = false;

  JobScope scope_;  // last: destroyed (and so waited for) first
};

}  // namespace tessaly
