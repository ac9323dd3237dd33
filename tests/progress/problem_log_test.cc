#include "progress/problem_log.h"

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "progress/progress.h"

namespace tessaly {
namespace {

TEST(ProblemLog, KeepsTheFirstThousandSortedAndCountsAll) {
  ProblemLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 300; ++i)
        log.record("/r/t" + std::to_string(t), std::to_string(i), EACCES);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(log.total(), 1200u);
  const std::vector<ScanProblem> kept = log.take();
  ASSERT_EQ(kept.size(), kMaxListedProblems);
  for (std::size_t i = 1; i < kept.size(); ++i) EXPECT_LT(kept[i - 1].path, kept[i].path);
  EXPECT_EQ(kept.front().os_error, EACCES);
  EXPECT_TRUE(kept.front().path.starts_with("/r/t")) << kept.front().path;
}

TEST(ProblemLog, AContextWithoutALogNotesNothing) {
  ProblemLog log;
  ScanContext{}.note_problem("/a", ENOENT);
  ScanContext{.problems = &log}.note_problem("/a/", "b", ENOENT);
  ScanContext{.problems = &log}.note_problem("/a", EIO);
  EXPECT_EQ(log.take(), (std::vector<ScanProblem>{{"/a", EIO}, {"/a/b", ENOENT}}));
  EXPECT_EQ(log.total(), 2u);
}

}  // namespace
}  // namespace tessaly
