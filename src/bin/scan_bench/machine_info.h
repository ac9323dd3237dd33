// How scan_bench describes the machine (MachineInfo) it runs on.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bin/common/bench_report.h"

namespace tessaly {

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
