#include "support/faulty_kernel.h"

#include <sys/stat.h>
#include <sys/types.h>

#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <algorithm>
#include <memory>

#include "base/paths.h"
#include "bulk/bulk_record.h"
#include "bulk/bulk_source.h"
#include "support/fault_tree.h"

namespace tessaly::testing {
namespace {

KernelCall path_call(int dir_fd, const char* path) {
  KernelCall call;
  call.path = path;
  call.name = last_component(path);
  call.dir_fd = dir_fd;
  return call;
}

// The device number whose bulk device id is `id`.
dev_t device_with_id(std::uint32_t id) {
#if defined(__linux__)
  return makedev((id >> 8) & 0xfffu, (id & 0xffu) | ((id >> 12) & 0xfff00u));
#else
  return static_cast<dev_t>(id);
#endif
}

// The kernels the calling thread asked to leave dataless files, by id.
std::vector<std::uint64_t>& kernels_asked() {
  thread_local std::vector<std::uint64_t> ids;
  return ids;
}

}  // namespace

std::uint64_t FaultyKernel::next_id() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

std::expected<void, int> FaultyKernel::leave_dataless_files() {
  std::vector<std::uint64_t>& ids = kernels_asked();
  if (std::find(ids.begin(), ids.end(), id_) == ids.end()) ids.push_back(id_);
  return real_.leave_dataless_files();
}

void FaultyKernel::note_listing() {
  const std::vector<std::uint64_t>& ids = kernels_asked();
  if (std::find(ids.begin(), ids.end(), id_) != ids.end()) {
    ++listings_asked_;
  } else {
    ++listings_not_asked_;
  }
}

bool FaultyKernel::listings_left_dataless_files() const {
  return listings_asked_.load() > 0 && listings_not_asked_.load() == 0;
}

std::optional<std::uint32_t> FaultyKernel::firmlink_device(std::string_view path) const {
  for (const auto& [firmlink, device] : firmlinks) {
    if (path_starts_with(path, firmlink)) return device;
  }
  return std::nullopt;
}

std::expected<std::string, int> FaultyKernel::read_file(const char* path, std::size_t max_bytes) {
  if (const int error = fault(on_open, path_call(AT_FDCWD, path)); error != 0)
    return std::unexpected(error);
  return real_.read_file(host(path).c_str(), max_bytes);
}

int FaultyKernel::fault(const Hook& hook, const KernelCall& call) {
  if (!hook) return 0;
  const int error = hook(call);
  if (error != 0) ++injected;
  return error;
}

void FaultyKernel::record_list(std::size_t size) {
  const std::lock_guard lock(mutex_);
  list_sizes_.push_back(size);
}

std::vector<std::size_t> FaultyKernel::list_sizes() const {
  const std::lock_guard lock(mutex_);
  return list_sizes_;
}

std::string FaultyKernel::path_of(int dir_fd, const char* path) const {
  if (dir_fd == AT_FDCWD || path[0] == '/') return path;
  const std::lock_guard lock(mutex_);
  const auto dir = fd_paths_.find(dir_fd);
  return dir == fd_paths_.end() ? std::string(path) : join_path(dir->second, path);
}

std::string FaultyKernel::host(const char* path) const {
  if (root.empty() || path[0] != '/') return path;
  return std::string_view(path) == "/" ? root : root + path;
}

KernelCall FaultyKernel::descriptor_call(int fd) const {
  KernelCall call;
  call.fd = fd;
  const std::lock_guard lock(mutex_);
  if (const auto known = fd_paths_.find(fd); known != fd_paths_.end()) call.fd_path = known->second;
  return call;
}

std::expected<int, int> FaultyKernel::open_directory(int dir_fd, const char* path,
                                                     platform::OpenAs how) {
  KernelCall call = path_call(dir_fd, path);
  call.open_as = how;
  if (const int error = fault(on_open, call); error != 0) return std::unexpected(error);
  std::string opened = path_of(dir_fd, path);
  auto fd = real_.open_directory(dir_fd, host(path).c_str(), how);
  if (fd) {
    ++opens;
    const std::lock_guard lock(mutex_);
    fd_paths_[*fd] = std::move(opened);
  }
  return fd;
}

void FaultyKernel::close_descriptor(int fd) {
  ++closes;
  {
    const std::lock_guard lock(mutex_);
    fd_paths_.erase(fd);
  }
  real_.close_descriptor(fd);
}

std::expected<std::size_t, int> FaultyKernel::read_entries(int fd, std::span<std::byte> buffer) {
  ++lists;
  note_listing();
  if (const int error = fault(on_list, descriptor_call(fd)); error != 0)
    return std::unexpected(error);
  auto n = real_.read_entries(fd, buffer);
  if (n) record_list(*n);
  return n;
}

std::expected<std::int64_t, int> FaultyKernel::seek(int fd, std::int64_t offset, int whence) {
  return real_.seek(fd, offset, whence);
}

std::expected<void, int> FaultyKernel::stat_at(int dir_fd, const char* path, struct stat& result,
                                               int flags) {
  KernelCall call = path_call(dir_fd, path);
  call.follow = (flags & AT_SYMLINK_NOFOLLOW) == 0;
  if (const int error = fault(on_stat, call); error != 0) return std::unexpected(error);
  auto stated = real_.stat_at(dir_fd, host(path).c_str(), result, flags);
  if (stated && (!volumes.empty() || !firmlinks.empty())) {
    const std::string named = path_of(dir_fd, path);
    if (const auto volume = volumes.find(named); volume != volumes.end()) {
      result.st_dev = device_with_id(volume->second.device);
    } else if (const auto device = firmlink_device(named)) {
      result.st_dev = device_with_id(*device);
    }
  }
  return stated;
}

std::expected<std::size_t, int> FaultyKernel::read_attributes_bulk(int fd,
                                                                   const AttrListRequest& request,
                                                                   std::span<std::byte> buffer,
                                                                   std::uint64_t options) {
#if !defined(__APPLE__)
  if (!answers_bulk) return std::unexpected(ENOSYS);
#endif
  ++lists;
  note_listing();
  KernelCall call = descriptor_call(fd);
  call.request = &request;
  call.options = options;
  call.buffer_size = buffer.size();
  if (const int error = fault(on_list, call); error != 0) return std::unexpected(error);
  auto n = read_bulk_batch(real_, fd, request, buffer, options);
  if (n && *n != 0 && (!volumes.empty() || !allocated_sizes.empty() || !firmlinks.empty())) {
    n = rewrite_records(call.fd_path, buffer, *n);
  }
  if (n) record_list(*n);
  return n;
}

std::size_t FaultyKernel::rewrite_records(const std::string& dir, std::span<std::byte> buffer,
                                          std::size_t count) const {
  BulkListing listing;
  parse_bulk_batch(buffer, count, listing);
  const std::optional<std::uint32_t> below_firmlink = firmlink_device(dir);
  std::vector<std::byte> rewritten(buffer.size());
  std::size_t used = 0;
  for (std::size_t i = 0; i < listing.size(); ++i) {
    const auto item = listing[i];
    const std::string child = join_path(dir, item.name);
    BulkRecordFields fields{.name = item.name,
                            .error = item.fields.error,
                            .dev_id = item.fields.dev_id,
                            .obj_type = item.fields.obj_type,
                            .file_id = item.fields.file_id,
                            .mount_status = item.fields.mount_status,
                            .link_count = item.fields.link_count,
                            .alloc_size = item.fields.alloc_size};
    if (below_firmlink) fields.dev_id = *below_firmlink;
    if (volumes.contains(child)) fields.mount_status = dir_mntstatus_mntpoint;
    if (const auto size = allocated_sizes.find(child); size != allocated_sizes.end()) {
      fields.alloc_size = size->second;
    }
    used += pack_bulk_record(std::span(rewritten).subspan(used), fields);
  }
  std::copy_n(rewritten.begin(), used, buffer.begin());
  return listing.size();
}

std::expected<std::string, int> FaultyKernel::volume_type_name(const char* path) {
  if (const int error = fault(on_volume, path_call(AT_FDCWD, path)); error != 0)
    return std::unexpected(error);
  if (volume_type) return *volume_type;
  return real_.volume_type_name(host(path).c_str());
}

std::expected<std::int64_t, int> FaultyKernel::volume_space_used(const char* path) {
  if (const int error = fault(on_volume, path_call(AT_FDCWD, path)); error != 0)
    return std::unexpected(error);
  if (const auto volume = volumes.find(path); volume != volumes.end()) {
    return volume->second.space_used;
  }
  return real_.volume_space_used(host(path).c_str());
}

std::vector<MountEntry> FaultyKernel::mount_table() { return real_.mount_table(); }

platform::VolumeFacts FaultyKernel::volume_facts(const char* root_path) {
  return share_volume_facts ? real_.volume_facts(host(root_path).c_str()) : platform::VolumeFacts{};
}

FaultyKernel::Hook scripted(std::deque<int> answers) {
  struct Script {
    std::mutex mutex;
    std::deque<int> answers;
  };
  auto script = std::make_shared<Script>();
  script->answers = std::move(answers);
  return [script](const KernelCall&) {
    const std::lock_guard lock(script->mutex);
    if (script->answers.empty()) return 0;
    const int answer = script->answers.front();
    script->answers.pop_front();
    return answer;
  };
}

}  // namespace tessaly::testing
