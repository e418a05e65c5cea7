#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "engine/exact/column_order.hpp"

namespace {

using qor::ColumnEntry;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(OrderKey, FollowsTheOrderOfDoublesWithNanLast) {
  const std::vector<double> ascending{-inf, -1e300, -2.5, -1e-300, 0.0, 1e-320, 1.0, 1e300, inf};
  for (std::size_t i = 1; i < ascending.size(); ++i) {
    EXPECT_LT(qor::order_key(ascending[i - 1]), qor::order_key(ascending[i])) << ascending[i];
  }
  EXPECT_EQ(qor::order_key(-0.0), qor::order_key(0.0));
  EXPECT_LT(qor::order_key(inf), qor::order_key(nan));
  EXPECT_EQ(qor::order_key(nan), qor::order_key(-nan));
}

std::vector<ColumnEntry> sorted(const std::vector<double>& values) {
  std::vector<std::uint32_t> rows(values.size());
  std::iota(rows.begin(), rows.end(), 100u);  // rows need not be positions
  std::vector<ColumnEntry> out(values.size());
  qor::ColumnSorter sorter;
  sorter.sort(values, rows, out);
  return out;
}

// What the sort promises, checked against a stable comparison sort: the order,
// and a mark exactly where the value changes (NaN equal to NaN only).
void expect_stable_order_with_marks(const std::vector<double>& values) {
  std::vector<std::size_t> order(values.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return values[a] < values[b] || (!std::isnan(values[a]) && std::isnan(values[b]));
  });
  const auto out = sorted(values);
  ASSERT_EQ(out.size(), values.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i].row(), order[i] + 100) << "position " << i;
    if (i == 0) continue;
    const double v = values[order[i]];
    const double previous = values[order[i - 1]];
    const bool equal = v == previous || (std::isnan(v) && std::isnan(previous));
    EXPECT_EQ(out[i].new_value(), !equal) << "position " << i;
  }
}

TEST(ColumnSorter, EmptyAndSingle) {
  EXPECT_TRUE(sorted({}).empty());
  EXPECT_EQ(sorted({nan})[0].row(), 100u);
  EXPECT_EQ(sorted({-3.0})[0].row(), 100u);
}

TEST(ColumnSorter, TiesKeepInputOrderAndAreNotMarked) {
  const auto out = sorted({2, -0.0, 1, 0.0, 2, nan, -0.0, nan, 1});
  const std::vector<std::uint32_t> rows{101, 103, 106, 102, 108, 100, 104, 105, 107};
  const std::vector<bool> marks{true, false, false, true, false, true, false, true, false};
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].row(), rows[i]);
    EXPECT_EQ(out[i].new_value(), marks[i]) << "position " << i;
  }
}

// Sizes on both sides of the switch to radix passes, and values whose keys tie
// in their high 32 bits but not below (neighbouring doubles).
TEST(ColumnSorter, AgreesWithAStableSortOnRandomColumns) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> normal;
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_real_distribution<double> unit;
  for (const std::size_t n : {2u, 50u, 255u, 256u, 3000u, 70000u}) {
    std::vector<double> continuous(n);
    std::vector<double> repeated(n);
    std::vector<double> close(n);
    for (std::size_t i = 0; i < n; ++i) {
      continuous[i] = unit(rng) < 0.05 ? nan : normal(rng) * 1e3;
      repeated[i] = unit(rng) < 0.1 ? (unit(rng) < 0.5 ? -0.0 : 0.0) : small(rng);
      close[i] = std::nextafter(1.0, 2.0) + std::ldexp(static_cast<double>(small(rng)), -50);
    }
    SCOPED_TRACE(n);
    expect_stable_order_with_marks(continuous);
    expect_stable_order_with_marks(repeated);
    expect_stable_order_with_marks(close);
  }
}

// sort_high as the presort calls it, values read by row: rows that rise (with
// gaps, as rows of weight 0 leave), shuffled or repeated, give the stable order.
TEST(ColumnSorter, SortHighAgreesWithAStableSortWhateverTheRowOrder) {
  std::mt19937_64 rng(5);
  std::uniform_int_distribution<int> small(-3, 3);
  std::uniform_real_distribution<double> unit;
  for (const std::size_t n : {3u, 300u, 5000u}) {
    std::vector<double> matrix(3 * n);
    for (double& v : matrix) {
      v = unit(rng) < 0.3 ? std::nextafter(1.0, 2.0) + std::ldexp(small(rng), -50)
                          : (unit(rng) < 0.05 ? nan : small(rng) + unit(rng));
    }
    std::vector<std::uint32_t> rising(n);
    for (std::size_t i = 0; i < n; ++i) rising[i] = static_cast<std::uint32_t>(3 * i + i % 3);
    std::vector<std::uint32_t> shuffled(rising), repeated(rising);
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
    for (std::size_t i = 1; i < n; i += 7) repeated[i] = repeated[i - 1];
    for (const auto& rows : {rising, shuffled, repeated}) {
      const auto key = [&](std::size_t j) { return qor::order_key(matrix[rows[j]]); };
      std::vector<std::size_t> order(n);
      std::iota(order.begin(), order.end(), std::size_t{0});
      std::stable_sort(order.begin(), order.end(),
                       [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
      std::vector<ColumnEntry> out(n);
      qor::ColumnSorter().sort_high(
          [&](std::uint32_t j) { return static_cast<std::uint32_t>(key(j) >> 32); },
          [&](std::uint32_t row) { return &matrix[row]; }, rows, out);
      for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(out[i].row(), rows[order[i]]) << "n " << n << ", position " << i;
        ASSERT_EQ(out[i].new_value(), i == 0 || key(order[i]) != key(order[i - 1])) << i;
      }
    }
  }
}

}  // namespace
