#include "bin/scan_compare/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

namespace tessaly::scan_compare {
namespace {

// The median of the first `n` values of `values`, reordering them.
double median_in_place(std::vector<double>& values, std::size_t n) {
  const auto begin = values.begin();
  const auto middle = begin + static_cast<std::ptrdiff_t>(n / 2);
  std::nth_element(begin, middle, begin + static_cast<std::ptrdiff_t>(n));
  if (n % 2 == 1) return *middle;
  return (*std::max_element(begin, middle) + *middle) / 2;
}

// numpy's default ("linear") percentile of sorted values, q in [0, 1].
double percentile(const std::vector<double>& sorted, double q) {
  const double position = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const double fraction = position - static_cast<double>(below);
  if (fraction == 0 || below + 1 >= sorted.size() || sorted[below] == sorted[below + 1]) {
    return sorted[below];
  }
  return sorted[below] + fraction * (sorted[below + 1] - sorted[below]);
}

double standard_normal_sf(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

// How many orderings of m and n untied values give each U from 0 to m * n,
// by c(u; i, j) = c(u - j; i - 1, j) + c(u; i, j - 1).
std::vector<double> u_frequencies(std::size_t m, std::size_t n) {
  std::vector<std::vector<double>> by_size(m + 1, std::vector<double>{1.0});
  for (std::size_t j = 1; j <= n; ++j) {
    for (std::size_t i = 1; i <= m; ++i) {
      std::vector<double>& current = by_size[i];
      const std::vector<double>& smaller = by_size[i - 1];
      current.resize(i * j + 1, 0.0);
      for (std::size_t u = j; u < current.size() && u - j < smaller.size(); ++u) {
        current[u] += smaller[u - j];
      }
    }
  }
  return by_size[m];
}

}  // namespace

double median(std::vector<double> sample) { return median_in_place(sample, sample.size()); }

double median_absolute_deviation(const std::vector<double>& sample) {
  const double centre = median(sample);
  std::vector<double> deviations;
  deviations.reserve(sample.size());
  for (const double value : sample) deviations.push_back(std::fabs(value - centre));
  return median(std::move(deviations));
}

std::size_t uniform_index(std::mt19937_64& rng, std::size_t bound) {
  const std::uint64_t range = bound;
  // 2^64 mod range: draws below it would favour the small indices.
  const std::uint64_t reject_below = (0 - range) % range;
  std::uint64_t draw = rng();
  while (draw < reject_below) draw = rng();
  return static_cast<std::size_t>(draw % range);
}

Interval bootstrap_median_ratio(const std::vector<double>& base, const std::vector<double>& fresh,
                                std::size_t resamples, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> scratch(std::max(base.size(), fresh.size()));
  const auto resampled_median = [&](const std::vector<double>& sample) {
    for (std::size_t i = 0; i < sample.size(); ++i) {
      scratch[i] = sample[uniform_index(rng, sample.size())];
    }
    return median_in_place(scratch, sample.size());
  };
  std::vector<double> ratios;
  ratios.reserve(resamples);
  for (std::size_t r = 0; r < resamples; ++r) {
    const double base_median = resampled_median(base);
    const double fresh_median = resampled_median(fresh);
    if (base_median > 0) {
      ratios.push_back(fresh_median / base_median);
    } else {
      ratios.push_back(fresh_median > 0 ? std::numeric_limits<double>::infinity() : 1.0);
    }
  }
  std::sort(ratios.begin(), ratios.end());
  return {percentile(ratios, 0.025), percentile(ratios, 0.975)};
}

double mann_whitney_p(const std::vector<double>& x, const std::vector<double>& y) {
  const std::size_t n1 = x.size();
  const std::size_t n2 = y.size();
  std::vector<std::pair<double, bool>> pooled;  // value, from x
  for (const double v : x) pooled.emplace_back(v, true);
  for (const double v : y) pooled.emplace_back(v, false);
  std::sort(pooled.begin(), pooled.end());

  double x_rank_sum = 0;
  double tie_term = 0;
  for (std::size_t first = 0; first < pooled.size();) {
    std::size_t last = first;
    while (last + 1 < pooled.size() && pooled[last + 1].first == pooled[first].first) ++last;
    const double tied = static_cast<double>(last - first + 1);
    const double average_rank = static_cast<double>(first + last) / 2 + 1;
    for (std::size_t i = first; i <= last; ++i) {
      if (pooled[i].second) x_rank_sum += average_rank;
    }
    tie_term += tied * tied * tied - tied;
    first = last + 1;
  }

  const double d1 = static_cast<double>(n1);
  const double d2 = static_cast<double>(n2);
  const double u1 = x_rank_sum - d1 * (d1 + 1) / 2;
  const double u = std::max(u1, d1 * d2 - u1);

  double p = 0;
  if ((n1 <= 8 || n2 <= 8) && std::max(n1, n2) <= kExactLargestSample && tie_term == 0) {
    const std::vector<double> counts = u_frequencies(std::min(n1, n2), std::max(n1, n2));
    const double total = std::accumulate(counts.begin(), counts.end(), 0.0);
    double at_least = 0;
    for (auto k = static_cast<std::size_t>(u); k < counts.size(); ++k) at_least += counts[k];
    p = 2 * at_least / total;
  } else {
    const double n = d1 + d2;
    const double spread = std::sqrt(d1 * d2 / 12 * ((n + 1) - tie_term / (n * (n - 1))));
    if (!(spread > 0)) return 1.0;
    p = 2 * standard_normal_sf((u - d1 * d2 / 2 - 0.5) / spread);
  }
  return std::clamp(p, 0.0, 1.0);
}

double smallest_p_value(std::size_t n1, std::size_t n2) {
  const std::size_t k = std::min(n1, n2);
  const std::size_t n = n1 + n2;
  double arrangements = 1;
  for (std::size_t i = 1; i <= k; ++i) {
    arrangements = arrangements * static_cast<double>(n - k + i) / static_cast<double>(i);
  }
  return std::min(1.0, 2 / arrangements);
}

}  // namespace tessaly::scan_compare
