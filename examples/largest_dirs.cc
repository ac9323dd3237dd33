// Scans a tree on a worker thread, shows its progress, stops it on Enter or
// Ctrl-C, and prints the ten largest directories it found, walking the result
// from its root.
// Usage: largest_dirs ROOT [ENGINE]   (ENGINE: bulk-attrs on macOS, jwalk
// anywhere; without one the platform's default for ROOT)
#include <poll.h>
#include <tessaly/tessaly.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The scan's stop request; a signal handler may trigger it.
const tessaly::CancelToken stop;

// Reports arrive on the scanning thread; a window would post them to its UI
// thread instead of printing.
void show(const tessaly::ScanProgress& progress) {
  std::fprintf(stderr, "\r%llu files, %llu directories, %llu bytes",
               static_cast<unsigned long long>(progress.files_found),
               static_cast<unsigned long long>(progress.dirs_found),
               static_cast<unsigned long long>(progress.total_size));
}

// Every directory the result lists, with its size.
void collect(const tessaly::ResultDirectory& dir,
             std::vector<std::pair<std::uint64_t, std::string>>& out) {
  out.emplace_back(dir.size(), dir.path());
  for (const tessaly::ChildEntry& entry : dir.children()) {
    if (const auto child = dir.child(entry)) collect(*child, out);
  }
}

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
  request.cancel = stop;
  request.on_progress = show;
  std::signal(SIGINT, [](int) { stop.request_cancel(); });

  std::atomic<bool> done = false;
  std::expected<tessaly::ScanOutput, tessaly::ScanError> outcome;
  std::thread worker([&] {
    outcome = tessaly::scan(request);
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
        stop.request_cancel();
      } else {
        watch_stdin = false;
      }
    }
  }
  worker.join();
  std::fprintf(stderr, "\n");

  if (!outcome) {
    std::fprintf(stderr, "scan failed: %s\n", outcome.error().message.c_str());
    return outcome.error().kind == tessaly::ScanErrorKind::kCancelled ? 130 : 1;
  }
  const tessaly::ScanResult& result = *outcome->result;
  std::vector<std::pair<std::uint64_t, std::string>> dirs;
  collect(result.root_directory(), dirs);
  const auto shown = std::min<std::size_t>(dirs.size(), 10);
  std::partial_sort(dirs.begin(), dirs.begin() + static_cast<std::ptrdiff_t>(shown), dirs.end(),
                    std::greater<>());
  const std::string_view engine = tessaly::scan_engine_name(outcome->engine);
  std::printf("%llu files, %llu directories, %s in %llu ms with %.*s\n",
              static_cast<unsigned long long>(result.files_found),
              static_cast<unsigned long long>(result.dirs_found), human(result.total_size).c_str(),
              static_cast<unsigned long long>(outcome->elapsed_ms), static_cast<int>(engine.size()),
              engine.data());
  for (std::size_t i = 0; i < shown; ++i) {
    std::printf("%12s  %s\n", human(dirs[i].first).c_str(), dirs[i].second.c_str());
  }
  // What could not be read is left out of the sizes above.
  for (const tessaly::ScanProblem& problem : outcome->problems) {
    std::fprintf(stderr, "unreadable: %s (%s)\n", tessaly::utf8_text(problem.path).c_str(),
                 std::strerror(problem.os_error));
  }
  if (outcome->problems_total > outcome->problems.size()) {
    std::fprintf(stderr, "... %llu unreadable in all\n",
                 static_cast<unsigned long long>(outcome->problems_total));
  }
  return 0;
}
