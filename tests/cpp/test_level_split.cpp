#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine_probes.hpp"
#include "fixtures.hpp"

namespace {

using qor::Criterion;
using qor::TaskKind;
using qor::testing::model_of;
using qor::testing::node_with_rows;
using qor::testing::Table;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

qor::NodeSplit best_cut(const Table& t, Criterion criterion, std::int32_t min_samples_leaf = 1,
                        std::int32_t feature = 0, std::int32_t min_samples_split = 2) {
  const auto node = node_with_rows(0, t.y.size());
  return qor::probe::find_node_threshold(t.X(), t.Y(), *node, feature, criterion, min_samples_split,
                                  min_samples_leaf);
}

TEST(NodeThreshold, WorkedGiniExample) {
  const Table t({1, 2, 3, 4}, {0, 0, 1, 1});
  const auto split = best_cut(t, Criterion::Gini);
  ASSERT_TRUE(split.valid);
  EXPECT_EQ(split.threshold, 2.5);
  EXPECT_DOUBLE_EQ(split.gain, 0.5);
}

TEST(NodeThreshold, MinSamplesLeafCanRuleOutEveryCut) {
  const Table t({1, 2, 3, 4}, {0, 0, 1, 1});
  EXPECT_FALSE(best_cut(t, Criterion::Gini, 3).valid);
  EXPECT_TRUE(best_cut(t, Criterion::Gini, 2).valid);
}

TEST(NodeThreshold, MinSamplesSplitIsCheckedPerNode) {
  const Table t({1, 2, 3, 4}, {0, 0, 1, 1});
  EXPECT_FALSE(best_cut(t, Criterion::Gini, 1, 0, 5).valid);
  EXPECT_TRUE(best_cut(t, Criterion::Gini, 1, 0, 4).valid);
}

TEST(NodeThreshold, CutsOnlyBetweenDistinctValues) {
  const Table repeated({2, 1, 2, 1}, {1, 0, 1, 0});
  const auto split = best_cut(repeated, Criterion::Gini);
  ASSERT_TRUE(split.valid);
  EXPECT_EQ(split.threshold, 1.5);

  const Table signed_zeros({-0.0, 0.0, -0.0, 0.0}, {0, 1, 0, 1});
  EXPECT_FALSE(best_cut(signed_zeros, Criterion::Gini).valid);
  const Table constant({3, 3, 3}, {0, 1, 2});
  EXPECT_FALSE(best_cut(constant, Criterion::Mse).valid);
}

TEST(NodeThreshold, ZeroGainCutIsStillACut) {
  const Table t({1, 1, 2, 2}, {0, 1, 0, 1});
  const auto split = best_cut(t, Criterion::Gini);
  ASSERT_TRUE(split.valid);
  EXPECT_EQ(split.threshold, 1.5);
  EXPECT_EQ(split.gain, 0.0);
}

TEST(NodeThreshold, EqualGainsPickTheLeftmostCut) {
  const Table t({1, 2, 3}, {0, 1, 0});
  for (const auto criterion : {Criterion::Gini, Criterion::Entropy, Criterion::Mse}) {
    const auto split = best_cut(t, criterion);
    ASSERT_TRUE(split.valid);
    EXPECT_EQ(split.threshold, 1.5);
  }
}

TEST(NodeThreshold, EntropyOfPureSidesExceedsTheParent) {
  const Table t({1, 2, 3, 4}, {0, 0, 1, 1});
  const auto split = best_cut(t, Criterion::Entropy);
  ASSERT_TRUE(split.valid);
  EXPECT_EQ(split.threshold, 2.5);
  const double parent = -2 * std::log2(0.5 + 1e-10) * 0.5;
  EXPECT_NEAR(split.gain - parent, 1.4427e-10, 1e-14);
}

TEST(NodeThreshold, MseAndMaeScoreNumbers) {
  const Table t({1, 2, 3, 4}, {1, 1, 5, 9});
  const auto mse = best_cut(t, Criterion::Mse);
  ASSERT_TRUE(mse.valid);
  EXPECT_EQ(mse.threshold, 2.5);
  // parent variance 11; parts {1,1} and {5,9} with variance 0 and 4
  EXPECT_DOUBLE_EQ(mse.gain, 11.0 - 0.5 * 4.0);
  const auto mae = best_cut(t, Criterion::Mae);
  ASSERT_TRUE(mae.valid);
  EXPECT_EQ(mae.threshold, 2.5);
  // parent: median 3, deviations 2+2+2+6 = 12 / 4 = 3; parts 0 and 2
  EXPECT_DOUBLE_EQ(mae.gain, 3.0 - 0.5 * 2.0);
}

// NaN sorts after every number; the numbers can be cut from the missing values
// (threshold: the largest number), but missing values never from each other.
TEST(NodeThreshold, MissingValuesSortLastAndCanBeCutFromTheNumbers) {
  const Table t({nan, 1, nan, 2, 3}, {1, 0, 1, 1, 1});
  const auto split = best_cut(t, Criterion::Gini);
  ASSERT_TRUE(split.valid);
  EXPECT_EQ(split.threshold, 1.5);
  for (const auto criterion :
       {Criterion::Gini, Criterion::Entropy, Criterion::Mse, Criterion::Mae}) {
    const Table only_next_to_nan({0, 0, 0, nan, nan}, {0, 0, 0, 1, 1});
    const auto numbers_left = best_cut(only_next_to_nan, criterion);
    ASSERT_TRUE(numbers_left.valid);
    EXPECT_EQ(numbers_left.threshold, 0.0);
    // The NaN cut beats the cut at 2.5 that leaves an impure part.
    const Table better({1, 2, 3, nan, nan}, {0, 0, 0, 1, 1});
    EXPECT_EQ(best_cut(better, criterion).threshold, 3.0);
    const Table all_nan({nan, nan}, {0, 1});
    EXPECT_FALSE(best_cut(all_nan, criterion).valid);
  }
}

TEST(LevelSplit, WorkedExampleChoosesTheOnlyFeature) {
  const Table t({1, 2, 3, 4}, {0, 0, 1, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.n_features = 1;
  auto node = node_with_rows(0, 4);
  const auto level = qor::probe::choose_level_split(model, t.X(), t.Y(), {node.get()});
  EXPECT_EQ(level.feature, 0);
  ASSERT_EQ(level.thresholds.size(), 1u);
  EXPECT_EQ(level.thresholds.at(node.get()), 2.5);

  auto strict = model_of(TaskKind::Classification, Criterion::Gini, 5, 2, 3);
  strict.n_features = 1;
  const auto none = qor::probe::choose_level_split(strict, t.X(), t.Y(), {node.get()});
  EXPECT_EQ(none.feature, -1);
  EXPECT_TRUE(none.thresholds.empty());
}

TEST(LevelSplit, SumsGainsOverNodesAndKeepsOnlyNodesWithACut) {
  // Node A = rows 0-3, node B = rows 4-7. Feature 0 separates A perfectly and
  // is constant on B; feature 1 cuts both nodes, with a smaller total gain.
  const Table t({{1, 1}, {2, 2}, {3, 1}, {4, 2}, {5, 1}, {5, 2}, {5, 1}, {5, 2}},
                {0, 0, 1, 1, 0, 1, 0, 0});
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.n_features = 2;
  auto a = node_with_rows(0, 4);
  auto b = node_with_rows(4, 8);
  const auto level = qor::probe::choose_level_split(model, t.X(), t.Y(), {a.get(), b.get()});
  EXPECT_EQ(level.feature, 0);
  EXPECT_EQ(level.thresholds.size(), 1u);
  EXPECT_EQ(level.thresholds.count(b.get()), 0u);
}

TEST(LevelSplit, EqualScoresPickTheLowestFeature) {
  const Table t({{1, 1}, {2, 2}, {3, 3}, {4, 4}}, {0, 0, 1, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  model.n_features = 2;
  auto node = node_with_rows(0, 4);
  EXPECT_EQ(qor::probe::choose_level_split(model, t.X(), t.Y(), {node.get()}).feature, 0);
}

TEST(LevelSplit, NanScoreIsNeverChosen) {
  const double inf = std::numeric_limits<double>::infinity();
  const Table t({1, 2, 3, 4}, {inf, 0, 1, 2});
  auto model = model_of(TaskKind::Regression, Criterion::Mse);
  model.n_features = 1;
  auto node = node_with_rows(0, 4);
  const auto level = qor::probe::choose_level_split(model, t.X(), t.Y(), {node.get()});
  EXPECT_EQ(level.feature, -1);
  EXPECT_TRUE(level.thresholds.empty());
}

TEST(LevelSplit, NoColumnsNoFeature) {
  const Table t({{}, {}}, {0, 1});
  auto model = model_of(TaskKind::Classification, Criterion::Gini);
  auto node = node_with_rows(0, 2);
  EXPECT_EQ(qor::probe::choose_level_split(model, t.X(), t.Y(), {node.get()}).feature, -1);
}

}  // namespace
