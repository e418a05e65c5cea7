#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/binned/bins.hpp"

namespace {

using qor::BinnedMatrix;
using qor::BinningParams;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

qor::FeatureMatrix column_of(const std::vector<double>& values) {
  return {values.data(), static_cast<std::int32_t>(values.size()), 1, true};
}

// What every quantization promises: each code is its value's bin under the
// edges, each bin's range is the smallest and largest value coded into it,
// there are at most max_bins value bins, and a column with at most max_bins
// distinct numbers has one bin per distinct number.
void expect_sound(const std::vector<double>& values, const BinnedMatrix& binned,
                  std::int32_t max_bins) {
  const auto& edges = binned.edges(0);
  EXPECT_LE(edges.value_bins(), max_bins);
  std::vector<double> lo(static_cast<std::size_t>(edges.bin_count()), qor::BinRange{}.lo);
  std::vector<double> hi(lo.size(), qor::BinRange{}.hi);
  std::set<double> distinct;
  for (std::int32_t r = 0; r < binned.rows(); ++r) {
    const double v = values[static_cast<std::size_t>(r)];
    const std::int32_t code = binned.code(0, r);
    ASSERT_EQ(code, edges.bin_of(v)) << "row " << r;
    if (std::isnan(v)) {
      EXPECT_EQ(code, edges.nan_bin());
      continue;
    }
    distinct.insert(v);
    lo[static_cast<std::size_t>(code)] = std::min(lo[static_cast<std::size_t>(code)], v);
    hi[static_cast<std::size_t>(code)] = std::max(hi[static_cast<std::size_t>(code)], v);
  }
  for (std::int32_t b = 0; b < edges.value_bins(); ++b) {
    const auto& range = binned.ranges()[static_cast<std::size_t>(b)];
    EXPECT_EQ(range.lo, lo[static_cast<std::size_t>(b)]) << "bin " << b;
    EXPECT_EQ(range.hi, hi[static_cast<std::size_t>(b)]) << "bin " << b;
    if (distinct.size() <= static_cast<std::size_t>(max_bins) && !range.empty()) {
      EXPECT_EQ(range.lo, range.hi) << "bin " << b << " holds two of few distinct values";
    }
  }
}

struct ColumnCase {
  std::string name;
  std::vector<double> values;
  std::int32_t max_bins;
  std::int32_t value_bins;  // expected, or -1 when only bounded by max_bins
};

class Quantize : public ::testing::TestWithParam<ColumnCase> {};

TEST_P(Quantize, CodesAndRangesFollowTheEdges) {
  const ColumnCase& c = GetParam();
  for (const std::int32_t threads : {1, 2}) {
    const BinnedMatrix binned =
        qor::quantize(column_of(c.values), {c.max_bins, 200000, 0}, threads);
    expect_sound(c.values, binned, c.max_bins);
    if (c.value_bins >= 0) {
      EXPECT_EQ(binned.edges(0).value_bins(), c.value_bins);
    }
  }
}

std::vector<double> repeated(std::initializer_list<std::pair<double, int>> counts) {
  std::vector<double> out;
  for (const auto& [value, count] : counts) out.insert(out.end(), count, value);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Columns, Quantize,
    ::testing::Values(
        ColumnCase{"FewDistinct", {3, 1, 2, 3, 1, 2}, 255, 3},
        ColumnCase{"SignedZerosShareABin", {-0.0, 0.0, 1, -0.0}, 255, 2},
        ColumnCase{"NanKeepsItsOwnBin", {nan, 1, nan, 2, 1}, 255, 2},
        ColumnCase{"AllNan", {nan, nan, nan}, 255, 1}, ColumnCase{"Constant", {7, 7, 7, 7}, 4, 1},
        ColumnCase{"Empty", {}, 255, 1}, ColumnCase{"Infinities", {-inf, 0, inf, 1, inf}, 255, 4},
        // More distinct values than bins: a heavy tie takes a bin to itself.
        ColumnCase{
            "HeavyTies",
            repeated(
                {{1, 1}, {2, 1}, {3, 40}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}, {10, 1}}),
            4, -1},
        ColumnCase{"ManyDistinct",
                   [] {
                     std::vector<double> v;
                     for (int i = 0; i < 1000; ++i) v.push_back(std::sin(i) * 100);
                     return v;
                   }(),
                   16, 16}),
    [](const auto& test) { return test.param.name; });

TEST(Quantize, HeavyTieGetsABinOfItsOwn) {
  const auto values = repeated({{1, 1}, {2, 1}, {3, 40}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}});
  const BinnedMatrix binned = qor::quantize(column_of(values), {4, 200000, 0}, 1);
  const auto three = static_cast<std::size_t>(binned.edges(0).bin_of(3));
  EXPECT_EQ(binned.ranges()[three].lo, 3);
  EXPECT_EQ(binned.ranges()[three].hi, 3);
}

TEST(Quantize, ValuesTheSampleMissedStillGetBinsOfTheirOwn) {
  // A sample of 50 rows out of 5,000 almost surely misses the three rare values.
  std::vector<double> values(5000);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i % 5);
  values[1234] = 2.5;
  values[4321] = -1;
  values[4999] = 99;
  const BinnedMatrix binned = qor::quantize(column_of(values), {255, 50, 7}, 2);
  expect_sound(values, binned, 255);
  EXPECT_EQ(binned.edges(0).value_bins(), 8);
}

TEST(Quantize, MoreThan255BinsWidenTheCodes) {
  std::vector<double> values;
  for (int i = 0; i < 700; ++i) values.push_back(i % 600);
  const BinnedMatrix wide = qor::quantize(column_of(values), {1000, 200000, 0}, 2);
  EXPECT_FALSE(wide.narrow());
  EXPECT_EQ(wide.edges(0).value_bins(), 600);
  expect_sound(values, wide, 1000);
  EXPECT_TRUE(qor::quantize(column_of(values), {255, 200000, 0}, 1).narrow());
}

TEST(EdgesFromCandidates, RefusesWhatIsNoSketch) {
  const std::vector<double> one{1.0};
  EXPECT_THROW(qor::edges_from_candidates(std::vector<double>{2, 1}, std::vector<double>{1, 1}, 4),
               std::invalid_argument);
  EXPECT_THROW(qor::edges_from_candidates(std::vector<double>{nan}, one, 4), std::invalid_argument);
  EXPECT_THROW(qor::edges_from_candidates(one, std::vector<double>{0.0}, 4), std::invalid_argument);
  for (const std::int32_t max_bins : {1, 65536}) {
    EXPECT_THROW(qor::edges_from_candidates(one, one, max_bins), std::invalid_argument);
  }
  qor::FeatureEdges unordered;
  unordered.upper = {2.0, 1.0, inf};
  EXPECT_THROW(BinnedMatrix({unordered}, 3), std::invalid_argument);
}

}  // namespace

namespace {

// A matrix restored from another's codes and ranges codes every row alike,
// in either code width, and refuses codes that name no bin of their feature.
TEST(BinnedMatrixRestore, TakesOverCodesAndRefusesCodesBeyondTheBins) {
  std::vector<double> values;
  for (int i = 0; i < 700; ++i) values.push_back(i % 13 == 0 ? nan : (i * 37) % 600);
  for (const std::int32_t max_bins : {8, 400}) {
    const BinnedMatrix source = qor::quantize(column_of(values), {max_bins, 1000, 0}, 1);
    BinnedMatrix copy({source.edges(0)}, source.rows());
    std::vector<std::uint16_t> codes;
    for (std::int32_t r = 0; r < source.rows(); ++r) {
      codes.push_back(static_cast<std::uint16_t>(source.code(0, r)));
    }
    if (source.narrow()) {
      const std::vector<std::uint8_t> narrow(codes.begin(), codes.end());
      EXPECT_THROW(copy.restore(codes, source.ranges()), std::invalid_argument);
      copy.restore(narrow, source.ranges());
    } else {
      copy.restore(codes, source.ranges());
    }
    for (std::int32_t r = 0; r < source.rows(); ++r) ASSERT_EQ(copy.code(0, r), source.code(0, r));
    for (std::size_t b = 0; b < source.ranges().size(); ++b) {
      EXPECT_EQ(copy.ranges()[b].lo, source.ranges()[b].lo);
    }
    codes[5] = static_cast<std::uint16_t>(source.edges(0).bin_count());
    const std::vector<std::uint8_t> narrow(codes.begin(), codes.end());
    EXPECT_THROW(source.narrow() ? copy.restore(narrow, source.ranges())
                                 : copy.restore(codes, source.ranges()),
                 std::invalid_argument);
  }
}

}  // namespace

namespace {

// A sparse column quantizes as its dense form: the same edges, codes and
// ranges, with the codes of unstored rows read as the bin of 0.0.
TEST(SparseBins, EqualTheBinsOfTheDenseMatrix) {
  const std::int32_t rows = 400;
  std::vector<double> dense(static_cast<std::size_t>(rows) * 3, 0.0);  // column after column
  std::vector<std::int64_t> indptr{0};
  std::vector<std::int32_t> indices;
  std::vector<double> data;
  std::vector<double> weights(static_cast<std::size_t>(rows), 1.0);
  for (std::int32_t f = 0; f < 3; ++f) {
    for (std::int32_t r = 0; r < rows; ++r) {
      if ((r * 7 + f * 3) % (f + 4) != 0) continue;  // about a quarter stored
      const double v = r % 11 == 0 ? nan : (r % 5 == 0 ? 0.0 : ((r * 13 + f) % 29) - 9.0);
      indices.push_back(r);
      data.push_back(v);
      dense[static_cast<std::size_t>(f) * rows + static_cast<std::size_t>(r)] = v;
    }
    indptr.push_back(static_cast<std::int64_t>(indices.size()));
  }
  for (std::int32_t r = 0; r < rows; r += 9) weights[static_cast<std::size_t>(r)] = 0.0;
  const qor::SparseMatrix sparse{indptr.data(), indices.data(), data.data(), rows, 3, true};
  const qor::FeatureMatrix matrix{dense.data(), rows, 3, false};
  for (const std::int32_t max_bins : {2, 6, 255}) {
    for (const double* w : std::vector<const double*>{nullptr, weights.data()}) {
      BinningParams params;
      params.max_bins = max_bins;
      params.sample_rows = 150;  // edges from a sample, then exact bins where few values
      const BinnedMatrix a = qor::quantize(matrix, params, 2, w);
      const BinnedMatrix b = qor::quantize(sparse, params, 2, w);
      ASSERT_TRUE(b.sparse());
      for (std::int32_t f = 0; f < 3; ++f) {
        ASSERT_EQ(a.edges(f).upper, b.edges(f).upper) << "feature " << f << ", " << max_bins;
        std::vector<std::uint8_t> scratch;
        const auto column = b.column(f, scratch);
        for (std::int32_t r = 0; r < rows; ++r) {
          ASSERT_EQ(a.code(f, r), b.code(f, r)) << "feature " << f << ", row " << r;
          ASSERT_EQ(column[static_cast<std::size_t>(r)], b.code(f, r));
        }
      }
      for (std::size_t i = 0; i < a.ranges().size(); ++i) {
        EXPECT_EQ(a.ranges()[i].lo, b.ranges()[i].lo) << "bin " << i;
        EXPECT_EQ(a.ranges()[i].hi, b.ranges()[i].hi) << "bin " << i;
      }
    }
  }
  EXPECT_THROW(BinnedMatrix(std::vector<qor::FeatureEdges>(2), sparse), std::invalid_argument);
}

}  // namespace
