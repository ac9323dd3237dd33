// The machine description carried by the benchmark report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mount_table.h"

namespace tessaly {

struct MachineInfo {
  std::string os;
  std::string arch;
  std::uint64_t logical_cores = 1;
  std::string fs_type;
};

// Names fixed when the tool is built: "macos", "linux", ...; "aarch64",
// "x86_64", ...
std::string_view build_os_name();
std::string_view build_arch_name();

// Processors currently online; 1 when the query fails or reports none.
std::uint64_t online_logical_cores();

// The type of the mount holding `path`: the entry whose mount point is the
// longest (in bytes) component-wise prefix of `path`. Where the kernel stacks
// mounts on one mount point the later one hides the earlier, so on Linux the
// later entry wins a tie; elsewhere the first listed wins. "unknown" when
// nothing matches.
std::string fs_type_for_path(std::string_view path, const std::vector<MountEntry>& mounts);

// The type name of the file system holding `root`, resolved to its canonical
// path first (the text unchanged when that fails); "unknown" when no mount
// matches. Never fails.
std::string detect_fs_type(const std::string& root);

// Everything above for `root`; never fails.
MachineInfo describe_machine(const std::string& root);

}  // namespace tessaly
