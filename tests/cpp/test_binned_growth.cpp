#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "engine/binned/binned_growth.hpp"
#include "engine/exact/exact_growth.hpp"
#include "engine/native/model.hpp"
#include "fixtures.hpp"

namespace {

using qor::BinnedFit;
using qor::Criterion;
using qor::FlatTree;
using qor::Node;
using qor::TreeParams;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct Data {
  std::vector<double> x;  // row-major
  std::vector<double> y;
  std::vector<double> w;  // empty: unit weights
  std::int32_t rows = 0;
  std::int32_t cols = 0;

  qor::FeatureMatrix X() const { return {x.data(), rows, cols, true}; }
  qor::TargetVector Y() const { return {y.data(), rows}; }
  const double* weights() const { return w.empty() ? nullptr : w.data(); }
};

// Column c takes 3 * (c + 1) + 1 distinct values, halves included; targets lean
// on column 0. `classes` > 0: class codes; 0: integer targets.
Data few_values(std::mt19937_64& rng, std::int32_t rows, std::int32_t cols, std::int32_t classes) {
  Data d{{}, {}, {}, rows, cols};
  std::normal_distribution<double> noise;
  for (std::int32_t r = 0; r < rows; ++r) {
    for (std::int32_t c = 0; c < cols; ++c) {
      d.x.push_back(std::uniform_int_distribution<int>(0, 3 * (c + 1))(rng) * 0.5);
    }
    const double lean = d.x[static_cast<std::size_t>(r * cols)];
    d.y.push_back(classes > 0 ? (lean + noise(rng) > 1.5 ? 1.0 : 0.0)
                              : std::round(lean * 3 + noise(rng) * 4));
  }
  return d;
}

TreeParams params_of(Criterion criterion, std::int32_t classes, std::int32_t max_depth = 6,
                     std::int32_t min_samples_split = 2, std::int32_t min_samples_leaf = 1) {
  TreeParams p;
  p.criterion = criterion;
  p.n_classes = classes;
  p.max_depth = max_depth;
  p.min_samples_split = min_samples_split;
  p.min_samples_leaf = min_samples_leaf;
  return p;
}

BinnedFit fit(const Data& d, const TreeParams& params, std::int32_t max_bins = 255,
              std::int32_t sample_rows = 200000) {
  return qor::fit_binned(d.X(), d.Y(), d.weights(), params, {max_bins, sample_rows, 11});
}

// Node by node in breadth-first order: the same splits, and every leaf holds
// the rows the exact tree's leaf holds, with the same value.
void expect_same_as_exact(const BinnedFit& binned, const qor::QORModel& exact, const Data& d) {
  const FlatTree& tree = binned.tree;
  std::map<std::int32_t, std::int32_t> depths;
  for (std::size_t k = 0; k < tree.depth_features.size(); ++k) {
    depths[static_cast<std::int32_t>(k)] = tree.depth_features[k];
  }
  EXPECT_EQ(depths, exact.depth_features_);
  std::vector<std::vector<std::size_t>> leaf_rows(tree.node_count());
  for (std::size_t r = 0; r < binned.node.size(); ++r) {
    leaf_rows[static_cast<std::size_t>(binned.node[r])].push_back(r);
  }
  std::deque<std::pair<std::size_t, const Node*>> pending{{0, exact.root.get()}};
  std::size_t visited = 0;
  while (!pending.empty()) {
    const auto [id, node] = pending.front();
    pending.pop_front();
    ++visited;
    ASSERT_EQ(tree.is_leaf(id), node->is_leaf()) << "node " << id;
    EXPECT_EQ(tree.n_node_samples[id], static_cast<std::int64_t>(node->indices.size()));
    if (!node->is_leaf()) {
      EXPECT_EQ(tree.feature[id], node->split_feature) << "node " << id;
      EXPECT_TRUE(same_bits(tree.threshold[id], node->split_threshold))
          << "node " << id << ": " << tree.threshold[id] << " vs " << node->split_threshold;
      pending.emplace_back(static_cast<std::size_t>(tree.children_left[id]), node->left.get());
      pending.emplace_back(static_cast<std::size_t>(tree.children_right[id]), node->right.get());
      continue;
    }
    std::vector<std::size_t> rows = node->indices;
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(leaf_rows[id], rows) << "node " << id;
    const double* value = tree.value.data() + id * static_cast<std::size_t>(tree.value_width);
    if (node->class_counts.empty()) {
      EXPECT_TRUE(same_bits(value[0], node->value)) << value[0] << " vs " << node->value;
      continue;
    }
    for (std::size_t c = 0; c < node->class_counts.size(); ++c) {
      const auto n = static_cast<double>(node->indices.size());
      EXPECT_TRUE(
          same_bits(value[static_cast<std::size_t>(exact.classes_[c])], node->class_counts[c] / n));
    }
  }
  EXPECT_EQ(visited, tree.node_count());
  (void)d;
}

using ExactCase = std::tuple<Criterion, std::tuple<int, int, int>>;
class AgainstExactGrowth : public ::testing::TestWithParam<ExactCase> {};

void expect_same_tree(const FlatTree& a, const FlatTree& b);

// With fewer distinct values than bins every bin is one value, and binary
// classes or integer targets keep every sum exact: the trees agree to the bit.
// The native model's entropy carries a guard in its logarithm that the
// package's does not, so near ties may part them: entropy is held to the
// package's exact growth instead.
TEST_P(AgainstExactGrowth, FewDistinctValuesGiveTheExactTree) {
  const auto [criterion, limits] = GetParam();
  const auto [max_depth, min_samples_split, min_samples_leaf] = limits;
  const bool classifies = criterion != Criterion::Mse;
  std::mt19937_64 rng(static_cast<std::uint64_t>(criterion) * 100 +
                      static_cast<std::uint64_t>(max_depth));
  for (const std::int32_t rows : {1, 7, 60, 300, 2000}) {
    SCOPED_TRACE("rows " + std::to_string(rows));
    const Data d = few_values(rng, rows, 4, classifies ? 2 : 0);
    qor::QORModel exact(
        qor::ModelParams{classifies ? qor::TaskKind::Classification : qor::TaskKind::Regression,
                         criterion, max_depth, min_samples_split, min_samples_leaf});
    exact.fit(d.X(), d.Y());
    const auto params =
        params_of(criterion, classifies ? 2 : 0, max_depth, min_samples_split, min_samples_leaf);
    if (criterion == Criterion::Entropy) {
      expect_same_tree(fit(d, params).tree, qor::grow_tree(d.X(), d.Y(), nullptr, params));
    } else {
      expect_same_as_exact(fit(d, params), exact, d);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Criteria, AgainstExactGrowth,
    ::testing::Combine(::testing::Values(Criterion::Gini, Criterion::Entropy, Criterion::Mse),
                       ::testing::Values(std::tuple{6, 2, 1}, std::tuple{5, 9, 4},
                                         std::tuple{12, 1, 0})));

void expect_same_tree(const FlatTree& a, const FlatTree& b) {
  ASSERT_EQ(a.node_count(), b.node_count());
  EXPECT_EQ(a.depth_features, b.depth_features);
  EXPECT_EQ(a.children_left, b.children_left);
  EXPECT_EQ(a.feature, b.feature);
  EXPECT_EQ(a.n_node_samples, b.n_node_samples);
  const auto bitwise = [](const std::vector<double>& u, const std::vector<double>& v) {
    return u.size() == v.size() && std::equal(u.begin(), u.end(), v.begin(), same_bits);
  };
  EXPECT_TRUE(bitwise(a.threshold, b.threshold));
  EXPECT_TRUE(bitwise(a.gain, b.gain));
  EXPECT_TRUE(bitwise(a.impurity, b.impurity));
  EXPECT_TRUE(bitwise(a.weighted_n_node_samples, b.weighted_n_node_samples));
  EXPECT_TRUE(bitwise(a.value, b.value));
}

// Exact growth's FlatTree, on data with NaN and with integer weights (0
// among them): with one bin per distinct value and sums that stay whole
// numbers, the binned tree is the exact one to the bit, thresholds of the
// cuts between the numbers and NaN included.
using FlatCase = std::tuple<Criterion, bool, std::tuple<int, int, double>>;
class AgainstExactFlatTree : public ::testing::TestWithParam<FlatCase> {};

TEST_P(AgainstExactFlatTree, FewDistinctValuesWithNanGiveTheExactTree) {
  const auto [criterion, weighted, limits] = GetParam();
  const auto [min_samples_split, min_samples_leaf, min_weight_leaf] = limits;
  const std::int32_t classes = criterion == Criterion::Mse ? 0 : 3;
  std::mt19937_64 rng(static_cast<std::uint64_t>(criterion) * 10 + (weighted ? 1 : 0));
  std::uniform_real_distribution<double> unit;
  for (const std::int32_t rows : {5, 90, 1500}) {
    SCOPED_TRACE("rows " + std::to_string(rows));
    Data d = few_values(rng, rows, 4, classes);
    for (double& v : d.x) v = unit(rng) < 0.12 ? nan : v;
    for (std::int32_t r = 0; r < rows && classes > 0; ++r) {
      if (std::isnan(d.x[static_cast<std::size_t>(r * d.cols + 1)]))
        d.y[static_cast<std::size_t>(r)] = 2;
    }
    if (weighted) {
      for (std::int32_t r = 0; r < rows; ++r) d.w.push_back(std::floor(unit(rng) * 4));
      d.w[0] = 1;  // some weight, whatever the draw
    }
    TreeParams params = params_of(criterion, classes, 7, min_samples_split, min_samples_leaf);
    params.min_weight_leaf = min_weight_leaf;
    const FlatTree exact = qor::grow_tree(d.X(), d.Y(), d.weights(), params);
    expect_same_tree(fit(d, params).tree, exact);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Criteria, AgainstExactFlatTree,
    ::testing::Combine(::testing::Values(Criterion::Gini, Criterion::Entropy, Criterion::Mse),
                       ::testing::Bool(),
                       ::testing::Values(std::tuple{2, 1, 0.0}, std::tuple{10, 4, 6.0})));

// Many distinct values, NaN, real weights and targets: quantile bins from a
// sample, sibling histograms derived, and yet one tree for any thread count,
// whose thresholds send every training row of positive weight where its bins
// did (a row of weight 0 bounds no cut, and may land on either side).
TEST(BinnedGrowth, OneTreeForAnyThreadCountAndThresholdsRouteAsBins) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> unit;
  Data d{{}, {}, {}, 20000, 5};
  for (std::int32_t r = 0; r < d.rows; ++r) {
    for (std::int32_t c = 0; c < d.cols; ++c) {
      d.x.push_back(unit(rng) < 0.05 ? nan : c == 4 ? std::floor(unit(rng) * 6) : normal(rng));
    }
    d.w.push_back(unit(rng) < 0.1 ? 0.0 : unit(rng) * 3);
  }
  for (const auto& [criterion, classes] :
       {std::pair{Criterion::Gini, 3}, std::pair{Criterion::Entropy, 2},
        std::pair{Criterion::Mse, 0}}) {
    SCOPED_TRACE("criterion " + std::to_string(static_cast<int>(criterion)));
    d.y.clear();
    for (std::int32_t r = 0; r < d.rows; ++r) {
      const double lean = d.x[static_cast<std::size_t>(r * d.cols)];
      const double s = (std::isnan(lean) ? 0.0 : lean) + normal(rng);
      d.y.push_back(classes == 0 ? s * 10 : s > 0 ? std::floor(unit(rng) * classes) : 0.0);
    }
    auto params = params_of(criterion, classes, 8, 2, 5);
    params.min_weight_leaf = 1.0;
    params.n_threads = 1;
    const BinnedFit one = fit(d, params, 64, 2000);
    for (const std::int32_t threads : {2, 3}) {
      params.n_threads = threads;
      expect_same_tree(one.tree, fit(d, params, 64, 2000).tree);
    }
    const FlatTree& tree = one.tree;
    EXPECT_GT(tree.node_count(), 50u);
    for (std::int32_t r = 0; r < d.rows; ++r) {
      if (d.w[static_cast<std::size_t>(r)] == 0.0) continue;
      std::size_t id = 0;
      while (!tree.is_leaf(id)) {
        const double v = d.x[static_cast<std::size_t>(r * d.cols + tree.feature[id])];
        id = static_cast<std::size_t>(v <= tree.threshold[id] ? tree.children_left[id]
                                                              : tree.children_right[id]);
      }
      ASSERT_EQ(static_cast<std::int32_t>(id), one.node[static_cast<std::size_t>(r)])
          << "row " << r;
    }
  }
}

// The distributed fit's composition: blocks binned apart by shared edges,
// their histograms, sums and ranges added up, their rows routed apart. Sums
// of class counts are exact, so the tree is the whole table's to the bit.
TEST(BinnedGrower, BlocksGrowTheTreeOfTheWholeTable) {
  std::mt19937_64 rng(21);
  std::normal_distribution<double> normal;
  Data d{{}, {}, {}, 3000, 3};
  for (std::int32_t i = 0; i < d.rows * d.cols; ++i) d.x.push_back(i % 17 ? normal(rng) : nan);
  for (std::int32_t r = 0; r < d.rows; ++r) {
    const double s = d.x[static_cast<std::size_t>(r * d.cols + 1)] + normal(rng);
    d.y.push_back(std::isnan(s) ? 2.0 : s > 0.5 ? 1.0 : 0.0);
  }
  const auto params = params_of(Criterion::Entropy, 3, 7, 2, 3);
  const auto edges = qor::sample_edges(d.X(), {32, 500, 5}, 1);
  const qor::BinnedMatrix all = qor::bin_with_edges(d.X(), edges, 2);
  const BinnedFit whole = qor::grow_binned({&all, d.y.data(), nullptr}, params);

  struct Block {
    qor::BinnedMatrix codes;
    const double* y;
    std::vector<std::int32_t> node;
  };
  std::vector<Block> blocks;
  const auto shape = qor::StatShape::of(3, false);
  std::vector<double> totals(static_cast<std::size_t>(shape.width), 0.0);
  qor::TargetRange targets;
  std::vector<qor::BinRange> ranges(all.ranges().size());
  for (std::int32_t begin = 0; begin < d.rows; begin += 1000) {
    const qor::FeatureMatrix part{d.x.data() + begin * d.cols, 1000, d.cols, true};
    blocks.push_back({qor::bin_with_edges(part, edges, 1), d.y.data() + begin, {}});
    blocks.back().node.assign(1000, 0);
    qor::sum_rows({&blocks.back().codes, blocks.back().y, nullptr}, shape, totals, targets);
    qor::merge_ranges(ranges, blocks.back().codes.ranges());
  }
  qor::BinnedGrower grower(all.layout(), params, false, totals, targets);
  qor::HistogramBuilder builder;
  while (grower.next_level()) {
    for (Block& b : blocks) {
      qor::LevelHistograms mine(all.layout(), shape, grower.histograms().slots());
      builder.accumulate({&b.codes, b.y, nullptr}, b.node, grower.build_slots(), mine, 1);
      grower.histograms().add(mine.data());
    }
    if (!grower.choose(ranges)) break;
    const auto children = static_cast<std::size_t>(grower.routing().children);
    qor::ChildSums merged(shape, children);
    for (Block& b : blocks) {
      qor::ChildSums mine(shape, children);
      qor::route_rows({&b.codes, b.y, nullptr}, grower.routing(), b.node, mine, 1);
      for (std::size_t k = 0; k < merged.sums.size(); ++k) merged.sums[k] += mine.sums[k];
      for (std::size_t c = 0; c < children; ++c) merged.targets[c].merge(mine.targets[c]);
    }
    grower.finish_level(merged);
  }
  EXPECT_GT(grower.tree().node_count(), 30u);
  expect_same_tree(whole.tree, grower.tree());
  EXPECT_THROW(grower.finish_level(qor::ChildSums(shape, 0)), std::logic_error);
}

TEST(BinnedGrowth, IntegerWeightsActAsRepeatedRows) {
  std::mt19937_64 rng(8);
  const Data d = few_values(rng, 400, 3, 2);
  Data weighted = d;
  Data repeated{{}, {}, {}, 0, d.cols};
  for (std::int32_t r = 0; r < d.rows; ++r) {
    const int times = std::uniform_int_distribution<int>(1, 3)(rng);
    weighted.w.push_back(times);
    for (int t = 0; t < times; ++t) {
      const auto row = d.x.begin() + r * d.cols;
      repeated.x.insert(repeated.x.end(), row, row + d.cols);
      repeated.y.push_back(d.y[static_cast<std::size_t>(r)]);
      ++repeated.rows;
    }
  }
  const auto params = params_of(Criterion::Gini, 2, 6, 2, 1);
  const FlatTree a = fit(weighted, params).tree;
  const FlatTree b = fit(repeated, params).tree;
  EXPECT_EQ(a.depth_features, b.depth_features);
  EXPECT_EQ(a.feature, b.feature);
  EXPECT_EQ(a.threshold, b.threshold);
  EXPECT_EQ(a.weighted_n_node_samples, b.weighted_n_node_samples);
  EXPECT_EQ(a.value, b.value);
}

struct NanCase {
  std::vector<double> x;
  std::vector<double> y;
  double threshold;
  std::vector<std::int32_t> left_rows;
};

class NanBin : public ::testing::TestWithParam<NanCase> {};

TEST_P(NanBin, NanRowsGoRightAndMayBeCutFromNumbers) {
  const NanCase& c = GetParam();
  const Data d{c.x, c.y, {}, static_cast<std::int32_t>(c.x.size()), 1};
  const BinnedFit grown = fit(d, params_of(Criterion::Gini, 2, 1));
  ASSERT_FALSE(grown.tree.is_leaf(0));
  EXPECT_EQ(grown.tree.threshold[0], c.threshold);
  std::vector<std::int32_t> left;
  for (std::int32_t r = 0; r < d.rows; ++r) {
    if (grown.node[static_cast<std::size_t>(r)] == grown.tree.children_left[0]) left.push_back(r);
  }
  EXPECT_EQ(left, c.left_rows);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, NanBin,
    ::testing::Values(NanCase{{1, 2, 3, nan, nan, nan}, {0, 0, 0, 1, 1, 1}, 3.0, {0, 1, 2}},
                      NanCase{{1, 2, nan, 3}, {0, 0, 1, 1}, 2.5, {0, 1}},
                      NanCase{{nan, 1, nan, 1}, {1, 0, 1, 0}, 1.0, {1, 3}}));

struct Refusal {
  std::string name;
  std::function<void(TreeParams&, Data&, qor::BinningParams&)> change;
  std::string message;
};

class Refuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refuses, WhatItCannotGrowByMessage) {
  Data d{{1, 2, 3, 4}, {0, 1, 0, 1}, {}, 4, 1};
  TreeParams params = params_of(Criterion::Gini, 2);
  qor::BinningParams binning;
  GetParam().change(params, d, binning);
  try {
    qor::fit_binned(d.X(), d.Y(), d.weights(), params, binning);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().message), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, Refuses,
    ::testing::Values(
        Refusal{"Mae",
                [](TreeParams& p, Data&, qor::BinningParams&) {
                  p.criterion = Criterion::Mae;
                  p.n_classes = 0;
                },
                "median"},
        Refusal{"GiniWithoutClasses", [](TreeParams& p, Data&, auto&) { p.n_classes = 0; },
                "n_classes"},
        Refusal{"LabelBeyondTheClasses", [](TreeParams&, Data& d, auto&) { d.y[2] = 2; },
                "class code"},
        Refusal{"NegativeWeight", [](TreeParams&, Data& d, auto&) { d.w = {1, 1, -1, 1}; },
                "sample_weight"},
        Refusal{"OneBin", [](TreeParams&, Data&, auto& b) { b.max_bins = 1; }, "max_bins"}),
    [](const auto& test) { return test.param.name; });

}  // namespace
