// Times the scan engines on one tree next to a floor: a minimal parallel pass
// that lists every directory with getdents64 and calls fstatat once per
// entry, on as many threads as the worker pool has. The tree is generated
// (and kept for later runs) when it does not exist yet.
//
//   engine_bench [--tree PATH] [--kind realistic|flat|deep|hardlinks]
//                [--entries N] [--seed N] [--runs N] [--tree-depth N]
//                [--scanners floor,jwalk,bulk] [--memory] [--json FILE]
//
// Without --kind, --entries or --seed, a --tree that exists is measured as
// it is: a tree this generator finished is taken with the recipe its record
// names, and any other directory is scanned untouched, never emptied and
// regenerated.
//
// Every scanner runs once to warm the caches, then --runs times, the
// scanners taking turns; the table shows each one's median, minimum and
// maximum, and the median over the rounds of its time divided by the floor's
// time in the same round (which holds up better than a ratio of medians when
// the machine's load changes during the runs). The scan cache is cleared
// before each engine run, outside the timed part. Engines run through the scan
// service; "bulk" is the bulk-attribute engine, which on Linux is told to skip
// the volume probe that refuses every Linux volume.
//
// With --memory the process runs the single scanner named by --scanners once,
// without a warm-up, and reports its peak resident set: run it in a fresh
// process per scanner so that one scanner's peak does not hide another's.
// The pool's size comes from RAYON_NUM_THREADS as in every other program.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/worker_pool.h"
#include "cache/scan_cache.h"
#include "jwalk/walker.h"
#include "service/scan_service.h"
#include "tree_gen.h"

namespace {

struct Counts {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t bytes = 0;
  std::uint64_t compute_dir_sizes_ms = 0;
};

struct Scanner {
  std::string name;
  std::function<Counts(const std::string& root, std::uint64_t tree_depth)> run;
};

// --- The floor -----------------------------------------------------------------

Counts floor_pass(const std::string& root, std::size_t threads) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> pending{root};
  std::size_t busy = 0;
  Counts total;

  auto worker = [&] {
    Counts mine;
    std::vector<std::string> found;
    alignas(8) static thread_local char buffer[64 * 1024];
    std::unique_lock lock(mutex);
    while (true) {
      changed.wait(lock, [&] { return !pending.empty() || busy == 0; });
      if (pending.empty()) break;
      const std::string dir = std::move(pending.back());
      pending.pop_back();
      ++busy;
      lock.unlock();

      // Paths past PATH_MAX (the deep tree) are opened in pieces; shorter ones
      // cost the same single open as a plain open(2).
      const int fd = dir.size() < PATH_MAX
                         ? ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                         : tessaly::open_directory_at(AT_FDCWD, dir, true).value_or(-1);
      if (fd >= 0) {
        while (true) {
          const ssize_t n = ::getdents64(fd, buffer, sizeof buffer);
          if (n <= 0) break;
          for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
              continue;
            }
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            if (S_ISDIR(st.st_mode)) {
              ++mine.dirs;
              found.push_back(dir + "/" + name);
            } else if (!S_ISLNK(st.st_mode)) {
              ++mine.files;
              mine.bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
            }
          }
        }
        ::close(fd);
      }

      lock.lock();
      --busy;
      for (std::string& path : found) pending.push_back(std::move(path));
      found.clear();
      changed.notify_all();
    }
    total.files += mine.files;
    total.dirs += mine.dirs;
    total.bytes += mine.bytes;
  };

  std::vector<std::thread> pool;
  for (std::size_t i = 0; i < threads; ++i) pool.emplace_back(worker);
  for (std::thread& thread : pool) thread.join();
  return total;
}

double median_of(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Timings {
  std::vector<double> ms;
  std::vector<double> dir_sizes_ms;
  Counts counts;
};

std::uint64_t parse_number(const char* text, const char* flag) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0' || errno != 0) {
    throw std::runtime_error(fmt::format("bad value for {}: {}", flag, text));
  }
  return value;
}

// The peak resident set of this program image. getrusage's ru_maxrss is not
// used: it survives execve, so a process started from a large parent (a
// Python script, say) would report the parent's peak.
std::uint64_t peak_rss_kib() {
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    unsigned long long kib = 0;
    bool found = false;
    while (!found && std::fgets(line, sizeof line, status) != nullptr) {
      found = std::sscanf(line, "VmHWM: %llu kB", &kib) == 1;
    }
    std::fclose(status);
    if (found) return kib;
  }
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss);
}

Counts scan_through_service(const std::string& root, std::uint64_t tree_depth,
                            tessaly::ScanEngine engine) {
  tessaly::ScanRequest request;
  request.root = root;
  request.engine = std::string(tessaly::scan_engine_name(engine));
  request.tree_depth = tree_depth;
#if defined(__linux__)
  request.volume_probe = tessaly::VolumeProbe::kSkip;
#endif
  const auto outcome = tessaly::run_scan(request);
  if (!outcome) throw std::runtime_error(outcome.error());
  const tessaly::ScanResult& result = *outcome->result;
  return Counts{result.files_found, result.dirs_found, result.total_size,
                result.compute_dir_sizes_ms};
}

Scanner make_scanner(const std::string& name, std::size_t threads) {
  if (name == "floor") {
    return {name, [threads](const std::string& root, std::uint64_t) {
              return floor_pass(root, threads);
            }};
  }
  if (name == "jwalk") {
    return {name, [](const std::string& root, std::uint64_t depth) {
              return scan_through_service(root, depth, tessaly::ScanEngine::kJwalk);
            }};
  }
  if (name == "bulk") {
    return {name, [](const std::string& root, std::uint64_t depth) {
              return scan_through_service(root, depth, tessaly::ScanEngine::kBulkAttrs);
            }};
  }
  throw std::runtime_error(fmt::format("unknown scanner {}", name));
}

std::vector<std::string> split_list(std::string_view text) {
  std::vector<std::string> parts;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    parts.emplace_back(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
  }
  return parts;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree = "/tmp/tessaly-bench-tree";
  tessaly::bench::TreeRecipe recipe;
  std::uint64_t runs = 7;
  std::uint64_t tree_depth = 8;
  std::vector<std::string> names{"floor", "jwalk", "bulk"};
  bool memory = false;
  bool recipe_given = false;
  bool as_found = false;  // an existing tree the generator did not make
  std::string json_path;
  tessaly::bench::TreeStats stats;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg == "--memory") {
        memory = true;
        continue;
      }
      if (i + 1 >= argc) throw std::runtime_error(fmt::format("{} needs a value", arg));
      if (arg == "--tree") {
        tree = argv[++i];
      } else if (arg == "--kind") {
        recipe_given = true;
        if (!tessaly::bench::parse_tree_kind(argv[++i], recipe.kind)) {
          throw std::runtime_error(fmt::format("unknown tree kind {}", argv[i]));
        }
      } else if (arg == "--entries") {
        recipe_given = true;
        recipe.entries = parse_number(argv[++i], "--entries");
      } else if (arg == "--seed") {
        recipe_given = true;
        recipe.seed = parse_number(argv[++i], "--seed");
      } else if (arg == "--runs") {
        runs = std::max<std::uint64_t>(1, parse_number(argv[++i], "--runs"));
      } else if (arg == "--tree-depth") {
        tree_depth = parse_number(argv[++i], "--tree-depth");
      } else if (arg == "--scanners") {
        names = split_list(argv[++i]);
      } else if (arg == "--json") {
        json_path = argv[++i];
      } else {
        throw std::runtime_error(fmt::format("unknown argument {}", arg));
      }
    }
    if (names.empty()) throw std::runtime_error("--scanners names no scanner");
    for (const std::string& name : names) {
      if (name != "floor" && name != "jwalk" && name != "bulk") {
        throw std::runtime_error(fmt::format("unknown scanner {}", name));
      }
    }
    if (memory && names.size() != 1) throw std::runtime_error("--memory takes exactly one scanner");
    if (!recipe_given) {
      if (const auto recorded = tessaly::bench::recorded_recipe(tree)) {
        recipe = *recorded;
      } else if (struct stat st{}; ::stat(tree.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw std::runtime_error(fmt::format("{} is no directory", tree));
        as_found = true;
      }
    }
    if (!as_found) stats = tessaly::bench::ensure_tree(tree, recipe, true);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 2;
  }

  const std::size_t threads = tessaly::worker_pool().thread_count();
  std::vector<Scanner> scanners;
  std::vector<Timings> timings(names.size());
  const std::uint64_t rss_before_kib = peak_rss_kib();
  try {
    for (const std::string& name : names) scanners.push_back(make_scanner(name, threads));
    const std::uint64_t first_round = memory ? 1 : 0;  // round 0 warms up
    const std::uint64_t last_round = memory ? 1 : runs;
    for (std::uint64_t round = first_round; round <= last_round; ++round) {
      for (std::size_t s = 0; s < scanners.size(); ++s) {
        tessaly::clear_scan_cache();
        const auto start = std::chrono::steady_clock::now();
        const Counts counts = scanners[s].run(tree, tree_depth);
        const auto stop = std::chrono::steady_clock::now();
        if (round == 0) continue;
        timings[s].ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        timings[s].dir_sizes_ms.push_back(static_cast<double>(counts.compute_dir_sizes_ms));
        timings[s].counts = counts;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 1;
  }
  const std::uint64_t rss_peak_kib = peak_rss_kib();

  nlohmann::json report = {
      {"tree", tree},
      {"kind", as_found ? "as found" : tessaly::bench::tree_kind_name(recipe.kind)},
      {"generated", as_found ? nlohmann::json(nullptr)
                             : nlohmann::json{{"files", stats.files},
                                              {"dirs", stats.dirs},
                                              {"symlinks", stats.symlinks},
                                              {"max_depth", stats.max_depth}}},
      {"threads", threads},
      {"tree_depth", tree_depth},
      {"runs", memory ? 1 : runs},
      {"scanners", nlohmann::json::array()},
  };
  std::printf("tree %s (%s), %zu threads, %llu %s\n", tree.c_str(),
              as_found ? "as found" : tessaly::bench::tree_kind_name(recipe.kind), threads,
              static_cast<unsigned long long>(memory ? 1 : runs),
              memory ? "cold-process run" : "warm runs each after one warm-up");
  std::printf("%-8s %10s %10s %10s %10s %9s %14s %9s %9s\n", "scanner", "median ms", "min ms",
              "max ms", "files", "dirs", "bytes", "vs floor", "dirsz %");
  const auto floor_at = std::find(names.begin(), names.end(), "floor");
  for (std::size_t s = 0; s < scanners.size(); ++s) {
    const Timings& t = timings[s];
    double ratio = 0;
    if (floor_at != names.end()) {
      const Timings& floor = timings[static_cast<std::size_t>(floor_at - names.begin())];
      std::vector<double> ratios;
      for (std::size_t r = 0; r < t.ms.size(); ++r) ratios.push_back(t.ms[r] / floor.ms[r]);
      ratio = median_of(ratios);
    }
    std::vector<double> shares;
    for (std::size_t r = 0; r < t.ms.size(); ++r) shares.push_back(t.dir_sizes_ms[r] / t.ms[r]);
    const double share = median_of(shares);
    std::printf("%-8s %10.1f %10.1f %10.1f %10llu %9llu %14llu %8.2fx %8.1f%%\n",
                scanners[s].name.c_str(), median_of(t.ms),
                *std::min_element(t.ms.begin(), t.ms.end()),
                *std::max_element(t.ms.begin(), t.ms.end()),
                static_cast<unsigned long long>(t.counts.files),
                static_cast<unsigned long long>(t.counts.dirs),
                static_cast<unsigned long long>(t.counts.bytes), ratio, share * 100);
    nlohmann::json entry = {
        {"name", scanners[s].name},         {"ms", t.ms},
        {"median_ms", median_of(t.ms)},     {"ratio_to_floor", ratio},
        {"files", t.counts.files},          {"dirs", t.counts.dirs},
        {"bytes", t.counts.bytes},          {"compute_dir_sizes_ms", t.dir_sizes_ms},
        {"compute_dir_sizes_share", share},
    };
    report["scanners"].push_back(entry);
  }
  // Spares start only while pool threads wait for the device: none on a warm
  // tree of an idle machine.
  const std::size_t spares = tessaly::worker_pool().spares_started();
  std::printf("spare threads started: %zu\n", spares);
  report["spare_threads_started"] = spares;
  // What the pool's watcher saw during the scans: the threads inside a
  // blocking call, waiting in one, and the spares, each a mean per look.
  const tessaly::WatchStats watch = tessaly::worker_pool().watch_stats();
  const auto per_look = [&watch](std::uint64_t sum) {
    return watch.looks == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(watch.looks);
  };
  std::printf(
      "watcher: %llu looks; per look %.2f threads in a call, %.2f waiting, %.2f spares "
      "(at most %llu)\n",
      static_cast<unsigned long long>(watch.looks), per_look(watch.in_call),
      per_look(watch.waiting), per_look(watch.spares),
      static_cast<unsigned long long>(watch.most_spares));
  report["watcher"] = {{"looks", watch.looks},
                       {"mean_in_call", per_look(watch.in_call)},
                       {"mean_waiting", per_look(watch.waiting)},
                       {"mean_spares", per_look(watch.spares)},
                       {"most_spares", watch.most_spares},
                       {"mean_queued", per_look(watch.queued)},
                       {"mean_stuck", per_look(watch.stuck)},
                       {"mean_held_back", per_look(watch.held_back)},
                       {"full_room_ms", static_cast<double>(watch.full_room_ns) / 1e6},
                       {"room_drops", watch.room_drops}};
  if (memory) {
    const std::uint64_t entries = timings[0].counts.files + timings[0].counts.dirs;
    const double per_entry =
        entries == 0 ? 0 : rss_peak_kib * 1024.0 / static_cast<double>(entries);
    const double added =
        entries == 0 ? 0 : (rss_peak_kib - rss_before_kib) * 1024.0 / static_cast<double>(entries);
    std::printf("peak RSS %llu KiB (%llu KiB before the scan): %.1f bytes per entry, %.1f added\n",
                static_cast<unsigned long long>(rss_peak_kib),
                static_cast<unsigned long long>(rss_before_kib), per_entry, added);
    report["memory"] = {{"peak_rss_kib", rss_peak_kib},
                        {"rss_before_scan_kib", rss_before_kib},
                        {"entries", entries},
                        {"bytes_per_entry", per_entry},
                        {"added_bytes_per_entry", added}};
  }
  if (!json_path.empty()) {
    std::ofstream out(json_path);
    out << report.dump(2) << '\n';
    if (!out) {
      std::fprintf(stderr, "engine_bench: cannot write %s\n", json_path.c_str());
      return 1;
    }
  }
  return 0;
}
