#include "bin/scan_bench/machine_info.h"

#include <unistd.h>

#include <tessaly/scan.h>

namespace tessaly {
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

std::string detect_fs_type(const std::string& root) { return volume_type_name(root); }

MachineInfo describe_machine(const std::string& root) {
  MachineInfo info;
  info.os = std::string(build_os_name());
  info.arch = std::string(build_arch_name());
  info.logical_cores = online_logical_cores();
  info.fs_type = detect_fs_type(root);
  return info;
}

}  // namespace tessaly
