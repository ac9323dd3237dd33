// The machine description carried by the benchmark report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// The type name of the file system holding `root`, resolved to its canonical
// path first (the text unchanged when that fails); "unknown" when no mount
// matches (volume_type_name). Never fails.
std::string detect_fs_type(const std::string& root);

// Everything above for `root`; never fails.
MachineInfo describe_machine(const std::string& root);

}  // namespace tessaly
