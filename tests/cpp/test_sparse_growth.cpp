#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "engine/exact/sparse_columns.hpp"
#include "engine/tree/prediction.hpp"

namespace {

using qor::Criterion;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A matrix held both ways: dense row-major, and compressed by columns and by rows.
struct Both {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  std::vector<double> dense;
  std::vector<std::int64_t> col_ptr, row_ptr;
  std::vector<std::int32_t> col_index, row_index;
  std::vector<double> col_data, row_data;

  // Values in {-2, ..., 2} (stored zeros among them), NaN, -0.0; `density` of the
  // entries stored, the rest implicit zeros.
  Both(std::int32_t n, std::int32_t d, double density, std::uint32_t seed) : rows(n), cols(d) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<std::uint8_t> stored(static_cast<std::size_t>(n * d), 0);
    dense.assign(static_cast<std::size_t>(n * d), 0.0);
    for (std::size_t i = 0; i < dense.size(); ++i) {
      if (u(gen) >= density) continue;
      stored[i] = 1;
      const double r = u(gen);
      dense[i] = r < 0.05 ? nan : r < 0.08 ? -0.0 : std::floor(u(gen) * 5) - 2;
    }
    compress(stored);
  }
  // `values` row-major, the entries marked in `stored` kept in the compressed forms.
  Both(std::int32_t n, std::int32_t d, std::vector<double> values,
       const std::vector<std::uint8_t>& stored)
      : rows(n), cols(d), dense(std::move(values)) {
    compress(stored);
  }
  void compress(const std::vector<std::uint8_t>& stored) {
    const std::int32_t n = rows;
    const std::int32_t d = cols;
    col_ptr.push_back(0);
    for (std::int32_t c = 0; c < d; ++c) {
      for (std::int32_t r = 0; r < n; ++r) {
        const auto i = static_cast<std::size_t>(r * d + c);
        if (stored[i] == 0) continue;
        col_index.push_back(r);
        col_data.push_back(dense[i]);
      }
      col_ptr.push_back(static_cast<std::int64_t>(col_index.size()));
    }
    row_ptr.push_back(0);
    for (std::int32_t r = 0; r < n; ++r) {
      for (std::int32_t c = 0; c < d; ++c) {
        const auto i = static_cast<std::size_t>(r * d + c);
        if (stored[i] == 0) continue;
        row_index.push_back(c);
        row_data.push_back(dense[i]);
      }
      row_ptr.push_back(static_cast<std::int64_t>(row_index.size()));
    }
  }
  qor::FeatureMatrix X() const { return {dense.data(), rows, cols, true}; }
  qor::SparseMatrix by_column() const {
    return {col_ptr.data(), col_index.data(), col_data.data(), rows, cols, true};
  }
  qor::SparseMatrix by_row() const {
    return {row_ptr.data(), row_index.data(), row_data.data(), rows, cols, false};
  }
};

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  }
  return true;
}

void expect_same_tree(const qor::FlatTree& a, const qor::FlatTree& b) {
  EXPECT_GT(a.node_count(), 3u);
  EXPECT_EQ(a.children_left, b.children_left);
  EXPECT_EQ(a.feature, b.feature);
  EXPECT_EQ(a.n_node_samples, b.n_node_samples);
  EXPECT_TRUE(same_bits(a.threshold, b.threshold));
  EXPECT_TRUE(same_bits(a.gain, b.gain));
  EXPECT_TRUE(same_bits(a.impurity, b.impurity));
  EXPECT_TRUE(same_bits(a.value, b.value));
  EXPECT_TRUE(same_bits(a.weighted_n_node_samples, b.weighted_n_node_samples));
}

struct Case {
  Criterion criterion;
  std::int32_t n_classes;  // 0: targets as they are (regression, or labels of the native model)
  int weights;             // 0 none, 1 whole numbers (0 among them), 2 real
  std::int32_t min_samples_leaf;
  int threads;
};

class SparseGrowth : public ::testing::TestWithParam<Case> {};

TEST_P(SparseGrowth, GrowsTheDenseTreeToTheBit) {
  const Case c = GetParam();
  for (std::uint32_t seed = 1; seed <= 3; ++seed) {
    const Both m(700, 7, 0.35, seed);
    std::mt19937 gen(seed + 100);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> y(700);
    std::vector<double> w(700);
    for (std::int32_t r = 0; r < 700; ++r) {
      const double a = m.dense[static_cast<std::size_t>(r * 7)];
      const double signal = (std::isnan(a) ? 1.0 : a) + u(gen) * 2;
      y[static_cast<std::size_t>(r)] =
          c.n_classes > 0 || c.criterion == Criterion::Gini ? std::floor(signal / 1.5 + 1) : signal;
      if (c.n_classes > 0) y[static_cast<std::size_t>(r)] = std::clamp(y[r], 0.0, 2.0);
      w[static_cast<std::size_t>(r)] = c.weights == 1 ? std::floor(u(gen) * 4) : u(gen) * 3;
    }
    qor::TreeParams p;
    p.criterion = c.criterion;
    p.n_classes = c.n_classes;
    p.max_depth = 6;
    p.min_samples_leaf = c.min_samples_leaf;
    p.n_threads = c.threads;
    const double* weights = c.weights == 0 ? nullptr : w.data();
    const qor::TargetVector t{y.data(), 700};
    expect_same_tree(qor::grow_tree(m.X(), t, weights, p),
                     qor::grow_tree(m.by_column(), t, weights, p));
  }
}

// One-hot groups beside valued columns: indicator columns of 1, -1, 2.5 and
// NaN (some entries stored as 0.0, rows of weight 0 among them) serve gini and
// entropy with whole weights by histograms, subtracted from the parent's on
// the top levels and added up a few nodes at a time where a level's histograms
// pass what the search may keep. A monotone indicator is scanned instead.
struct IndicatorCase {
  Criterion criterion;
  int weights;  // 0 none, 1 whole numbers (0 among them)
  std::int32_t min_samples_leaf;
  double min_weight_fraction_leaf;
  std::int32_t max_features;
  bool monotone;
  int threads;
};

class IndicatorGrowth : public ::testing::TestWithParam<IndicatorCase> {};

TEST_P(IndicatorGrowth, GrowsTheDenseTreeToTheBit) {
  const IndicatorCase c = GetParam();
  constexpr std::int32_t n = 900, groups = 12, levels = 15, valued = 3;
  constexpr std::int32_t d = groups * levels + valued;
  const double value_of[] = {1.0, -1.0, 2.5, nan};
  for (std::uint32_t seed = 1; seed <= 2; ++seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(n * d), 0.0);
    std::vector<std::uint8_t> stored(values.size(), 0);
    std::vector<double> y(n), w(n);
    for (std::int32_t r = 0; r < n; ++r) {
      std::int32_t signal = 0;
      for (std::int32_t g = 0; g < groups; ++g) {
        // Rarer levels first: a level's share falls as its number rises.
        const auto level = static_cast<std::int32_t>(levels * u(gen) * u(gen));
        const auto at = static_cast<std::size_t>(r * d + g * levels + level);
        stored[at] = 1;
        values[at] = u(gen) < 0.05 ? 0.0 : value_of[g % 4];
        signal += g < 3 && level < 4 ? 1 : 0;
      }
      for (std::int32_t k = 0; k < valued; ++k) {
        const auto at = static_cast<std::size_t>(r * d + groups * levels + k);
        stored[at] = u(gen) < 0.4 ? 1 : 0;
        values[at] = stored[at] != 0 ? std::floor(u(gen) * 5) - 2 : 0.0;
      }
      y[static_cast<std::size_t>(r)] = c.monotone
                                           ? (signal > 0 ? 1.0 : 0.0)
                                           : std::min(2.0, signal + (u(gen) < 0.2 ? 1.0 : 0.0));
      w[static_cast<std::size_t>(r)] = std::floor(u(gen) * 4);
    }
    const Both m(n, d, std::move(values), stored);
    qor::TreeParams p;
    p.criterion = c.criterion;
    p.n_classes = c.monotone ? 2 : 3;
    p.max_depth = 7;
    p.min_samples_leaf = c.min_samples_leaf;
    p.min_weight_fraction_leaf = c.min_weight_fraction_leaf;
    p.max_features = c.max_features;
    p.random_seed = seed;
    p.n_threads = c.threads;
    if (c.monotone) {
      p.monotonic_cst.assign(d, 0);
      p.monotonic_cst[0] = 1;
    }
    const double* weights = c.weights == 0 ? nullptr : w.data();
    const qor::TargetVector t{y.data(), n};
    expect_same_tree(qor::grow_tree(m.X(), t, weights, p),
                     qor::grow_tree(m.by_column(), t, weights, p));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, IndicatorGrowth,
    ::testing::Values(IndicatorCase{Criterion::Gini, 0, 1, 0.0, 0, false, 1},
                      IndicatorCase{Criterion::Gini, 1, 1, 0.0, 0, false, 2},
                      IndicatorCase{Criterion::Entropy, 0, 20, 0.0, 0, false, 1},
                      IndicatorCase{Criterion::Entropy, 1, 1, 0.05, 40, false, 2},
                      IndicatorCase{Criterion::Gini, 1, 3, 0.0, 0, true, 1}));

INSTANTIATE_TEST_SUITE_P(
    Criteria, SparseGrowth,
    ::testing::Values(Case{Criterion::Gini, 3, 0, 1, 1}, Case{Criterion::Gini, 3, 1, 1, 2},
                      Case{Criterion::Gini, 3, 2, 5, 1}, Case{Criterion::Entropy, 3, 0, 5, 2},
                      Case{Criterion::Entropy, 3, 1, 1, 1}, Case{Criterion::Gini, 0, 0, 1, 1},
                      Case{Criterion::Mse, 0, 0, 1, 2}, Case{Criterion::Mse, 0, 2, 3, 1},
                      Case{Criterion::Mae, 0, 0, 1, 1}, Case{Criterion::Mae, 0, 1, 1, 2}));

// Every segment of a partitioned column lays out as the dense frontier's run.
TEST(SparseColumns, ExpandedRunsFollowTheDenseColumnsThroughPartitions) {
  const Both m(300, 4, 0.4, 7);
  std::vector<std::uint32_t> all(300);
  for (std::uint32_t r = 0; r < 300; ++r) all[r] = r;
  const std::vector<double> y(300, 0.0);
  const std::vector<std::vector<std::uint32_t>> first{all};
  const std::vector<std::int32_t> features{0, 1, 2, 3};
  qor::FrontierColumns dense(m.X(), {y.data(), 300}, first, features, Criterion::Mse);
  qor::FrontierColumns rows(m.X(), {y.data(), 300}, first, {}, Criterion::Mse);
  qor::SparseColumns sparse(m.by_column(), all);
  std::mt19937 gen(3);
  std::vector<qor::ColumnEntry> run;
  std::vector<std::uint8_t> marked(300, 0);
  for (int level = 0; level < 4; ++level) {
    for (std::size_t s = 0; s < dense.segment_count(); ++s) {
      for (const std::int32_t f : features) {
        sparse.expand(s, f, rows.rows(s), run, marked);
        const auto expected = dense.run(s, f);
        ASSERT_EQ(run.size(), expected.size());
        for (std::size_t k = 0; k < run.size(); ++k) {
          EXPECT_EQ(run[k].row(), expected[k].row()) << "level " << level << " feature " << f;
          if (k > 0) {
            EXPECT_EQ(run[k].new_value(), expected[k].new_value());
          }
        }
      }
    }
    // Split every other segment at random; the rest leave the frontier.
    std::vector<std::uint64_t> left(5, 0);
    std::vector<qor::FrontierColumns::Split> splits;
    for (std::size_t s = 0; s < dense.segment_count(); s += 2) {
      std::size_t left_size = 0;
      for (const qor::ColumnEntry e : rows.rows(s)) {
        if (gen() % 2 == 0) continue;
        left[e.row() / 64] |= std::uint64_t{1} << (e.row() % 64);
        ++left_size;
      }
      splits.push_back({s, left_size});
    }
    dense.partition(splits, left);
    rows.partition(splits, left);
    sparse.partition(splits, left);
  }
}

TEST(SparsePrediction, RowsReadByBinarySearchReachTheDenseLeaves) {
  const Both m(500, 6, 0.3, 11);
  std::vector<double> y(500);
  for (std::size_t r = 0; r < 500; ++r) y[r] = static_cast<double>(r % 3);
  qor::TreeParams p;
  p.n_classes = 3;
  p.max_depth = 5;
  const qor::FlatTree tree = qor::grow_tree(m.X(), {y.data(), 500}, nullptr, p);
  const auto view = qor::TreeView::of(tree);
  std::vector<std::int64_t> dense(500), sparse(500);
  qor::apply_rows(view, m.X(), dense, 1);
  qor::apply_rows(view, m.by_row(), sparse, 2);
  EXPECT_EQ(dense, sparse);
  const qor::Paths a = qor::decision_paths(view, m.X(), 1);
  const qor::Paths b = qor::decision_paths(view, m.by_row(), 2);
  EXPECT_EQ(a.offsets, b.offsets);
  EXPECT_EQ(a.nodes, b.nodes);
  const qor::SparseMatrix narrow{
      m.row_ptr.data(), m.row_index.data(), m.row_data.data(), 500, 2, false};
  EXPECT_THROW(qor::apply_rows(view, narrow, sparse, 1), std::invalid_argument);
}

}  // namespace
