// The parts of one scan that could not be read, noted by whichever thread met
// them: every one counted, the first kMaxListedProblems kept.
#pragma once

#include <tessaly/scan.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <vector>

namespace tessaly {

// Noting costs nothing until a problem is met: a scan of a tree read whole
// never locks or allocates here.
class ProblemLog {
 public:
  // Any thread. Beyond the kept ones a problem is only counted. Memory running
  // out while one is kept throws std::bad_alloc, counted but not kept.
  void record(std::string_view path, int error);
  // The entry `name` of the directory `dir`.
  void record(std::string_view dir, std::string_view name, int error);

  std::uint64_t total() const { return total_.load(std::memory_order_relaxed); }

  // The kept problems sorted by path, then error; the log keeps none after.
  // Call once the scan's threads have stopped noting.
  std::vector<ScanProblem> take();

 private:
  // Reserves a place among the kept ones, or counts the problem alone.
  bool admit() { return total_.fetch_add(1, std::memory_order_relaxed) < kMaxListedProblems; }
  void keep(ScanProblem problem);

  std::atomic<std::uint64_t> total_{0};
  std::mutex mutex_;
  std::vector<ScanProblem> kept_;  // guarded by mutex_
};

}  // namespace tessaly
