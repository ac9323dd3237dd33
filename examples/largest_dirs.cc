// Scans a tree on a worker thread, shows its progress, stops it on Enter or
// Ctrl-C, and prints the ten largest directories it found.
// Usage: largest_dirs ROOT [ENGINE]   (ENGINE: bulk-attrs on macOS, jwalk anywhere)
#include <poll.h>
#include <tessaly/tessaly.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t interrupted = 0;

// Events arrive on the scanning thread; a window would post them to its UI
// thread instead of printing.
class ConsoleProgress final : public tessaly::ProgressEmitter {
 public:
  bool emit(std::string_view event, std::string_view json_payload) const override {
    std::fprintf(stderr, "\r%.*s %.*s", static_cast<int>(event.size()), event.data(),
                 static_cast<int>(json_payload.size()), json_payload.data());
    return true;
  }
};

std::string human(std::uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  for (; value >= 1024 && unit < 4; ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s ROOT [ENGINE]\n", argv[0]);
    return 2;
  }
  tessaly::ScanRequest request;
  request.root = argv[1];
  if (argc > 2) request.engine = argv[2];
  std::signal(SIGINT, [](int) { interrupted = 1; });

  ConsoleProgress progress;
  std::atomic<bool> done = false;
  std::expected<tessaly::ScanOutput, std::string> outcome;
  std::thread worker([&] {
    outcome = tessaly::run_scan(request, &progress);
    done = true;
  });

  std::fprintf(stderr, "scanning %s; press Enter to stop\n", argv[1]);
  bool watch_stdin = true;
  while (!done) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&input, watch_stdin ? 1 : 0, 100);
    if (ready > 0) {
      char buffer[256];
      // End of input (stdin not a terminal) is no request to stop.
      if (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        tessaly::request_scan_cancel();
      } else {
        watch_stdin = false;
      }
    }
    if (interrupted) tessaly::request_scan_cancel();
  }
  worker.join();
  std::fprintf(stderr, "\n");

  if (!outcome) {
    std::fprintf(stderr, "scan failed: %s\n", outcome.error().c_str());
    return outcome.error() == tessaly::kScanCancelled ? 130 : 1;
  }
  const tessaly::ScanResult& result = *outcome->result;
  std::vector<std::pair<std::uint64_t, std::string>> dirs;
  for (const auto& [path, size] : result.dir_sizes) dirs.emplace_back(size, path);
  const auto shown = std::min<std::size_t>(dirs.size(), 10);
  std::partial_sort(dirs.begin(), dirs.begin() + static_cast<std::ptrdiff_t>(shown), dirs.end(),
                    std::greater<>());
  std::printf("%llu files, %llu directories, %s in %llu ms\n",
              static_cast<unsigned long long>(result.files_found),
              static_cast<unsigned long long>(result.dirs_found), human(result.total_size).c_str(),
              static_cast<unsigned long long>(outcome->elapsed_ms));
  for (std::size_t i = 0; i < shown; ++i) {
    std::printf("%12s  %s\n", human(dirs[i].first).c_str(), dirs[i].second.c_str());
  }
  return 0;
}
