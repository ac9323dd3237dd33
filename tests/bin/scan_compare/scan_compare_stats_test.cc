// The statistics against values from scipy 1.10.1 (numpy 1.24.2), Debian 12's
// python3-scipy: numpy.median, scipy.stats.median_abs_deviation,
// scipy.stats.mannwhitneyu(x, y, alternative="two-sided") and
// scipy.stats.bootstrap(..., method="percentile", n_resamples=10000).
#include "bin/scan_compare/stats.h"

#include <gtest/gtest.h>

namespace tessaly::scan_compare {
namespace {

using Sample = std::vector<double>;

TEST(ScanCompareStats, MedianAndMadMatchScipy) {
  EXPECT_EQ(median({12, 15, 11, 30, 14}), 14.0);
  EXPECT_EQ(median_absolute_deviation({12, 15, 11, 30, 14}), 2.0);
  EXPECT_EQ(median({40, 10, 30, 20}), 25.0);
  EXPECT_EQ(median_absolute_deviation({40, 10, 30, 20}), 10.0);
  EXPECT_EQ(median_absolute_deviation({7, 7, 7, 7}), 0.0);
}

TEST(ScanCompareStats, ExactMannWhitneyMatchesScipy) {
  EXPECT_NEAR(mann_whitney_p({10, 11, 12, 13, 14}, {15, 16, 17, 18, 19}), 0.0079365079365079361,
              1e-15);
  EXPECT_NEAR(mann_whitney_p({101, 97, 120, 99, 103, 110}, {105, 118, 125, 130, 108, 122, 140}),
              0.022144522144522144, 1e-15);
  EXPECT_NEAR(mann_whitney_p({3, 5, 7}, {4, 6, 8}), 0.7, 1e-15);
  Sample large;
  for (int i = 0; i < 13; ++i) large.push_back(299 + i);
  EXPECT_NEAR(mann_whitney_p({200, 201, 203}, large), 0.0035714285714285713, 1e-15);
  // The order of the samples does not matter to a two-sided test.
  EXPECT_NEAR(mann_whitney_p(large, {200, 201, 203}), 0.0035714285714285713, 1e-15);
}

TEST(ScanCompareStats, NormalApproximationWithTiesMatchesScipy) {
  Sample x, y;
  for (int i = 0; i < 12; ++i) x.push_back(100 + i), y.push_back(105 + i);
  EXPECT_NEAR(mann_whitney_p(x, y), 0.0065740387454344259, 1e-12);
  EXPECT_NEAR(mann_whitney_p({100, 100, 101, 102, 103, 103, 104, 105, 106, 110},
                             {103, 104, 104, 105, 107, 108, 109, 110, 111, 112}),
              0.016798679062603412, 1e-12);
  EXPECT_EQ(mann_whitney_p({50, 50, 50, 50}, {50, 50, 50, 50}), 1.0);
}

TEST(ScanCompareStats, SmallestPValueFollowsTheRunCounts) {
  EXPECT_DOUBLE_EQ(smallest_p_value(3, 3), 0.1);
  EXPECT_DOUBLE_EQ(smallest_p_value(5, 5), 2.0 / 252);
  EXPECT_EQ(smallest_p_value(1, 1), 1.0);
}

TEST(ScanCompareStats, BootstrapIntervalAgreesWithScipyAndRepeats) {
  const Sample base{101, 97, 120, 99, 103, 110, 102, 98};
  const Sample fresh{150, 149, 160, 148, 155, 170, 151, 147};
  const Interval interval = bootstrap_median_ratio(base, fresh);
  // scipy, random_state 0 to 4: low 1.374 to 1.386, high 1.583 to 1.587.
  EXPECT_NEAR(interval.low, 1.3864, 0.015);
  EXPECT_NEAR(interval.high, 1.5842, 0.015);
  const Interval again = bootstrap_median_ratio(base, fresh);
  EXPECT_EQ(again.low, interval.low);
  EXPECT_EQ(again.high, interval.high);

  const Interval near_one =
      bootstrap_median_ratio({100, 104, 98, 101, 103, 99}, {102, 99, 105, 100, 101, 103});
  EXPECT_NEAR(near_one.low, 0.9757, 0.01);
  EXPECT_NEAR(near_one.high, 1.0404, 0.01);

  const Interval identical = bootstrap_median_ratio({40, 40, 40}, {40, 40, 40});
  EXPECT_EQ(identical.low, 1.0);
  EXPECT_EQ(identical.high, 1.0);
}

// The draws that libstdc++ 12 and libc++ 16 both give: the bootstrap must not
// depend on the standard library.
TEST(ScanCompareStats, UniformIndexIsTheSameEverywhere) {
  std::mt19937_64 rng(kBootstrapSeed);
  std::vector<std::size_t> draws;
  for (int i = 0; i < 6; ++i) draws.push_back(uniform_index(rng, 10));
  EXPECT_EQ(draws, (std::vector<std::size_t>{9, 0, 9, 4, 4, 6}));
  EXPECT_EQ(uniform_index(rng, 1), 0u);
}

}  // namespace
}  // namespace tessaly::scan_compare
