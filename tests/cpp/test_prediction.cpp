#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "engine/tree/prediction.hpp"
#include "fixtures.hpp"

namespace {

using qor::Criterion;
using qor::TaskKind;
using qor::testing::model_of;
using qor::testing::Table;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Root splits column 1 at 2.0: left leaf says 10 (counts 3, 1), right leaf 20 (0, 2).
qor::QORModel stump() {
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.classes_ = {10, 20};
  model.root = std::make_unique<qor::Node>();
  auto& root = *model.root;
  root.split_feature = 1;
  root.split_threshold = 2.0;
  root.left = std::make_unique<qor::Node>();
  root.left->value = 10;
  root.left->class_counts = {3, 1};
  root.right = std::make_unique<qor::Node>();
  root.right->value = 20;
  root.right->class_counts = {0, 2};
  return model;
}

TEST(Predict, ThresholdGoesLeftAndNanGoesRight) {
  const auto model = stump();
  const Table t({{0, 2.0}, {0, 2.0000001}, {0, nan}, {99, -1}}, {});
  EXPECT_EQ(model.predict(t.X()), (std::vector<double>{10, 20, 20, 10}));
  const auto proba = model.predict_proba(t.X());
  ASSERT_EQ(proba.size(), 4u);
  EXPECT_EQ(proba[0], (std::vector<double>{0.75, 0.25}));
  EXPECT_EQ(proba[2], (std::vector<double>{0.0, 1.0}));
}

TEST(Predict, ExtraColumnsAreIgnoredAndRowsAreIndependent) {
  const auto model = stump();
  const Table narrow({{0, 1}, {0, 3}}, {});
  const Table wide({{5, 3, 7, 7}, {-5, 1, 8, 8}}, {});
  const auto a = model.predict(narrow.X());
  const auto b = model.predict(wide.X());
  EXPECT_EQ(a, (std::vector<double>{b[1], b[0]}));
}

TEST(Predict, NoRowsNeedNoTree) {
  const auto unfitted = model_of(TaskKind::Classification, Criterion::Gini);
  const Table empty(std::vector<double>{}, {});
  EXPECT_TRUE(unfitted.predict(empty.X()).empty());
  EXPECT_TRUE(unfitted.predict_proba(empty.X()).empty());
}

TEST(Predict, UnfittedModelRefusesRows) {
  const auto unfitted = model_of(TaskKind::Classification, Criterion::Gini);
  const Table one({1.0}, {});
  EXPECT_THROW(unfitted.predict(one.X()), std::logic_error);
  EXPECT_THROW(unfitted.predict_proba(one.X()), std::logic_error);
}

TEST(Predict, TooFewColumnsAreRefusedNamingBoth) {
  const auto model = stump();
  const Table one_column({1.0}, {});
  try {
    model.predict(one_column.X());
    FAIL() << "read past the row";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(),
                 "X has 1 columns, but the tree splits on feature 1 and needs at least 2");
  }
  EXPECT_THROW(model.predict_proba(one_column.X()), std::invalid_argument);
}

TEST(PredictProba, ShortOrEmptyCountsReadAsZeros) {
  auto model = stump();
  model.classes_ = {10, 20, 30};  // as after a refit that failed part-way
  model.root->right->class_counts = {};
  const Table t({{0, 1}, {0, 3}}, {});
  const auto proba = model.predict_proba(t.X());
  EXPECT_EQ(proba[0], (std::vector<double>{0.75, 0.25, 0.0}));
  EXPECT_EQ(proba[1], (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(PredictProba, RegressionRowsAreEmpty) {
  const Table t({1, 2, 3, 4}, {1, 2, 3, 4});
  auto model = model_of(TaskKind::Regression, Criterion::Mse);
  model.fit(t.X(), t.Y());
  for (const auto& row : model.predict_proba(t.X())) EXPECT_TRUE(row.empty());
}

TEST(Predict, TrainingRowsReachTheLeafHoldingThem) {
  const Table t({{3, 1}, {1, 4}, {4, 1}, {1, 5}, {5, 9}, {9, 2}, {2, 6}, {6, 5}},
                {0, 1, 1, 0, 1, 2, 2, 0});
  auto model = model_of(TaskKind::Classification, Criterion::Entropy, 3);
  model.fit(t.X(), t.Y());
  for (std::size_t i = 0; i < t.y.size(); ++i) {
    const qor::Node& leaf = qor::leaf_for_row(t.X(), i, *model.root);
    EXPECT_NE(std::find(leaf.indices.begin(), leaf.indices.end(), i), leaf.indices.end());
  }
}

// The leaf of one row by the rule itself, one node at a time.
std::int64_t walk(const qor::TreeView& tree, const qor::FeatureMatrix& X, std::int32_t row) {
  std::int64_t node = 0;
  while (tree.children_left[static_cast<std::size_t>(node)] >= 0) {
    const auto at = static_cast<std::size_t>(node);
    const double x = X.at(row, static_cast<std::int32_t>(tree.feature[at]));
    const bool categorical =
        !tree.category_start.empty() && tree.category_end[at] > tree.category_start[at];
    const bool left =
        categorical ? qor::contains_category(
                          tree.categories_left.subspan(
                              static_cast<std::size_t>(tree.category_start[at]),
                              static_cast<std::size_t>(tree.category_end[at] - tree.category_start[at])),
                          x)
                    : x <= tree.threshold[at];
    node = left ? tree.children_left[at] : tree.children_right[at];
  }
  return node;
}

// Rows routed in blocks, level by level, reach the leaves a row-by-row walk
// reaches: numbers, NaN, categories seen and unseen, on any thread count, in
// grown trees and in trees whose right child does not follow its left one.
TEST(BlockRouting, ReachesTheLeafOfTheRowByRowWalk) {
  std::mt19937_64 rng(17);
  const std::int32_t rows = 3000;
  std::vector<double> x(static_cast<std::size_t>(rows) * 3);
  std::vector<double> y(rows);
  for (std::int32_t r = 0; r < rows; ++r) {
    double* row = x.data() + static_cast<std::size_t>(r) * 3;
    row[0] = std::normal_distribution<double>()(rng);
    row[1] = static_cast<double>(rng() % 7);  // category codes
    row[2] = rng() % 9 == 0 ? nan : std::normal_distribution<double>()(rng);
    y[static_cast<std::size_t>(r)] = (row[0] + (row[1] > 3 ? 1 : 0) + std::normal_distribution<double>()(rng) > 0.5) ? 1 : 0;
  }
  qor::TreeParams params;
  params.n_classes = 2;
  params.max_depth = 9;
  params.categorical = {0, 1, 0};
  const qor::FeatureMatrix X{x.data(), rows, 3, true};
  const qor::FlatTree grown = qor::grow_tree(X, {y.data(), rows}, nullptr, params);
  ASSERT_TRUE(std::any_of(grown.category_end.begin(), grown.category_end.end(),
                          [](std::int64_t e) { return e > 0; }));
  // Unseen categories and NaN in the rows routed.
  std::vector<double> z = x;
  for (std::size_t i = 1; i < z.size(); i += 3 * 5) z[i] = i % 2 == 0 ? 11.0 : nan;
  const qor::FeatureMatrix Z{z.data(), rows, 3, true};

  // A chain whose right children sit before their left ones' ids: 0 -> (2, 1), 1 -> (4, 3).
  const std::vector<std::int64_t> left{2, 4, -1, -1, -1};
  const std::vector<std::int64_t> right{1, 3, -1, -1, -1};
  const std::vector<std::int64_t> feature{0, 2, -2, -2, -2};
  const std::vector<double> threshold{0.0, 0.5, -2, -2, -2};
  const qor::TreeView crossed{left, right, feature, threshold, {}, {}, {}};

  for (const qor::TreeView& tree : {qor::TreeView::of(grown), crossed}) {
    const std::size_t nodes = tree.children_left.size();
    std::vector<double> value(nodes * 2);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<double>(i % 5);
    for (const int threads : {1, 3}) {
      std::vector<std::int64_t> leaves(rows);
      qor::apply_rows(tree, Z, leaves, threads);
      std::vector<std::int64_t> argmax(rows);
      qor::leaf_argmax(tree, value, 2, Z, argmax, threads);
      std::vector<double> values(static_cast<std::size_t>(rows) * 2);
      qor::leaf_values(tree, value, 2, Z, values, threads);
      const qor::Paths paths = qor::decision_paths(tree, Z, threads);
      for (std::int32_t r = 0; r < rows; ++r) {
        const auto i = static_cast<std::size_t>(r);
        const std::int64_t want = walk(tree, Z, r);
        ASSERT_EQ(leaves[i], want) << "row " << r;
        const double* v = value.data() + static_cast<std::size_t>(want) * 2;
        EXPECT_EQ(argmax[i], v[1] > v[0] ? 1 : 0);
        EXPECT_EQ(values[2 * i + 1], v[1]);
        EXPECT_EQ(paths.nodes[static_cast<std::size_t>(paths.offsets[i + 1] - 1)], want);
      }
    }
  }
}

// A split's left categories, whatever a saved tree holds in their list (whole
// codes over several words, fractions, negative or huge values, an unsorted
// list, NaN), send every value where the list's own search sends it.
TEST(BlockRouting, CategorySetsRouteAsTheirListsDo) {
  const std::vector<std::vector<double>> sets{
      {0, 3, 64, 65, 127}, {0, 0, 7}, {2.5, 4}, {-1, 2}, {5, 3}, {1e12}, {nan, 1}};
  const std::vector<double> xs{-0.0, 0, 1,   2,     2.5, 3,   4,     5,      7,   63, 64,
                               65,   127, 128, 1e12, -1,  nan, 1e300, 3.0000001, 4096};
  const qor::FeatureMatrix X{xs.data(), static_cast<std::int32_t>(xs.size()), 1, true};
  for (const auto& set : sets) {
    const std::vector<std::int64_t> left{1, -1, -1}, right{2, -1, -1}, feature{0, -2, -2};
    const std::vector<double> threshold{0.0, -2, -2};
    const std::vector<std::int64_t> start{0, 0, 0};
    const std::vector<std::int64_t> end{static_cast<std::int64_t>(set.size()), 0, 0};
    const qor::TreeView tree{left, right, feature, threshold, start, end, set};
    std::vector<std::int64_t> leaves(xs.size());
    qor::apply_rows(tree, X, leaves, 1);
    for (std::int32_t r = 0; r < X.rows; ++r) {
      EXPECT_EQ(leaves[static_cast<std::size_t>(r)], walk(tree, X, r))
          << "x = " << xs[static_cast<std::size_t>(r)] << ", list starting " << set[0];
    }
  }
}

TEST(BlockRouting, RefusesATreeWhoseChildrenDoNotFollowItBeforeReadingARow) {
  const std::vector<std::int64_t> left{1, 0, -1};
  const std::vector<std::int64_t> right{2, 2, -1};
  const std::vector<std::int64_t> feature{0, 0, -2};
  const std::vector<double> threshold{0.0, 0.0, -2};
  const qor::TreeView loop{left, right, feature, threshold, {}, {}, {}};
  const Table t({1.0}, {});
  std::vector<std::int64_t> leaves(1);
  try {
    qor::apply_rows(loop, t.X(), leaves, 1);
    FAIL() << "walked a tree that loops";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "tree arrays are not a tree: node 1 has children that do not follow it");
  }
}

}  // namespace
