// The statistics scan_compare draws from two sets of run times: medians, the
// median absolute deviation, a seeded bootstrap interval for the ratio of two
// medians, and the Mann-Whitney U test. Every result is a pure function of the
// input, the same with every standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tessaly::scan_compare {

inline constexpr std::size_t kBootstrapResamples = 10000;
inline constexpr std::uint64_t kBootstrapSeed = 17;

/// The median of a non-empty sample; an even count gives the mean of the
/// middle two.
double median(std::vector<double> sample);

/// The median of the absolute deviations from the median, unscaled; the
/// sample must not be empty.
double median_absolute_deviation(const std::vector<double>& sample);

/// A uniform draw from [0, bound), bound > 0, by rejection, so that the
/// sequence depends only on the generator's (fully specified) output.
std::size_t uniform_index(std::mt19937_64& rng, std::size_t bound);

struct Interval {
  double low = 0;
  double high = 0;
};

/// The central 95% percentile interval (linear interpolation between order
/// statistics) of median(fresh) / median(base) over `resamples` resamples,
/// each side drawn with replacement on its own from one mt19937_64 seeded with
/// `seed`. Both samples must be non-empty and non-negative. A resample whose
/// base median is 0 gives +infinity, or 1 when its new median is 0 too.
Interval bootstrap_median_ratio(const std::vector<double>& base, const std::vector<double>& fresh,
                                std::size_t resamples = kBootstrapResamples,
                                std::uint64_t seed = kBootstrapSeed);

/// Beyond this many values on the larger side the exact distribution, whose
/// cost grows with the square of that size, gives way to the approximation.
inline constexpr std::size_t kExactLargestSample = 2000;

/// The two-sided Mann-Whitney U p-value of two non-empty samples, as
/// scipy.stats.mannwhitneyu's "auto" method computes it: exact when no value
/// is tied and a side has at most 8 values (and the other at most
/// kExactLargestSample), otherwise the normal approximation with tie and
/// continuity correction. 1 when every value is the same.
double mann_whitney_p(const std::vector<double>& x, const std::vector<double>& y);

/// The smallest two-sided p-value untied samples of these sizes can give:
/// 2 / C(n1 + n2, n1), at most 1.
double smallest_p_value(std::size_t n1, std::size_t n2);

}  // namespace tessaly::scan_compare
