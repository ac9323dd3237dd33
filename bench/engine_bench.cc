// Times the scan engines on one tree next to a floor: a minimal parallel pass
// that lists every directory with getdents64 and calls fstatat once per
// entry, on as many threads as the worker pool has. The tree is generated
// (and kept for later runs) when it does not exist yet.
//
//   engine_bench [--tree PATH] [--entries N] [--runs N] [--tree-depth N]
//
// Every scanner runs once to warm the caches, then --runs times, the
// scanners taking turns; the table shows each one's median, minimum and
// maximum, and the median over the rounds of its time divided by the floor's
// time in the same round (which holds up better than a ratio of medians when
// the machine's load changes during the runs). The scan cache is cleared
// before each engine run, outside the timed part. An engine is compared by
// adding it to `scanners` in main.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "cache/scan_cache.h"
#include "scanner/jwalk_engine.h"
#include "scanner/walker.h"
#include "scanner/worker_pool.h"

namespace {

struct Counts {
  std::uint64_t files = 0;
  std::uint64_t dirs = 0;
  std::uint64_t bytes = 0;
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

      const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

// --- Tree generation ---------------------------------------------------------------

constexpr std::string_view kMarker = ".tessaly-bench-tree";

void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// About `entries` entries: one directory in ten, files spread over them at
// random, one file in sixteen holding up to 8 KiB, a few symbolic links and
// application bundles.
void make_tree(const std::string& root, std::uint64_t entries) {
  std::mt19937_64 random(0x7e55a1);
  check(::mkdir(root.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + root);
  std::vector<std::string> dirs{root};
  const std::uint64_t dir_target = std::max<std::uint64_t>(1, entries / 10);
  std::uint64_t made = 0;
  for (std::size_t i = 0; dirs.size() < dir_target; ++i) {
    const std::string parent = dirs[i % dirs.size()];
    const int children = 1 + static_cast<int>(random() % 6);
    for (int c = 0; c < children && dirs.size() < dir_target; ++c) {
      const bool bundle = random() % 500 == 0;
      const std::string path =
          parent + "/" + (bundle ? fmt::format("Tool{}.app", made) : fmt::format("dir{}", made));
      ++made;
      check(::mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
      dirs.push_back(path);
    }
  }
  const std::string data(8192, 'x');
  for (std::uint64_t i = dirs.size(); i < entries; ++i) {
    const std::string& parent = dirs[random() % dirs.size()];
    if (random() % 200 == 0) {
      const std::string path = fmt::format("{}/link{}", parent, i);
      check(::symlink("..", path.c_str()) == 0, "symlink " + path);
      continue;
    }
    const std::string path = fmt::format("{}/file{}.dat", parent, i);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0, "open " + path);
    if (random() % 16 == 0) {
      const std::size_t size = 1 + random() % data.size();
      check(::write(fd, data.data(), size) == static_cast<ssize_t>(size), "write " + path);
    }
    ::close(fd);
    if ((i & 0xffff) == 0) std::fprintf(stderr, "  %llu entries...\n", (unsigned long long)i);
  }
  const std::string marker = root + "/" + std::string(kMarker);
  const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  check(fd >= 0, "open " + marker);
  const std::string text = std::to_string(entries) + "\n";
  check(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()), "write marker");
  ::close(fd);
}

bool tree_ready(const std::string& root, std::uint64_t entries) {
  FILE* marker = std::fopen((root + "/" + std::string(kMarker)).c_str(), "r");
  if (marker == nullptr) return false;
  unsigned long long recorded = 0;
  const bool ok = std::fscanf(marker, "%llu", &recorded) == 1 && recorded == entries;
  std::fclose(marker);
  return ok;
}

// --- Measuring -----------------------------------------------------------------------

double median_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Timings {
  std::vector<double> ms;
  Counts counts;
  double median() const { return median_of(ms); }
};

std::uint64_t parse_number(const char* text, const char* flag) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0') throw std::runtime_error(fmt::format("bad value for {}", flag));
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  std::string tree = "/tmp/tessaly-bench-tree";
  std::uint64_t entries = 500'000;
  std::uint64_t runs = 7;
  std::uint64_t tree_depth = 8;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (i + 1 >= argc) throw std::runtime_error(fmt::format("{} needs a value", arg));
      if (arg == "--tree") {
        tree = argv[++i];
      } else if (arg == "--entries") {
        entries = parse_number(argv[++i], "--entries");
      } else if (arg == "--runs") {
        runs = std::max<std::uint64_t>(1, parse_number(argv[++i], "--runs"));
      } else if (arg == "--tree-depth") {
        tree_depth = parse_number(argv[++i], "--tree-depth");
      } else {
        throw std::runtime_error(fmt::format("unknown argument {}", arg));
      }
    }
    if (!tree_ready(tree, entries)) {
      std::fprintf(stderr, "building a tree of %llu entries at %s\n",
                   static_cast<unsigned long long>(entries), tree.c_str());
      make_tree(tree, entries);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 2;
  }

  const std::size_t threads = tessaly::worker_pool().thread_count();
  std::vector<Scanner> scanners;
  scanners.push_back({"floor", [threads](const std::string& root, std::uint64_t) {
                        return floor_pass(root, threads);
                      }});
  scanners.push_back(
      {"jwalk", [](const std::string& root, std::uint64_t depth) {
         auto result = tessaly::scan_with_jwalk(root, depth, {});
         if (!result) throw std::runtime_error(result.error());
         return Counts{(*result)->files_found, (*result)->dirs_found, (*result)->total_size};
       }});

  std::vector<Timings> timings(scanners.size());
  try {
    for (std::uint64_t round = 0; round <= runs; ++round) {
      for (std::size_t s = 0; s < scanners.size(); ++s) {
        tessaly::clear_scan_cache();
        const auto start = std::chrono::steady_clock::now();
        const Counts counts = scanners[s].run(tree, tree_depth);
        const auto stop = std::chrono::steady_clock::now();
        if (round == 0) continue;  // warm-up
        timings[s].ms.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        timings[s].counts = counts;
      }
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 1;
  }

  std::printf("tree %s, %zu threads, %llu warm runs each after one warm-up\n", tree.c_str(),
              threads, static_cast<unsigned long long>(runs));
  std::printf("%-12s %10s %10s %10s %10s %9s %14s %9s\n", "scanner", "median ms", "min ms",
              "max ms", "files", "dirs", "bytes", "vs floor");
  for (std::size_t s = 0; s < scanners.size(); ++s) {
    const Timings& t = timings[s];
    std::vector<double> ratios;
    for (std::size_t r = 0; r < t.ms.size(); ++r) ratios.push_back(t.ms[r] / timings[0].ms[r]);
    std::printf("%-12s %10.1f %10.1f %10.1f %10llu %9llu %14llu %8.2fx\n", scanners[s].name.c_str(),
                t.median(), *std::min_element(t.ms.begin(), t.ms.end()),
                *std::max_element(t.ms.begin(), t.ms.end()),
                static_cast<unsigned long long>(t.counts.files),
                static_cast<unsigned long long>(t.counts.dirs),
                static_cast<unsigned long long>(t.counts.bytes), median_of(ratios));
  }
  return 0;
}
