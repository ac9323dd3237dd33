#include "bin/scan_bench/machine_info.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#if defined(__APPLE__)
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>
#endif

#include "scanner/paths.h"
#include "scanner/utf8.h"

namespace tessaly {
namespace {

#if defined(__linux__)
// The kernel lists a mount that covers another on the same mount point after
// the one it covers.
constexpr bool later_mount_wins_tie = true;
#else
constexpr bool later_mount_wins_tie = false;
#endif

#if !defined(__APPLE__)
// Whole content of a file that may report size 0 (as /proc files do); empty
// when it cannot be read.
std::string read_small_file(const char* path) {
  std::string data;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buffer[16384];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      data.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return data;
}
#endif

// Splits a mount table line at single spaces; the kernel escapes spaces inside
// fields, so no field is empty in a well-formed line.
std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  while (start <= line.size()) {
    const std::size_t end = line.find(' ', start);
    if (end == std::string_view::npos) {
      if (start < line.size()) fields.push_back(line.substr(start));
      break;
    }
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

template <typename LineFn>
void for_each_line(std::string_view text, LineFn&& fn) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    fn(text.substr(start, end - start));
    start = end + 1;
  }
}

#if !defined(__APPLE__)
// /proc/mounts: "source mount-point type options dump pass".
std::vector<MountEntry> parse_proc_mounts(std::string_view text) {
  std::vector<MountEntry> mounts;
  for_each_line(text, [&](std::string_view line) {
    const std::vector<std::string_view> fields = split_fields(line);
    if (fields.size() < 3) return;
    mounts.push_back(
        {unescape_mount_field(fields[1]), utf8_lossy(unescape_mount_field(fields[2]))});
  });
  return mounts;
}
#endif

bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

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

std::string unescape_mount_field(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal_digit(field[i + 1]) &&
        is_octal_digit(field[i + 2]) && is_octal_digit(field[i + 3])) {
      const int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      if (value <= 0xFF) {
        out.push_back(static_cast<char>(value));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
  // "id parent major:minor root mount-point options [optional...] - type source super-options"
  std::vector<MountEntry> mounts;
  for_each_line(text, [&](std::string_view line) {
    const std::vector<std::string_view> fields = split_fields(line);
    if (fields.size() < 8) return;
    for (std::size_t i = 6; i + 1 < fields.size(); ++i) {
      if (fields[i] == "-") {
        mounts.push_back(
            {unescape_mount_field(fields[4]), utf8_lossy(unescape_mount_field(fields[i + 1]))});
        return;
      }
    }
  });
  return mounts;
}

std::vector<MountEntry> list_mounts() {
#if defined(__APPLE__)
  std::vector<MountEntry> mounts;
  struct statfs* entries = nullptr;
  const int count = ::getmntinfo(&entries, MNT_NOWAIT);
  for (int i = 0; i < count; ++i) {
    mounts.push_back({entries[i].f_mntonname, utf8_lossy(entries[i].f_fstypename)});
  }
  return mounts;
#else
  std::vector<MountEntry> mounts = parse_mountinfo(read_small_file("/proc/self/mountinfo"));
  if (mounts.empty()) mounts = parse_proc_mounts(read_small_file("/proc/mounts"));
  return mounts;
#endif
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
  return fs_type_for_path(resolved, list_mounts());
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
