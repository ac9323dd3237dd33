// Times refreshing one folder of a scanned tree against scanning the whole
// tree, and measures the memory each takes. The tree is only read: the folder
// is refreshed unchanged, which walks it as a changed one would be.
//
//   refresh_bench ROOT FOLDER [--engine jwalk|bulk-attrs] [--runs N]
//                 [--tree-depth N]
//
// FOLDER is relative to ROOT. Each round scans ROOT whole, then refreshes
// FOLDER in that scan's output; the table gives the median, minimum and
// maximum of each over --runs rounds (one warm-up round first). Memory, in
// the warm-up round (Linux): the rise of the peak resident set during the scan
// and during the refresh (the peak is reset before each
// through /proc/self/clear_refs).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "cache/scan_cache.h"
#include "service/scan_service.h"

namespace {

using Clock = std::chrono::steady_clock;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); 0 elsewhere.
std::uint64_t status_kib(std::string_view field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtoull(line.c_str() + field.size() + 1, nullptr, 10);
    }
  }
  return 0;
}

// Makes the peak resident set start again from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double median(std::vector<double> values) {
  std::ranges::sort(values);
  return values[values.size() / 2];
}

int usage() {
  std::fprintf(stderr,
               "usage: refresh_bench ROOT FOLDER [--engine jwalk|bulk-attrs] [--runs N] "
               "[--tree-depth N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  tessaly::ScanRequest request;
  request.root = argv[1];
  request.engine = "jwalk";
  request.volume_probe = tessaly::VolumeProbe::kSkip;
  const std::string folder = request.root + "/" + argv[2];
  int runs = 5;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string_view option = argv[i];
    if (option == "--engine") {
      request.engine = argv[i + 1];
    } else if (option == "--runs") {
      runs = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--tree-depth") {
      request.tree_depth = std::strtoull(argv[i + 1], nullptr, 10);
    } else {
      return usage();
    }
  }

  std::vector<double> scan_ms;
  std::vector<double> refresh_ms;
  std::uint64_t scan_peak_kib = 0;
  std::uint64_t refresh_peak_kib = 0;
  for (int round = 0; round <= runs; ++round) {
    tessaly::clear_scan_cache();
    const std::uint64_t before_scan = status_kib("VmRSS");
    reset_peak();
    const auto scan_start = Clock::now();
    auto previous = tessaly::scan(request);
    const auto scan_end = Clock::now();
    if (!previous) {
      std::fprintf(stderr, "scan failed: %s\n", previous.error().message.c_str());
      return 1;
    }
    const std::uint64_t scan_peak = status_kib("VmHWM") - before_scan;
    const std::uint64_t before_refresh = status_kib("VmRSS");
    reset_peak();
    const auto refresh_start = Clock::now();
    auto refreshed = tessaly::refresh(*previous, folder);
    const auto refresh_end = Clock::now();
    if (!refreshed) {
      std::fprintf(stderr, "refresh failed: %s\n", refreshed.error().message.c_str());
      return 1;
    }
    const std::uint64_t refresh_peak = status_kib("VmHWM") - before_refresh;
    if (round == 0) {  // before the allocator holds freed pages of earlier rounds
      scan_peak_kib = scan_peak;
      refresh_peak_kib = refresh_peak;
    }
    if (round == 0) continue;  // warm-up
    scan_ms.push_back(std::chrono::duration<double, std::milli>(scan_end - scan_start).count());
    refresh_ms.push_back(
        std::chrono::duration<double, std::milli>(refresh_end - refresh_start).count());
    if (round == runs) {
      fmt::print("folder {}: {} files, {} dirs in the refreshed tree\n", folder,
                 refreshed->result->files_found, refreshed->result->dirs_found);
    }
  }
  const double scan_median = median(scan_ms);
  const double refresh_median = median(refresh_ms);
  fmt::print("{:<10} {:>10} {:>10} {:>10}\n", "", "median ms", "min ms", "max ms");
  fmt::print("{:<10} {:>10.1f} {:>10.1f} {:>10.1f}\n", "scan", scan_median,
             *std::ranges::min_element(scan_ms), *std::ranges::max_element(scan_ms));
  fmt::print("{:<10} {:>10.1f} {:>10.1f} {:>10.1f}\n", "refresh", refresh_median,
             *std::ranges::min_element(refresh_ms), *std::ranges::max_element(refresh_ms));
  fmt::print("refresh / scan time: {:.1f}%\n", 100.0 * refresh_median / scan_median);
  fmt::print("peak rise: scan {} KiB, refresh {} KiB ({:.1f}%)\n", scan_peak_kib, refresh_peak_kib,
             100.0 * static_cast<double>(refresh_peak_kib) / static_cast<double>(scan_peak_kib));
  return 0;
}
