#include "jwalk/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <tessaly/result.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <utility>

#include "base/clock.h"
#include "base/paths.h"
#include "platform/c_path.h"

namespace tessaly {
namespace {

using platform::CPath;
using platform::OpenAs;

// A worker's listing buffers are given back after a directory of more
// entries than this.
constexpr std::size_t kKeptListingEntries = 1 << 16;
// A worker's list of subdirectories to queue is given back after a directory
// of more than this.
constexpr std::size_t kKeptChildTasks = 4096;

// Directory descriptors a walk keeps open for their children at most.
constexpr std::int64_t kMaxKeptDescriptors = 4096;

}  // namespace

EntryKind kind_of_mode(mode_t mode) {
  if (S_ISDIR(mode)) return EntryKind::kDirectory;
  if (S_ISLNK(mode)) return EntryKind::kSymlink;
  if (S_ISREG(mode)) return EntryKind::kRegular;
  return EntryKind::kOther;
}

// --- DirectoryReader ---------------------------------------------------------

namespace {

// The kind of a listed entry from its directory-entry type; a listing that
// does not tell (DT_UNKNOWN) is completed with fstatat, links not followed.
void classify_entry(platform::Kernel& kernel, int dir_fd, const char* name, unsigned char type,
                    EntryKind& kind, int& entry_error) {
  entry_error = 0;
  switch (type) {
    case DT_DIR:
      kind = EntryKind::kDirectory;
      return;
    case DT_LNK:
      kind = EntryKind::kSymlink;
      return;
    case DT_REG:
      kind = EntryKind::kRegular;
      return;
    case DT_UNKNOWN:
      break;
    default:
      kind = EntryKind::kOther;
      return;
  }
  struct stat st {};
  if (const auto stated = platform::retry_interrupted(
          [&] { return kernel.stat_at(dir_fd, name, st, AT_SYMLINK_NOFOLLOW); })) {
    kind = kind_of_mode(st.st_mode);
  } else {
    kind = EntryKind::kError;
    entry_error = stated.error();
  }
}

}  // namespace

#if defined(__linux__)

DirectoryReader::DirectoryReader(platform::Kernel& kernel, int dir_fd)
    : kernel_(&kernel), fd_(dir_fd) {}
DirectoryReader::~DirectoryReader() = default;

bool DirectoryReader::next(std::string_view& name, EntryKind& kind, int& entry_error) {
  while (true) {
    if (position_ >= filled_) {
      if (exhausted_) return false;
      const auto n = platform::retry_interrupted(
          [&] { return kernel_->read_entries(fd_, std::as_writable_bytes(std::span(buffer_))); });
      if (!n) {
        error_ = n.error();
        exhausted_ = true;
        return false;
      }
      if (*n == 0) {
        exhausted_ = true;
        return false;
      }
      filled_ = *n;
      position_ = 0;
    }
    const auto* record = reinterpret_cast<const struct dirent64*>(buffer_.data() + position_);
    position_ += record->d_reclen;
    const char* raw = record->d_name;
    if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0'))) continue;
    name = std::string_view(raw);
    classify_entry(*kernel_, fd_, raw, record->d_type, kind, entry_error);
    return true;
  }
}

#else

DirectoryReader::DirectoryReader(platform::Kernel& kernel, int dir_fd)
    : kernel_(&kernel), fd_(dir_fd) {
  // readdir needs a DIR of its own; it gets a duplicate so that closing it
  // leaves the caller's descriptor open.
  const int copy = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    error_ = errno;
    return;
  }
  DIR* dir = ::fdopendir(copy);
  if (dir == nullptr) {
    error_ = errno;
    ::close(copy);
    return;
  }
  dir_ = dir;
}

DirectoryReader::~DirectoryReader() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
}

bool DirectoryReader::next(std::string_view& name, EntryKind& kind, int& entry_error) {
  if (dir_ == nullptr) return false;
  while (true) {
    const auto read = platform::retry_interrupted([this]() -> std::expected<const dirent*, int> {
      errno = 0;
      const struct dirent* record = ::readdir(static_cast<DIR*>(dir_));
      if (record == nullptr && errno != 0) return std::unexpected(errno);
      return record;
    });
    if (!read || *read == nullptr) {
      error_ = read ? 0 : read.error();
      ::closedir(static_cast<DIR*>(dir_));
      dir_ = nullptr;
      return false;
    }
    const char* raw = (*read)->d_name;
    if (raw[0] == '.' && (raw[1] == '\0' || (raw[1] == '.' && raw[2] == '\0'))) continue;
    name = std::string_view(raw);
    classify_entry(*kernel_, fd_, raw, (*read)->d_type, kind, entry_error);
    return true;
  }
}

#endif

// --- Path helpers ------------------------------------------------------------

std::expected<int, int> open_directory_at(platform::Kernel& kernel, int base_fd,
                                          std::string_view path, bool follow_last) {
  return platform::open_directory_of_any_length(
      kernel, base_fd, path, follow_last ? OpenAs::kListing : OpenAs::kListingItself);
}

std::expected<void, int> stat_at(platform::Kernel& kernel, int base_fd, std::string_view path,
                                 struct stat& result, bool follow_links) {
  const int flags = follow_links ? 0 : AT_SYMLINK_NOFOLLOW;
  const auto stat_once = [&](int dir_fd, const char* name) {
    return platform::retry_interrupted([&] { return kernel.stat_at(dir_fd, name, result, flags); });
  };
  if (path.empty()) return std::unexpected(ENOENT);
  if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
  if (path.size() < PATH_MAX) return stat_once(base_fd, CPath(path).get());
  std::string_view trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind('/');
  if (slash == std::string_view::npos) return std::unexpected(ENAMETOOLONG);
  const std::string_view last = trimmed.substr(slash + 1);
  const auto parent = platform::open_directory_of_any_length(
      kernel, base_fd, slash == 0 ? std::string_view("/") : trimmed.substr(0, slash),
      OpenAs::kSearch);
  if (!parent) return std::unexpected(parent.error());
  const platform::Descriptor open(kernel, *parent);
  return stat_once(*parent, CPath(last).get());
}

std::pair<std::string, std::string> split_root(std::string_view root) {
  std::string_view path = root;
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return {"", "/"};
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {"", std::string(path)};
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.back() == '/') parent.remove_suffix(1);
  if (parent.empty()) parent = "/";
  return {std::string(parent), std::string(path.substr(slash + 1))};
}

// --- DirListing --------------------------------------------------------------

std::expected<void, int> DirListing::stat_child(const ListedEntry& entry, struct stat& result,
                                                bool follow_links) const {
  if (root_ != nullptr) return stat_at(*kernel_, AT_FDCWD, *root_, result, follow_links);
  const int flags = follow_links ? 0 : AT_SYMLINK_NOFOLLOW;
  return platform::retry_interrupted(
      [&] { return kernel_->stat_at(dir_fd_, name(entry).data(), result, flags); });
}

std::expected<int, int> DirListing::open_child_directory(const ListedEntry& entry) const {
  return platform::retry_while_out_of_descriptors([&] {
    if (root_ != nullptr) return open_directory_at(*kernel_, AT_FDCWD, *root_, true);
    return platform::retry_interrupted([&] {
      return kernel_->open_directory(dir_fd_, name(entry).data(), OpenAs::kListingItself);
    });
  });
}

std::string DirListing::child_path(const ListedEntry& entry) const {
  if (root_ != nullptr) return *root_;
  return join_path(*path_, name(entry));
}

// --- ParallelWalk ------------------------------------------------------------

// One listing (a directory's kept children, or part of them), or one error
// item.
struct ParallelWalk::Batch {
  ListingMessage listing;
  int error = 0;
  std::string error_path;
  bool at_root = false;
};

// A directory to list.
struct ParallelWalk::Task {
  std::string path;
  WalkDirId id = kWalkRoot;
  std::uint32_t name_size = 0;  // its last component is the tail of `path`
  std::shared_ptr<const platform::Descriptor> parent;
  std::uint64_t depth = 0;
  bool is_root = false;
  int attempts = 0;
  Instant first_refusal{};
};

ParallelWalk::ParallelWalk(std::string root, ChildFilter filter, platform::Kernel& kernel,
                           WorkerPool& pool, RecordBlocks* records)
    : root_(std::move(root)),
      filter_(std::move(filter)),
      kernel_(kernel),
      channel_(make_bounded_channel<std::unique_ptr<Batch>>(kWalkQueueCapacity)),
      spent_(kRecycledListings),
      records_(records != nullptr ? records : &own_records_),
      scope_(pool) {
  kept_.set_budget(platform::descriptor_budget(pool.thread_count(), kMaxKeptDescriptors));
  outstanding_.store(1, std::memory_order_relaxed);
  scope_.spawn([this] {
    struct Finish {
      ParallelWalk* walk;
      ~Finish() { walk->job_finished(); }
    } finish{this};
    start_root();
  });
}

ParallelWalk::~ParallelWalk() {
  stop();
  // Jobs waiting on a full hand-off give up their batch.
  channel_.second.reset();
  // scope_, the last member, waits for the jobs before anything they use goes.
}

void ParallelWalk::start_root() {
  auto [parent, name] = split_root(root_);
  const std::string parent_path = std::move(parent);
  std::string names = std::move(name);
  std::vector<ListedEntry> entries(1);
  std::vector<HardLink> links;
  ListedEntry& entry = entries.front();
  entry.name_size = static_cast<std::uint32_t>(names.size());
  struct stat st {};
  if (const auto stated = stat_at(kernel_, AT_FDCWD, root_, st, false); !stated) {
    entry.kind = EntryKind::kError;
    entry.error = stated.error();
  } else {
    entry.kind = kind_of_mode(st.st_mode);
    // The root alone is followed when it is a link, as a command-line argument
    // is; a dangling link stays a link.
    if (entry.kind == EntryKind::kSymlink && stat_at(kernel_, AT_FDCWD, root_, st, true)) {
      entry.kind = kind_of_mode(st.st_mode);
    }
  }
  {
    DirListing listing(kernel_, std::nullopt, parent_path, -1, &root_, names, entries, links);
    filter_(listing);
  }
  const ListedEntry kept = entries.front();
  if (!kept.keep) return;
  // The root itself, at depth 0, numbered kWalkRoot when it is a directory.
  push_kept(ListingPlace{kWalkRoot, kWalkRoot, 0, {}}, names, entries, links);
  if (kept.kind != EntryKind::kDirectory) return;
  Task task;
  task.path = root_;
  task.depth = 0;
  task.id = kWalkRoot;
  task.is_root = true;
  run_task(std::move(task));
}

std::expected<int, int> ParallelWalk::open_task_directory(Task& task) {
  if (task.parent) {
    // The name is the path's tail, so it ends where the path's string does.
    const char* name = task.path.c_str() + (task.path.size() - task.name_size);
    return platform::retry_interrupted(
        [&] { return kernel_.open_directory(task.parent->get(), name, OpenAs::kListingItself); });
  }
  return open_directory_at(kernel_, AT_FDCWD, task.path, task.is_root);
}

void ParallelWalk::run_task(Task task) {
  if (stopping_.load(std::memory_order_relaxed)) return;
  // Listing must not download a dataless folder; a thread whose policy cannot
  // be set still lists, as it always did.
  (void)kernel_.leave_dataless_files();
  if (task.attempts > 0) {
    std::this_thread::sleep_for(platform::descriptor_backoff(task.attempts));
  }
  const auto fd = open_task_directory(task);
  if (!fd && platform::out_of_descriptors(fd.error())) {
    // Keep no more descriptors for children, let go of the parent's (this
    // task may hold its last reference), and try again once the jobs queued
    // before it have run and released theirs.
    kept_.stop_keeping();
    task.parent.reset();
    const Instant now = monotonic_now();
    if (task.attempts == 0) task.first_refusal = now;
    if (now - task.first_refusal < platform::kDescriptorPatience) {
      ++task.attempts;
      spawn(std::move(task), true);
      return;
    }
  }
  task.parent.reset();
  if (!fd) {
    push_error(fd.error(), task);
    return;
  }

  // Closed on every way out, a listing or filter that throws included, unless
  // handed on to the children.
  platform::Descriptor open(kernel_, *fd);

  // The worker's own buffers, kept between directories so that listing one
  // costs no allocation per entry; the listing handed on is packed anew at
  // its exact size.
  thread_local std::string names;
  thread_local std::vector<ListedEntry> entries;
  thread_local std::vector<HardLink> links;
  names.clear();
  entries.clear();
  links.clear();
  int read_error = 0;
  {
    DirectoryReader reader(kernel_, open.get());
    std::string_view name;
    EntryKind kind;
    int entry_error = 0;
    while (reader.next(name, kind, entry_error)) {
      ListedEntry entry;
      entry.name_offset = static_cast<std::uint32_t>(names.size());
      entry.name_size = static_cast<std::uint32_t>(name.size());
      entry.kind = kind;
      entry.error = entry_error;
      // The reader's name is followed by its NUL byte, which comes along.
      names.append(name.data(), name.size() + 1);
      entries.push_back(entry);
    }
    read_error = reader.error();
  }

  if (entries.size() > kShareEntries && scope_.pool().thread_count() > 1) {
    // The buffers go with the directory; this worker's next one makes new.
    auto shared = std::make_shared<SharedListing>(std::move(task), std::move(open),
                                                  std::move(names), std::move(entries), read_error);
    names.clear();
    entries.clear();
    share_out(std::move(shared));
    return;
  }
  {
    DirListing listing(kernel_, task.depth, task.path, open.get(), nullptr, names, entries, links);
    filter_(listing);
  }
  std::erase_if(entries, [](const ListedEntry& entry) { return !entry.keep; });
  pass_on(task, open, names, entries, links, read_error);
  if (entries.capacity() > kKeptListingEntries) {
    std::vector<ListedEntry>().swap(entries);
    std::string().swap(names);
    std::vector<HardLink>().swap(links);
  }
}

// A large directory, listed, while its shares are filtered.
struct ParallelWalk::SharedListing {
  SharedListing(Task&& listed, platform::Descriptor&& descriptor, std::string&& listed_names,
                std::vector<ListedEntry>&& listed_entries, int error)
      : task(std::move(listed)),
        open(std::move(descriptor)),
        names(std::move(listed_names)),
        entries(std::move(listed_entries)),
        read_error(error),
        links((entries.size() + kShareEntries - 1) / kShareEntries),
        unfiltered(links.size()) {}

  Task task;
  platform::Descriptor open;
  const std::string names;
  std::vector<ListedEntry> entries;
  const int read_error;
  // Each share's link identities, indexed by its entries' `link` fields.
  std::vector<std::vector<HardLink>> links;
  std::atomic<std::size_t> unfiltered;
};

void ParallelWalk::share_out(std::shared_ptr<SharedListing> shared) {
  // Queued newest first, the shares after the first are taken by workers
  // that come free while this one filters the first.
  for (std::size_t share = shared->links.size() - 1; share > 0; --share) {
    spawn_job([this, shared, share] { filter_share(*shared, share); }, false);
  }
  filter_share(*shared, 0);
}

void ParallelWalk::filter_share(SharedListing& shared, std::size_t share) {
  const std::size_t begin = share * kShareEntries;
  const std::span<ListedEntry> part =
      std::span(shared.entries)
          .subspan(begin, std::min(kShareEntries, shared.entries.size() - begin));
  {
    DirListing listing(kernel_, shared.task.depth, shared.task.path, shared.open.get(), nullptr,
                       shared.names, part, shared.links[share]);
    filter_(listing);
  }
  // A share whose filter threw leaves the directory unfinished, and the
  // walk's owner gets the exception.
  if (shared.unfiltered.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  // The last share: the links are numbered on across the shares, in order.
  std::vector<HardLink> links;
  for (std::size_t i = 0; i < shared.links.size(); ++i) {
    const auto offset = static_cast<std::uint32_t>(links.size());
    if (offset != 0) {
      const std::size_t first = i * kShareEntries;
      const std::size_t last = std::min(first + kShareEntries, shared.entries.size());
      for (std::size_t e = first; e < last; ++e) {
        if (shared.entries[e].link != ListedEntry::kNoLink) shared.entries[e].link += offset;
      }
    }
    links.insert(links.end(), shared.links[i].begin(), shared.links[i].end());
  }
  std::erase_if(shared.entries, [](const ListedEntry& entry) { return !entry.keep; });
  pass_on(shared.task, shared.open, shared.names, shared.entries, links, shared.read_error);
}

void ParallelWalk::pass_on(Task& task, platform::Descriptor& open, const std::string& names,
                           std::vector<ListedEntry>& entries, const std::vector<HardLink>& links,
                           int read_error) {
  // The worker's own list, kept between directories; pass_on never runs on
  // a thread that is already inside it.
  thread_local std::vector<Task> children;
  thread_local std::vector<JobBody> jobs;
  // Emptied on every way out: a task left behind would hold its parent's
  // descriptor open.
  struct Clear {
    ~Clear() {
      children.clear();
      jobs.clear();
      if (children.capacity() > kKeptChildTasks) {
        std::vector<Task>().swap(children);
        std::vector<JobBody>().swap(jobs);
      }
    }
  } clear_children;
  children.clear();
  jobs.clear();
  ListingPlace place{task.id, 0, task.depth + 1, {}};
  bool large = false;
  for (const ListedEntry& entry : entries) {
    if (entry.kind != EntryKind::kDirectory) {
      large = large || entry.size >= kLargeFileThreshold;
      continue;
    }
    Task child;
    child.path =
        join_path(task.path, std::string_view(names).substr(entry.name_offset, entry.name_size));
    child.name_size = entry.name_size;
    child.depth = task.depth + 1;
    children.push_back(std::move(child));
  }
  // The large-file list shows paths; nothing else needs this one.
  if (large) place.path = task.path;
  if (!children.empty()) {
    const WalkDirId first = numbers_.take(children.size());
    place.first_child = first;
    for (std::size_t i = 0; i < children.size(); ++i) children[i].id = first + i;
  }
  const std::shared_ptr<const platform::Descriptor> handle =
      children.empty() ? nullptr : kept_.keep(open);
  open.reset();

  push_kept(place, names, entries, links);
  if (read_error != 0) push_error(read_error, task);
  // Children are queued in reverse so that, newest first, they are listed in
  // listing order; all at once, so that queuing them takes the pool's lock
  // and counts them once per directory.
  jobs.reserve(children.size());
  for (auto it = children.rbegin(); it != children.rend(); ++it) {
    it->parent = handle;
    jobs.push_back(task_job(std::move(*it)));
  }
  queue_jobs(jobs);
}

template <typename Body>
JobBody ParallelWalk::counted_job(Body body) {
  auto counted = [this, body = std::move(body)]() mutable {
    struct Finish {
      ParallelWalk* walk;
      ~Finish() { walk->job_finished(); }
    } finish{this};
    body();
  };
  // A directory's job is queued without an allocation of its own.
  static_assert(JobBody::kFitsInline<decltype(counted)>);
  return JobBody(std::move(counted));
}

JobBody ParallelWalk::task_job(Task task) {
  return counted_job([this, task = std::move(task)]() mutable { run_task(std::move(task)); });
}

void ParallelWalk::queue_jobs(std::span<JobBody> jobs) {
  // Counted before they are queued, as they may run at once; jobs the pool
  // could not queue (out of memory) are counted off again, or the walk would
  // wait for them for ever. The spawning job itself is still counted
  // meanwhile.
  outstanding_.fetch_add(jobs.size(), std::memory_order_relaxed);
  try {
    scope_.spawn_all(jobs);
  } catch (...) {
    for (std::size_t i = 0; i < jobs.size(); ++i) job_finished();
    throw;
  }
}

template <typename Body>
void ParallelWalk::spawn_job(Body body, bool deferred) {
  JobBody job = counted_job(std::move(body));
  // Counted as queue_jobs counts.
  outstanding_.fetch_add(1, std::memory_order_relaxed);
  try {
    if (deferred) {
      scope_.spawn_deferred(std::move(job));
    } else {
      scope_.spawn(std::move(job));
    }
  } catch (...) {
    job_finished();
    throw;
  }
}

void ParallelWalk::spawn(Task task, bool deferred) {
  spawn_job([this, task = std::move(task)]() mutable { run_task(std::move(task)); }, deferred);
}

void ParallelWalk::push(std::unique_ptr<Batch> batch) { channel_.first.send(std::move(batch)); }

std::unique_ptr<ParallelWalk::Batch> ParallelWalk::new_batch() {
  if (auto spent = spent_.take()) return std::move(*spent);
  return std::make_unique<Batch>();
}

void ParallelWalk::push_kept(const ListingPlace& place, std::string_view names,
                             std::span<const ListedEntry> entries,
                             std::span<const HardLink> links) {
  // A part's directories are numbered on from those of the parts before it.
  WalkDirId next_child = place.first_child;
  for (std::size_t start = 0; start < entries.size(); start += kMaxListingEntries) {
    const std::span<const ListedEntry> part =
        entries.subspan(start, std::min(kMaxListingEntries, entries.size() - start));
    std::unique_ptr<Batch> batch = new_batch();
    batch->listing.place = ListingPlace{place.dir, next_child, place.depth, place.path};
    ChildListing& children = batch->listing.children;
    children.start(*records_, place.depth);
    children.reserve(part.size());
    for (const ListedEntry& entry : part) {
      const std::string_view name = names.substr(entry.name_offset, entry.name_size);
      if (entry.kind == EntryKind::kDirectory) {
        children.add_directory(name);
        ++next_child;
      } else if (entry.link != ListedEntry::kNoLink) {
        children.add_linked_file(name, links[entry.link]);
      } else {
        children.add_file(name, entry.size);
      }
    }
    push(std::move(batch));
  }
}

void ParallelWalk::push_error(int error, const Task& task) {
  std::unique_ptr<Batch> batch = new_batch();
  batch->error = error;
  batch->error_path = task.path;
  batch->at_root = task.is_root;
  push(std::move(batch));
}

void ParallelWalk::job_finished() {
  // The last job: nothing sends any more, so the hand-off ends once the owner
  // has taken what it holds.
  if (outstanding_.fetch_sub(1, std::memory_order_acq_rel) == 1) channel_.first.reset();
}

bool ParallelWalk::next(WalkBatch& out) {
  while (true) {
    if (taken_index_ < taken_.size()) {
      const Batch& batch = *taken_[taken_index_++];
      out.is_error = batch.error != 0;
      out.place = &batch.listing.place;
      out.children = &batch.listing.children;
      out.error = batch.error;
      out.error_path = batch.error_path;
      out.at_root = batch.at_root;
      return true;
    }
    if (done_) return false;
    spent_.give_back(taken_, [](std::unique_ptr<Batch>& batch) {
      ready_for_reuse(batch->listing.children);
      // Paths are rare here and may be long: their memory goes.
      batch->listing.place.path = std::string();
      batch->error = 0;
      batch->error_path = std::string();
      batch->at_root = false;
    });
    taken_.clear();
    taken_index_ = 0;
    if (lagging_owner_) channel_.second.wait_full(std::chrono::hours(1));
    if (!channel_.second.recv_all(taken_)) {
      done_ = true;
      scope_.wait();
      return false;
    }
  }
}

}  // namespace tessaly
