#include "support/faulty_kernel.h"

#include <memory>

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

KernelCall descriptor_call(int fd) {
  KernelCall call;
  call.fd = fd;
  return call;
}

}  // namespace

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

std::expected<int, int> FaultyKernel::open_directory(int dir_fd, const char* path,
                                                     platform::OpenAs how) {
  KernelCall call = path_call(dir_fd, path);
  call.open_as = how;
  if (const int error = fault(on_open, call); error != 0) return std::unexpected(error);
  auto fd = real_.open_directory(dir_fd, path, how);
  if (fd) ++opens;
  return fd;
}

void FaultyKernel::close_descriptor(int fd) {
  ++closes;
  real_.close_descriptor(fd);
}

std::expected<std::size_t, int> FaultyKernel::read_entries(int fd, std::span<std::byte> buffer) {
  ++lists;
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
  return real_.stat_at(dir_fd, path, result, flags);
}

std::expected<std::size_t, int> FaultyKernel::read_attributes_bulk(int fd,
                                                                   const AttrListRequest& request,
                                                                   std::span<std::byte> buffer,
                                                                   std::uint64_t options) {
#if !defined(__APPLE__)
  // Where the kernel has no getattrlistbulk, the fake has none either, so
  // that its callers list as they would with the kernel.
  (void)fd;
  (void)request;
  (void)buffer;
  (void)options;
  return std::unexpected(ENOSYS);
#else
  ++lists;
  if (const int error = fault(on_list, descriptor_call(fd)); error != 0)
    return std::unexpected(error);
  auto n = real_.read_attributes_bulk(fd, request, buffer, options);
  if (n) record_list(*n);
  return n;
#endif
}

std::expected<std::string, int> FaultyKernel::volume_type_name(const char* path) {
  if (const int error = fault(on_volume, path_call(AT_FDCWD, path)); error != 0)
    return std::unexpected(error);
  if (volume_type) return *volume_type;
  return real_.volume_type_name(path);
}

std::expected<std::int64_t, int> FaultyKernel::volume_space_used(const char* path) {
  if (const int error = fault(on_volume, path_call(AT_FDCWD, path)); error != 0)
    return std::unexpected(error);
  return real_.volume_space_used(path);
}

std::vector<MountEntry> FaultyKernel::mount_table() { return real_.mount_table(); }

platform::VolumeFacts FaultyKernel::volume_facts(const char* root) {
  return share_volume_facts ? real_.volume_facts(root) : platform::VolumeFacts{};
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
