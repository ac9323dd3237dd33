// The one fake of the kernel interface that tests use. It forwards every call
// to the system's kernel (volume_facts only with share_volume_facts), first
// asking the hook for the call's kind (opens and file reads, listings, stats,
// volume queries; closes, seeks, the mount table and the dataless-file policy
// have none) whether to let it through, and counts opens, closes and listing
// calls. Tests use it to make calls fail in
// the ways a real file system rarely does, to change the tree at exactly the
// moment between two calls, to count calls or check what they ask for, and to
// present a host folder as a volume's root with other volumes mounted in it,
// firmlinks into a Data volume, and files of chosen sizes.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/attr_list.h"
#include "platform/kernel.h"

namespace tessaly::testing {

// One call as a hook sees it.
struct KernelCall {
  std::string_view path;  // the path argument as passed; empty for calls on a descriptor
  std::string name;       // the last component of `path`
  int dir_fd = AT_FDCWD;  // the directory `path` is taken relative to
  int fd = -1;            // the descriptor of a call on one
  // For a call on a descriptor this fake opened: the path it opened, joined
  // to its directory's when opened relative to one; else empty.
  std::string fd_path;
  // For read_attributes_bulk: what it asks for and the buffer's size.
  const AttrListRequest* request = nullptr;
  std::uint64_t options = 0;
  std::size_t buffer_size = 0;
  platform::OpenAs open_as = platform::OpenAs::kListing;  // for opens
  bool follow = true;                                     // for stats: symbolic links followed
};

class FaultyKernel final : public platform::Kernel {
 public:
  // A hook returns 0 to let the call through, or the errno it fails with; it
  // may also change the tree, or throw, before answering. Hooks run on many
  // threads at once.
  using Hook = std::function<int(const KernelCall&)>;
  Hook on_open;    // open_directory and read_file
  Hook on_list;    // read_entries and read_attributes_bulk
  Hook on_stat;    // stat_at
  Hook on_volume;  // volume_type_name and volume_space_used
  // When set, volume_type_name answers this instead of asking the kernel.
  std::optional<std::string> volume_type;
  // When set, this host folder stands for "/": every absolute path is taken
  // below it. Hooks and the maps below see the paths as
  // passed.
  std::string root;
  // Where the kernel has no getattrlistbulk, read_attributes_bulk fails with
  // ENOSYS, so that callers list through read_entries and stat_at as they
  // would with the kernel; when set, it answers with the records the Linux
  // layer packs (read_bulk_batch, through the kernel, not this fake's hooks).
  bool answers_bulk = false;

  struct Volume {
    std::uint32_t device = 0;  // a bulk device id
    std::expected<std::int64_t, int> space_used = std::unexpected(ENOTSUP);
  };
  // Volumes mounted at these paths. As the kernel does, a bulk listing shows
  // a mount point with its parent's device and the mount-point status; only
  // stat tells the volume's device. volume_space_used answers `space_used`.
  std::map<std::string, Volume> volumes;
  // Folders that are firmlinks into a volume group's Data volume of this bulk
  // device id, as macOS makes /Users or /Applications: stat of the folder, or
  // of anything below it, reports that device, and so do bulk records of the
  // entries below it; the folder's own record, in its parent's listing,
  // keeps the parent's device (a listing reports a firmlink's own
  // attributes). The Data volume itself is one of `volumes`, with the same
  // device.
  std::map<std::string, std::uint32_t> firmlinks;
  // The allocated sizes bulk listings report for the files at these paths.
  std::map<std::string, std::int64_t> allocated_sizes;
  // Unless set, volume_facts establishes nothing, so that a walk makes every
  // call it would make on a volume it knows nothing about.
  bool share_volume_facts = false;

  std::atomic<int> injected{0};  // calls a hook failed
  std::atomic<int> opens{0};     // descriptors the kernel opened
  std::atomic<int> closes{0};    // descriptors closed
  std::atomic<int> lists{0};     // listing calls, failed ones included

  // True when at least one listing call was made and every one came from a
  // thread that had asked this kernel to leave dataless files before it.
  bool listings_left_dataless_files() const;

  // The byte or record counts of the listing calls the kernel answered, in
  // the order of the answers.
  std::vector<std::size_t> list_sizes() const;

  std::expected<int, int> open_directory(int dir_fd, const char* path,
                                         platform::OpenAs how) override;
  void close_descriptor(int fd) override;
  std::expected<std::size_t, int> read_entries(int fd, std::span<std::byte> buffer) override;
  std::expected<std::int64_t, int> seek(int fd, std::int64_t offset, int whence) override;
  std::expected<void, int> stat_at(int dir_fd, const char* path, struct stat& result,
                                   int flags) override;
  std::expected<std::size_t, int> read_attributes_bulk(int fd, const AttrListRequest& request,
                                                       std::span<std::byte> buffer,
                                                       std::uint64_t options) override;
  std::expected<std::string, int> volume_type_name(const char* path) override;
  std::expected<std::int64_t, int> volume_space_used(const char* path) override;
  std::vector<MountEntry> mount_table() override;
  std::expected<std::string, int> read_file(const char* path, std::size_t max_bytes) override;
  std::expected<void, int> leave_dataless_files() override;
  platform::VolumeFacts volume_facts(const char* root) override;

 private:
  int fault(const Hook& hook, const KernelCall& call);
  void record_list(std::size_t size);
  // The path a call names, as this fake sees it: `path` joined to the path
  // `dir_fd` was opened by when relative to a descriptor it knows.
  std::string path_of(int dir_fd, const char* path) const;
  // The host path for a path not relative to a descriptor.
  std::string host(const char* path) const;
  KernelCall descriptor_call(int fd) const;
  // Rewrites `count` records of the directory `dir` in `buffer` with the
  // volumes and allocated sizes set for its entries.
  std::size_t rewrite_records(const std::string& dir, std::span<std::byte> buffer,
                              std::size_t count) const;

  // The device of a firmlink at or above `path`, if any.
  std::optional<std::uint32_t> firmlink_device(std::string_view path) const;
  void note_listing();

  platform::Kernel& real_ = platform::system_kernel();
  // Tells this kernel from any other, for the threads' records of which
  // kernels they asked to leave dataless files.
  const std::uint64_t id_ = next_id();
  static std::uint64_t next_id();
  std::atomic<int> listings_asked_{0};      // listing calls from threads that had asked
  std::atomic<int> listings_not_asked_{0};  // and from threads that had not
  mutable std::mutex mutex_;
  std::vector<std::size_t> list_sizes_;  // guarded by mutex_
  std::map<int, std::string> fd_paths_;  // guarded by mutex_
};

// A hook that answers `answers` one call after another (0 lets a call
// through), then lets every call through. Safe on many threads.
FaultyKernel::Hook scripted(std::deque<int> answers);

}  // namespace tessaly::testing
