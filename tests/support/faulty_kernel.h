// A fake of the kernel interface over the system's kernel: it forwards every
// call (volume_facts only with share_volume_facts), first asking the hook for
// the call's kind (opens, listings, stats, volume queries; closes, seeks and
// the mount table have none) whether to let it through, and counts opens,
// closes and listing calls. Tests use it to make calls fail in the ways a real
// file system rarely does, to change the tree at exactly the moment between
// two calls, or to count calls.
#pragma once

#include <fcntl.h>

#include <atomic>
#include <deque>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kernel.h"

namespace tessaly::testing {

// One call as a hook sees it.
struct KernelCall {
  std::string_view path;  // the path argument as passed; empty for calls on a descriptor
  std::string name;       // the last component of `path`
  int dir_fd = AT_FDCWD;  // the directory `path` is taken relative to
  int fd = -1;            // the descriptor of a call on one
  platform::OpenAs open_as = platform::OpenAs::kListing;  // for opens
  bool follow = true;                                     // for stats: symbolic links followed
};

class FaultyKernel final : public platform::Kernel {
 public:
  // A hook returns 0 to let the call through, or the errno it fails with; it
  // may also change the tree, or throw, before answering. Hooks run on many
  // threads at once.
  using Hook = std::function<int(const KernelCall&)>;
  Hook on_open;    // open_directory
  Hook on_list;    // read_entries and read_attributes_bulk
  Hook on_stat;    // stat_at
  Hook on_volume;  // volume_type_name and volume_space_used
  // When set, volume_type_name answers this instead of asking the kernel.
  std::optional<std::string> volume_type;
  // Unless set, volume_facts establishes nothing, so that a walk makes every
  // call it would make on a volume it knows nothing about.
  bool share_volume_facts = false;

  std::atomic<int> injected{0};  // calls a hook failed
  std::atomic<int> opens{0};     // descriptors the kernel opened
  std::atomic<int> closes{0};    // descriptors closed
  std::atomic<int> lists{0};     // listing calls, failed ones included

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
  platform::VolumeFacts volume_facts(const char* root) override;

 private:
  int fault(const Hook& hook, const KernelCall& call);
  void record_list(std::size_t size);

  platform::Kernel& real_ = platform::system_kernel();
  mutable std::mutex mutex_;
  std::vector<std::size_t> list_sizes_;  // guarded by mutex_
};

// A hook that answers `answers` one call after another (0 lets a call
// through), then lets every call through. Safe on many threads.
FaultyKernel::Hook scripted(std::deque<int> answers);

}  // namespace tessaly::testing
