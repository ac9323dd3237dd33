#include "platform/mount_table.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <expected>
#include <memory>

#include "base/paths.h"
#include "base/utf8.h"
#include "platform/descriptors.h"
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

bool is_octal_digit(char c) { return c >= '0' && c <= '7'; }

// Whole content of a file that may report size 0 (as /proc files do); empty
// when it cannot be read.
std::string read_small_file(const char* path) {
  std::string data;
  const auto fd = platform::retry_interrupted([&]() -> std::expected<int, int> {
    const int opened = ::open(path, O_RDONLY | O_CLOEXEC);
    if (opened < 0) return std::unexpected(errno);
    return opened;
  });
  if (!fd) return data;
  // Closed also when growing `data` runs out of memory.
  const platform::Descriptor file(platform::system_kernel(), *fd);
  char buffer[16384];
  while (true) {
    const auto n = platform::retry_interrupted([&]() -> std::expected<std::size_t, int> {
      const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
      if (got < 0) return std::unexpected(errno);
      return static_cast<std::size_t>(got);
    });
    if (!n || *n == 0) break;
    data.append(buffer, *n);
  }
  return data;
}

}  // namespace

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

std::vector<MountEntry> read_proc_mount_table() {
  std::vector<MountEntry> mounts = parse_mountinfo(read_small_file("/proc/self/mountinfo"));
  if (mounts.empty()) mounts = parse_proc_mounts(read_small_file("/proc/mounts"));
  return mounts;
}

bool has_mount_below(std::string_view path, const std::vector<MountEntry>& mounts) {
  for (const MountEntry& mount : mounts) {
    if (path_starts_with(mount.mount_point, path) && !paths_equal(mount.mount_point, path)) {
      return true;
    }
  }
  return false;
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

std::string fs_type_of_resolved(std::string_view path, const std::vector<MountEntry>& mounts) {
  std::string resolved(path);
  if (resolved.find('\0') == std::string::npos) {
    const std::unique_ptr<char, decltype(&std::free)> canonical(
        ::realpath(resolved.c_str(), nullptr), &std::free);
    if (canonical) resolved = canonical.get();
  }
  return fs_type_for_path(resolved, mounts);
}

}  // namespace tessaly
