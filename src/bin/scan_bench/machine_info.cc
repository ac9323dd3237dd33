#include "bin/scan_bench/machine_info.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "base/paths.h"
#include "platform/kernel.h"

namespace tessaly {
namespace {

#if defined(__linux__)
// The kernel lists a mount that covers another on the same mount point after
// the one it covers.
constexpr bool later_mount_wins_tie = true;
#else
constexpr bool later_mount_wins_tie = false;
#endif

}  // namespace

std::string_view build_os_name() {
#if defined(__APPLE__)
  return "macos";
#elif defined(__linux__)
  return "linux";
#elif defined(__FreeBSD__)
  return "freebsd";
#else
  return "unknown";
#endif
}

std::string_view build_arch_name() {
#if defined(__aarch64__)
  return "aarch64";
#elif defined(__x86_64__)
  return "x86_64";
#elif defined(__i386__)
  return "x86";
#elif defined(__arm__)
  return "arm";
#elif defined(__riscv) && __riscv_xlen == 64
  return "riscv64";
#elif defined(__powerpc64__)
  return "powerpc64";
#elif defined(__s390x__)
  return "s390x";
#else
  return "unknown";
#endif
}

std::uint64_t online_logical_cores() {
  const long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<std::uint64_t>(count) : 1;
}

std::string fs_type_for_path(std::string_view path, const std::vector<MountEntry>& mounts) {
  const MountEntry* best = nullptr;
  for (const MountEntry& mount : mounts) {
    if (!path_starts_with(path, mount.mount_point)) continue;
    const bool better =
        best == nullptr || mount.mount_point.size() > best->mount_point.size() ||
        (later_mount_wins_tie && mount.mount_point.size() == best->mount_point.size());
    if (better) best = &mount;
  }
  return best != nullptr ? best->fs_type : std::string("unknown");
}

std::string detect_fs_type(const std::string& root) {
  std::string resolved = root;
  if (root.find('\0') == std::string::npos) {
    std::unique_ptr<char, decltype(&std::free)> canonical(::realpath(root.c_str(), nullptr),
                                                          &std::free);
    if (canonical) resolved = canonical.get();
  }
  return fs_type_for_path(resolved, platform::system_kernel().mount_table());
}

MachineInfo describe_machine(const std::string& root) {
  MachineInfo info;
  info.os = std::string(build_os_name());
  info.arch = std::string(build_arch_name());
  info.logical_cores = online_logical_cores();
  info.fs_type = detect_fs_type(root);
  return info;
}

}  // namespace tessaly
