#include "progress/problem_log.h"

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>

#include "base/paths.h"

namespace tessaly {

void ProblemLog::record(std::string_view path, int error) {
  if (admit()) keep(ScanProblem{std::string(path), error});
}

void ProblemLog::record(std::string_view dir, std::string_view name, int error) {
  if (admit()) keep(ScanProblem{join_path(dir, name), error});
}

void ProblemLog::keep(ScanProblem problem) {
  const std::lock_guard lock(mutex_);
  kept_.push_back(std::move(problem));
}

std::vector<ScanProblem> ProblemLog::take() {
  std::vector<ScanProblem> problems;
  {
    const std::lock_guard lock(mutex_);
    problems.swap(kept_);
  }
  std::ranges::sort(problems, [](const ScanProblem& a, const ScanProblem& b) {
    return std::tie(a.path, a.os_error) < std::tie(b.path, b.os_error);
  });
  return problems;
}

}  // namespace tessaly
