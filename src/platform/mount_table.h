// The system's table of mounted file systems, as text the kernel writes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaly {

// One mounted file system as the system lists it.
struct MountEntry {
  std::string mount_point;
  std::string fs_type;
};

// Parses the text of /proc/self/mountinfo. Lines that do not have the
// expected shape are skipped; octal escapes ("\040" for a space) in the mount
// point are decoded.
std::vector<MountEntry> parse_mountinfo(std::string_view text);

// Parses the text of /proc/mounts ("source mount-point type options dump
// pass"), the same way.
std::vector<MountEntry> parse_proc_mounts(std::string_view text);

// Decodes the three-digit octal escapes the kernel writes for space, tab,
// newline and backslash in mount table fields.
std::string unescape_mount_field(std::string_view field);

// This process's mount table as Linux's /proc lists it (mountinfo, or the
// older mounts file when that is missing); empty when neither can be read.
std::vector<MountEntry> read_proc_mount_table();

// Whether any of `mounts` has its mount point strictly below the directory
// `path` (compared component by component, as the text stands: `path` should
// be canonical).
bool has_mount_below(std::string_view path, const std::vector<MountEntry>& mounts);

// The type of the mount holding `path`: the entry whose mount point is the
// longest (in bytes) component-wise prefix of `path`. Where the kernel stacks
// mounts on one mount point the later one hides the earlier, so on Linux the
// later entry wins a tie; elsewhere the first listed wins. "unknown" when
// nothing matches.
std::string fs_type_for_path(std::string_view path, const std::vector<MountEntry>& mounts);

// fs_type_for_path of `path` resolved to its canonical path (the text
// unchanged when that fails, or when it holds a NUL byte) in `mounts`.
// volume_type_name (<tessaly/scan.h>) is this over the system's mount table.
std::string fs_type_of_resolved(std::string_view path, const std::vector<MountEntry>& mounts);

}  // namespace tessaly
