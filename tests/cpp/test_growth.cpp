#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "fixtures.hpp"

namespace {

using qor::Criterion;
using qor::Node;
using qor::TaskKind;
using qor::testing::model_of;
using qor::testing::Table;
using Depths = std::map<std::int32_t, std::int32_t>;
using Rows = std::vector<std::size_t>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

const Table four_rows({{1, 9}, {2, 8}, {3, 7}, {4, 6}}, {0, 0, 1, 1});

TEST(Fit, NonPositiveMaxDepthGivesOneLeaf) {
  for (const std::int32_t depth : {0, -1, -2147483647 - 1}) {
    auto model = model_of(TaskKind::Classification, Criterion::Gini, depth);
    model.fit(four_rows.X(), four_rows.Y());
    ASSERT_NE(model.root, nullptr);
    EXPECT_TRUE(model.root->is_leaf());
    EXPECT_TRUE(model.root->is_finalized);
    EXPECT_EQ(model.root->indices, (Rows{0, 1, 2, 3}));
    EXPECT_EQ(model.root->class_counts, (std::vector<double>{2, 2}));
    EXPECT_TRUE(model.depth_features_.empty());
  }
}

TEST(Fit, DepthOneSplitsOnlyTheRoot) {
  const Table t({1, 2, 3, 4, 5, 6}, {0, 1, 0, 1, 0, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini, 1);
  model.fit(t.X(), t.Y());
  ASSERT_FALSE(model.root->is_leaf());
  EXPECT_TRUE(model.root->left->is_leaf());
  EXPECT_TRUE(model.root->right->is_leaf());
  EXPECT_EQ(model.depth_features_, (Depths{{0, 0}}));
}

TEST(Fit, SplitNodesKeepRowsAndChildrenPartitionThemInOrder) {
  const Table t({5, 1, 4, 2, 3, 6}, {1, 0, 1, 0, 0, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.fit(t.X(), t.Y());
  const Node& root = *model.root;
  EXPECT_TRUE(root.is_split);
  EXPECT_FALSE(root.is_finalized);
  EXPECT_EQ(root.value, 0.0);
  EXPECT_TRUE(root.class_counts.empty());
  EXPECT_EQ(root.split_threshold, 3.5);
  EXPECT_EQ(root.indices, (Rows{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(root.left->indices, (Rows{1, 3, 4}));
  EXPECT_EQ(root.right->indices, (Rows{0, 2, 5}));
  EXPECT_EQ(root.left->value, 0.0);
  EXPECT_EQ(root.right->class_counts, (std::vector<double>{0, 3}));
}

TEST(Fit, DegenerateInputsGiveOneLeaf) {
  struct Case {
    Table table;
    TaskKind task;
  };
  const std::vector<Case> cases{
      {Table(std::vector<double>{}, {}), TaskKind::Classification},     // no rows
      {Table({1, 2, 3}, {4, 4, 4}), TaskKind::Regression},              // pure
      {Table({{}, {}, {}}, {0, 1, 0}), TaskKind::Classification},       // no columns
      {Table({-0.0, 0.0, -0.0}, {1, 0, 1}), TaskKind::Classification},  // constant
  };
  for (const auto& c : cases) {
    auto model = model_of(c.task, Criterion::Gini);
    model.fit(c.table.X(), c.table.Y());
    ASSERT_NE(model.root, nullptr);
    EXPECT_TRUE(model.root->is_leaf());
    EXPECT_TRUE(model.root->is_finalized);
    EXPECT_TRUE(model.depth_features_.empty());
    EXPECT_EQ(model.n_features, c.table.cols);
  }
}

// Where the midpoint of two neighbouring values falls outside their gap (it
// rounds up to the larger of adjacent doubles, or overflows), the threshold is
// the smaller value, so the split routes exactly the rows that were scored.
TEST(Fit, ThresholdsRouteTheScoredRowsWhereMidpointsRound) {
  const double a = 1.0 + std::ldexp(1.0, -52);
  const double b = 1.0 + std::ldexp(1.0, -51);
  ASSERT_EQ((a + b) * 0.5, b);
  const double big = 1.7e308;
  ASSERT_TRUE(std::isinf(1e308 + big));
  for (const auto& [lo, hi] : {std::pair{a, b}, std::pair{1e308, big}, std::pair{-big, -1e308}}) {
    const Table t({lo, hi, lo}, {0, 1, 0});
    auto model = model_of(TaskKind::Classification, Criterion::Gini);
    model.fit(t.X(), t.Y());
    ASSERT_FALSE(model.root->is_leaf()) << lo;
    EXPECT_EQ(model.root->split_threshold, lo);
    EXPECT_EQ(model.root->left->indices, (Rows{0, 2}));
    EXPECT_EQ(model.depth_features_, (Depths{{0, 0}}));
  }
}

TEST(Fit, OneRowNodesArePureLeavesWhateverMinSamplesSplit) {
  const Table t({1, 2}, {0, 1});
  for (const std::int32_t mss : {1, 0, -5}) {
    auto model = model_of(TaskKind::Classification, Criterion::Gini, 5, mss);
    model.fit(t.X(), t.Y());
    ASSERT_FALSE(model.root->is_leaf());
    EXPECT_TRUE(model.root->left->is_leaf());
    EXPECT_EQ(model.root->left->indices, (Rows{0}));
  }
}

TEST(Fit, NanFeatureValuesGoRight) {
  const Table t({1, nan, 2, 3}, {0, 1, 0, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini, 1);
  model.fit(t.X(), t.Y());
  ASSERT_FALSE(model.root->is_leaf());
  EXPECT_EQ(model.root->split_threshold, 2.5);
  EXPECT_EQ(model.root->right->indices, (Rows{1, 3}));
}

TEST(Fit, RefitReplacesEverythingOfTheLastFit) {
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  const Table deep({1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 0, 1, 0, 1, 0, 1});
  model.fit(deep.X(), deep.Y());
  EXPECT_GT(model.depth_features_.size(), 1u);
  const Table shallow({1, 2}, {3, 5});
  model.fit(shallow.X(), shallow.Y());
  EXPECT_EQ(model.depth_features_, (Depths{{0, 0}}));
  EXPECT_EQ(model.classes_, (std::vector<double>{3, 5}));

  auto regression = model_of(TaskKind::Regression, Criterion::Mse);
  regression.classes_ = {1.0};
  regression.fit(shallow.X(), shallow.Y());
  EXPECT_TRUE(regression.classes_.empty());
}

TEST(Fit, ClassesCountTargetsBeyondTheRows) {
  Table t({1, 2}, {2, 1});
  t.y.push_back(9);
  t.y.push_back(-0.0);
  t.y.push_back(0.0);
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.fit(t.X(), t.Y());
  EXPECT_EQ(model.classes_, (std::vector<double>{0, 1, 2, 9}));
  ASSERT_FALSE(model.root->is_leaf());
  EXPECT_EQ(model.root->left->class_counts, (std::vector<double>{0, 0, 1, 0}));
}

TEST(Fit, RejectsWhatItCannotReadBeforeChangingAnything) {
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.fit(four_rows.X(), four_rows.Y());
  const Node* before = model.root.get();

  Table short_y = four_rows;
  short_y.y.pop_back();
  EXPECT_THROW(model.fit(short_y.X(), short_y.Y()), std::invalid_argument);
  Table nan_label = four_rows;
  nan_label.y.push_back(nan);  // beyond the rows still counts for classes_
  EXPECT_THROW(model.fit(nan_label.X(), nan_label.Y()), std::invalid_argument);

  EXPECT_EQ(model.root.get(), before);
  EXPECT_EQ(model.n_features, 2);
  EXPECT_EQ(model.classes_, (std::vector<double>{0, 1}));
}

TEST(Fit, RegressionAcceptsNanTargets) {
  const Table t({1, 2, 3, 4}, {nan, 1, 2, 3});
  auto model = model_of(TaskKind::Regression, Criterion::Mse);
  model.fit(t.X(), t.Y());
  ASSERT_NE(model.root, nullptr);
}

TEST(Fit, TallTreesGrowAndRelease) {
  // Doubling targets make the best cut peel the top rows off at every level,
  // so the tree is about half as high as there are rows.
  const std::int32_t n = 500;
  std::vector<double> x(n);
  std::vector<double> y(n);
  for (std::int32_t i = 0; i < n; ++i) {
    x[static_cast<std::size_t>(i)] = i;
    y[static_cast<std::size_t>(i)] = std::ldexp(1.0, i);
  }
  const Table t(x, y);
  auto model = model_of(TaskKind::Regression, Criterion::Mse, n);
  model.fit(t.X(), t.Y());
  EXPECT_GT(model.depth_features_.size(), 200u);
}

TEST(PartitionRows, KeepsOrderAndSendsNanRight) {
  const Table t({3, nan, 1, 2, 2}, {0, 0, 0, 0, 0});
  const auto node = qor::testing::node_with_rows(0, 5);
  Rows left{99};
  Rows right{98, 97};
  qor::partition_rows(t.X(), *node, 0, 2.0, left, right);
  EXPECT_EQ(left, (Rows{2, 3, 4}));
  EXPECT_EQ(right, (Rows{0, 1}));
  qor::partition_rows(t.X(), *node, 0, nan, left, right);
  EXPECT_TRUE(left.empty());
  EXPECT_EQ(right.size(), 5u);
}

}  // namespace
