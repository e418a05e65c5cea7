#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "engine/exact/median_sweep.hpp"

namespace {

// Sum of |v - median| by the direct method, in ascending order from 0.0.
double direct_deviation(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t m = values.size();
  const double median = m % 2 == 1 ? values[m / 2] : (values[m / 2 - 1] + values[m / 2]) * 0.5;
  double sum = 0.0;
  for (const double v : values) sum += std::abs(v - median);
  return sum;
}

struct Sweep {
  std::vector<double> left;
  std::vector<double> right;
};

Sweep run(const std::vector<double>& sorted, const std::vector<std::uint32_t>& ranks) {
  Sweep out{std::vector<double>(ranks.size()), std::vector<double>(ranks.size())};
  qor::MedianSweep sweep;
  sweep.set_values(sorted);
  qor::MedianSweep::Parts parts = sweep.start();
  for (std::size_t k = 0; k < ranks.size(); ++k) {
    const qor::Deviations d = sweep.move(parts, ranks[k]);
    out.left[k] = d.left;
    out.right[k] = d.right;
  }
  return out;
}

TEST(MedianSweep, WorkedExample) {
  // Targets 1, 2, 3, 10 moved left in the order 10, 1, 3.
  const auto out = run({1, 2, 3, 10}, {3, 0, 2});
  EXPECT_EQ(out.left, (std::vector<double>{0, 9, 9}));   // {10}, {1,10}, {1,3,10}
  EXPECT_EQ(out.right, (std::vector<double>{2, 1, 0}));  // {1,2,3}, {2,3}, {2}
}

// Integer targets: every deviation sum is exact, so equal to the direct one.
// Reals: equal up to rounding. Repeated targets get distinct ranks.
TEST(MedianSweep, MatchesTheDirectSumsAfterEveryMove) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  for (const bool integers : {true, false}) {
    for (const std::size_t n : {2u, 3u, 64u, 65u, 130u, 1001u}) {
      std::vector<double> sorted(n);
      for (double& v : sorted) v = integers ? std::round(normal(rng) * 3) : normal(rng) * 50;
      std::sort(sorted.begin(), sorted.end());
      std::vector<std::uint32_t> ranks(n);
      std::iota(ranks.begin(), ranks.end(), 0u);
      std::shuffle(ranks.begin(), ranks.end(), rng);
      ranks.pop_back();  // the right part keeps one target
      const auto out = run(sorted, ranks);
      std::vector<bool> moved(n, false);
      for (std::size_t k = 0; k < ranks.size(); ++k) {
        moved[ranks[k]] = true;
        std::vector<double> left;
        std::vector<double> right;
        for (std::size_t i = 0; i < n; ++i) (moved[i] ? left : right).push_back(sorted[i]);
        const double want_left = direct_deviation(left);
        const double want_right = direct_deviation(right);
        if (integers) {
          ASSERT_EQ(out.left[k], want_left) << "n " << n << " step " << k;
          ASSERT_EQ(out.right[k], want_right) << "n " << n << " step " << k;
        } else {
          const double scale = 1e-12 * 50 * static_cast<double>(n);
          ASSERT_NEAR(out.left[k], want_left, scale) << "n " << n << " step " << k;
          ASSERT_NEAR(out.right[k], want_right, scale) << "n " << n << " step " << k;
        }
      }
    }
  }
}

}  // namespace
