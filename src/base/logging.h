// The library's log targets. Both loggers exist from first use with no sink and
// level off, so nothing is formatted until a sink is installed and a level
// admitted. Only code built with the private headers (the tests) can do that:
// the public API has no logging call, so a host's scans log nothing. Call sites
// use the loggers' own level-checked calls (or should_log before computing an
// argument), never preformatted text.
#pragma once

#include <spdlog/common.h>
#include <spdlog/logger.h>

#include <string_view>

namespace tessaly {

inline constexpr std::string_view kScannerLogTarget = "tessaly_lib::scanner";
inline constexpr std::string_view kMacosWalkerLogTarget = "tessaly_lib::macos_walker";

// The logger of the scanner module and of the bulk-attribute walker. They are
// not registered with spdlog's global registry, so a host's global level
// changes do not switch them on without a sink to write to.
spdlog::logger& scanner_logger();
spdlog::logger& macos_walker_logger();

// Makes `sink` the only sink of both loggers and sets their level (off when
// `sink` is nullptr). Not public; meant for tests: call it while no scan is
// running.
void install_log_sink(spdlog::sink_ptr sink, spdlog::level::level_enum level);

// Removes every sink and switches both loggers off again.
void remove_log_sinks();

}  // namespace tessaly
