// Categorical splits: each node orders its categories and cuts that order.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "engine/exact/cut_scanner.hpp"
#include "engine/exact/frontier_columns.hpp"
#include "engine/exact/exact_growth.hpp"
#include "engine/tree/prediction.hpp"
#include "reference_split.hpp"

namespace {

using qor::Criterion;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// A target that depends only on which of 40 categories a row has.
TEST(CategoricalGrowth, OneLevelSeparatesAnyGroupingOfCategories) {
  std::mt19937_64 rng(40);
  std::vector<int> grouping(40);
  std::iota(grouping.begin(), grouping.end(), 0);
  std::shuffle(grouping.begin(), grouping.end(), rng);  // the first 20 are class 1
  std::vector<double> x(2000);
  std::vector<double> y(2000);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const int code = static_cast<int>(rng() % 40);
    x[i] = code;
    y[i] = std::find(grouping.begin(), grouping.begin() + 20, code) != grouping.begin() + 20;
  }
  qor::TreeParams params;
  params.n_classes = 2;
  params.max_depth = 1;
  params.categorical = {1};
  const qor::FlatTree tree =
      qor::grow_tree({x.data(), 2000, 1, true}, {y.data(), 2000}, nullptr, params);
  ASSERT_EQ(tree.node_count(), 3u);
  EXPECT_TRUE(tree.is_categorical(0) && std::isnan(tree.threshold[0]));
  for (const std::size_t leaf : {1u, 2u}) {
    EXPECT_EQ(std::max(tree.value[2 * leaf], tree.value[2 * leaf + 1]), 1.0);  // pure
  }
}

struct Data {
  std::vector<double> x;  // one categorical column
  std::vector<double> y;
  std::vector<double> w;
};

// The literal cut of a categorical column: the column recoded as each
// category's place in the order (mean target, then code), cut as numbers.
qor::NodeSplit literal_cut(const Data& d, Criterion criterion, const std::vector<double>& key,
                           const std::vector<std::size_t>& rows) {
  std::vector<double> codes;
  for (const std::size_t r : rows) {
    if (!std::isnan(d.x[r])) codes.push_back(d.x[r]);
  }
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  std::stable_sort(codes.begin(), codes.end(), [&](double a, double b) {
    return key[static_cast<std::size_t>(a)] < key[static_cast<std::size_t>(b)];
  });
  std::vector<double> place(d.x.size(), nan);
  for (const std::size_t r : rows) {
    if (std::isnan(d.x[r])) continue;
    place[r] = static_cast<double>(std::find(codes.begin(), codes.end(), d.x[r]) - codes.begin());
  }
  qor::reference::Rules rules;
  rules.criterion = criterion;
  return qor::reference::find_node_threshold(
      {place.data(), static_cast<std::int32_t>(place.size()), 1, true},
      {d.y.data(), static_cast<std::int32_t>(d.y.size())}, d.w.empty() ? nullptr : d.w.data(), rows,
      0, rules);
}

class CategoricalCut : public ::testing::TestWithParam<std::tuple<Criterion, int, bool>> {};

TEST_P(CategoricalCut, IsTheBestCutOfTheOrderedCategories) {
  const auto [criterion, classes, weighted] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(criterion) * 10 +
                      static_cast<std::uint64_t>(classes));
  for (int trial = 0; trial < 30; ++trial) {
    const std::size_t n = 20 + rng() % 200;
    const int categories = 2 + static_cast<int>(rng() % 30);
    Data d;
    for (std::size_t i = 0; i < n; ++i) {
      d.x.push_back(rng() % 10 == 0 ? nan : static_cast<double>(rng() % categories));
      d.y.push_back(classes > 0 ? static_cast<double>(rng() % static_cast<unsigned>(classes))
                                : std::round(std::normal_distribution<double>()(rng) * 10) / 10);
      if (weighted) d.w.push_back(static_cast<double>(1 + rng() % 20) / 10);
    }
    std::vector<std::size_t> rows(n);
    std::iota(rows.begin(), rows.end(), std::size_t{0});
    // The orders: by mean target, or by each class's share.
    const int orders = classes > 2 ? classes : 1;
    qor::NodeSplit want;
    for (int order = 0; order < orders; ++order) {
      std::vector<double> sum(static_cast<std::size_t>(categories), 0.0);
      std::vector<double> weight(static_cast<std::size_t>(categories), 0.0);
      for (std::size_t r = 0; r < n; ++r) {
        if (std::isnan(d.x[r])) continue;
        const double w = weighted ? d.w[r] : 1.0;
        const auto c = static_cast<std::size_t>(d.x[r]);
        weight[c] += w;
        sum[c] += w * (classes > 2 ? (d.y[r] == order) : d.y[r]);
      }
      std::vector<double> key(static_cast<std::size_t>(categories), 0.0);
      for (std::size_t c = 0; c < key.size(); ++c) key[c] = weight[c] > 0 ? sum[c] / weight[c] : 0;
      const qor::NodeSplit cut = literal_cut(d, criterion, key, rows);
      if (cut.valid && (!want.valid || cut.gain > want.gain)) want = cut;
    }

    const std::vector<std::vector<std::uint32_t>> segments{{rows.begin(), rows.end()}};
    const std::int32_t features[] = {0};
    const qor::FeatureMatrix X{d.x.data(), static_cast<std::int32_t>(n), 1, true};
    const qor::TargetVector Y{d.y.data(), static_cast<std::int32_t>(n)};
    const qor::FrontierColumns columns(X, Y, segments, features, criterion);
    qor::CutScanner scanner(criterion, {}, Y, weighted ? d.w.data() : nullptr, columns);
    scanner.prepare(0);
    std::vector<double> left;
    qor::LevelRules rules;
    rules.n_classes = classes;
    const qor::NodeSplit got = scanner.best_categorical_cut(0, 0, X, rules, left);
    ASSERT_EQ(got.valid, want.valid);
    if (!want.valid) continue;
    EXPECT_EQ(got.gain, want.gain);
    // The left categories are exactly the rows the literal cut puts left.
    std::size_t left_rows = 0;
    for (const double code : d.x) left_rows += qor::contains_category(left, code);
    EXPECT_EQ(left_rows, got.left_size);
    EXPECT_TRUE(std::isnan(got.threshold));
  }
}

INSTANTIATE_TEST_SUITE_P(Criteria, CategoricalCut,
                         ::testing::Values(std::tuple{Criterion::Gini, 2, false},
                                           std::tuple{Criterion::Entropy, 2, true},
                                           std::tuple{Criterion::Gini, 4, false},
                                           std::tuple{Criterion::Entropy, 3, true},
                                           std::tuple{Criterion::Mse, 0, false},
                                           std::tuple{Criterion::Mse, 0, true},
                                           std::tuple{Criterion::Mae, 0, false},
                                           std::tuple{Criterion::Mae, 0, true}));

// A categorical and a numeric feature compete for each level on their summed
// gains; missing values and codes unseen in training go right.
TEST(CategoricalGrowth, CompetesWithNumbersAndSendsTheUnknownRight) {
  // Column 0: colour codes 0..3 (3 and 1 mean class 1); column 1: noise with one
  // weak signal. Column 0 wins the root.
  std::mt19937_64 rng(3);
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 400; ++i) {
    const int colour = static_cast<int>(rng() % 4);
    x.push_back(colour);
    x.push_back(static_cast<double>(rng() % 100));
    y.push_back(colour == 3 || colour == 1);
  }
  qor::TreeParams params;
  params.n_classes = 2;
  params.max_depth = 2;
  params.categorical = {1, 0};
  const qor::FlatTree tree =
      qor::grow_tree({x.data(), 400, 2, true}, {y.data(), 400}, nullptr, params);
  ASSERT_EQ(tree.depth_features.front(), 0);
  const std::vector<double> left(tree.categories_left.begin() + tree.category_start[0],
                                 tree.categories_left.begin() + tree.category_end[0]);
  EXPECT_TRUE(left == (std::vector<double>{0, 2}) || left == (std::vector<double>{1, 3}));
  const std::vector<double> unseen{7, 50, nan, 50, left.front(), 50};
  const qor::Paths paths =
      qor::decision_paths(qor::TreeView::of(tree), {unseen.data(), 3, 2, true}, 1);
  ASSERT_EQ(paths.offsets, (std::vector<std::int64_t>{0, 2, 4, 6})) << "pure children";
  EXPECT_EQ(paths.nodes[1], tree.children_right[0]) << "an unseen code goes right";
  EXPECT_EQ(paths.nodes[3], tree.children_right[0]) << "so does NaN";
  EXPECT_EQ(paths.nodes[5], tree.children_left[0]);
}

}  // namespace
