#include <gtest/gtest.h>

#include <algorithm>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/criteria/impurity.hpp"
#include "engine/native/class_tally.hpp"
#include "fixtures.hpp"

namespace {

using qor::testing::model_of;
using qor::testing::Table;
using Counts = std::vector<double>;

// The engine's mae of unit-weight values, sorted as a node's targets are.
double mae_of(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return qor::weighted_mae([&](auto&& f) {
    for (const double v : values) f(v, 1.0);
  });
}

TEST(Impurity, EmptySetScoresZero) {
  EXPECT_EQ(qor::gini_impurity(Counts{}, 0), 0.0);
  EXPECT_EQ(qor::entropy_impurity(Counts{}, 0), 0.0);
  EXPECT_EQ(qor::mse_impurity(0.0, 0.0, 0), 0.0);
  EXPECT_EQ(mae_of({}), 0.0);
}

TEST(Impurity, GiniWorkedValues) {
  EXPECT_EQ(qor::gini_impurity(Counts{4}, 4), 0.0);
  EXPECT_DOUBLE_EQ(qor::gini_impurity(Counts{1, 3}, 4), 0.375);
  EXPECT_DOUBLE_EQ(qor::gini_impurity(Counts{2, 2}, 4), 0.5);
}

// The package's entropy is the entropy itself; the native model's keeps the
// guard inside its logarithm, which its frozen trees were grown with.
TEST(Impurity, EntropyIsExactAndTheNativeOneCarriesTheLogOffset) {
  EXPECT_EQ(qor::entropy_impurity(Counts{2, 2}, 4), 1.0);
  EXPECT_EQ(qor::entropy_impurity(Counts{5}, 5), 0.0);
  EXPECT_EQ(qor::entropy_impurity(Counts{1, 1, 1, 1}, 4), 2.0);
  EXPECT_NEAR(qor::entropy_impurity(Counts{1, 3}, 4), 0.81127812445913283, 1e-15);
  // A class weight that subtraction left a hair below 0 adds nothing.
  EXPECT_EQ(qor::entropy_impurity(Counts{-1e-17, 2, 2}, 4), 1.0);
  EXPECT_NEAR(qor::guarded_entropy_impurity(Counts{2, 2}, 4), 0.99999999971, 1e-11);
  EXPECT_LT(qor::guarded_entropy_impurity(Counts{2, 2}, 4), 1.0);
  const double pure = qor::guarded_entropy_impurity(Counts{5}, 5);
  EXPECT_NEAR(pure, -1.4427e-10, 1e-14);
}

TEST(Impurity, ZeroCountsChangeNothing) {
  EXPECT_EQ(qor::gini_impurity(Counts{0, 1, 0, 3, 0}, 4), qor::gini_impurity(Counts{1, 3}, 4));
  EXPECT_EQ(qor::entropy_impurity(Counts{0, 1, 0, 3, 0}, 4),
            qor::entropy_impurity(Counts{1, 3}, 4));
}

TEST(Impurity, MseIsThePopulationVarianceUnclamped) {
  EXPECT_DOUBLE_EQ(qor::mse_impurity(6.0, 14.0, 3), 14.0 / 3.0 - 4.0);
  // Sums that round below the square of the mean stay negative.
  EXPECT_LT(qor::mse_impurity(0.3, 0.09 * 0.999999, 1), 0.0);
}

TEST(Impurity, MaeIsTheMeanDeviationFromTheMedian) {
  EXPECT_DOUBLE_EQ(mae_of({10, 2, 3, 1}), 2.5);
  EXPECT_DOUBLE_EQ(mae_of({3, 1, 2}), 2.0 / 3.0);
  EXPECT_EQ(mae_of({-4.5}), 0.0);
}

TEST(ClassTally, SlotsFollowFirstOccurrence) {
  qor::ClassTally tally(true);
  for (const double label : {7.0, 3.0, 7.0, -0.0, 0.0, 3.0, 7.0}) tally.add(label);
  EXPECT_EQ(tally.labels(), (std::vector<double>{7.0, 3.0, -0.0}));
  EXPECT_EQ(tally.counts(), (std::vector<std::int64_t>{3, 2, 2}));
}

TEST(ClassTally, EveryNanIsANewLabel) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  qor::ClassTally tally;
  EXPECT_EQ(tally.add(nan), 0u);
  EXPECT_EQ(tally.add(1.0), 1u);
  EXPECT_EQ(tally.add(nan), 2u);
  EXPECT_EQ(tally.counts(), (std::vector<std::int64_t>{1, 1, 1}));
  EXPECT_TRUE(tally.labels().empty());
}

struct LeafCase {
  std::vector<double> targets;
  std::vector<double> classes;
  double value;
  std::vector<double> class_counts;
};

class ClassificationLeaf : public ::testing::TestWithParam<LeafCase> {};

TEST_P(ClassificationLeaf, StoresMajorityAndCounts) {
  const LeafCase& c = GetParam();
  auto model = model_of(qor::TaskKind::Classification, qor::Criterion::Gini);
  model.classes_ = c.classes;
  const Table t(std::vector<double>(c.targets.size(), 0.0), c.targets);
  auto node = qor::testing::node_with_rows(0, c.targets.size());
  model.finalize_leaf(*node, t.Y());
  EXPECT_TRUE(node->is_finalized);
  EXPECT_EQ(node->value, c.value);
  EXPECT_EQ(node->class_counts, c.class_counts);
  EXPECT_EQ(node->split_feature, -1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassificationLeaf,
    ::testing::Values(LeafCase{{2, 1, 1, 2}, {1, 2}, 2.0, {2, 2}},  // tie: first seen wins
                      LeafCase{{5, 5, 5}, {1, 5, 7}, 5.0, {0, 3, 0}},
                      LeafCase{{}, {1, 2, 3}, 0.0, {0, 0, 0}},
                      LeafCase{{-0.0, 0.0, 1}, {0, 1}, -0.0, {2, 1}}),
    [](const auto& param) { return "case" + std::to_string(param.index); });

TEST(RegressionLeaf, StoresTheMeanUnderEveryCriterion) {
  for (const auto criterion : {qor::Criterion::Mse, qor::Criterion::Mae, qor::Criterion::Gini}) {
    auto model = model_of(qor::TaskKind::Regression, criterion);
    const Table t(std::vector<double>{0, 0, 0}, {1, 2, 10});
    auto node = qor::testing::node_with_rows(0, 3);
    model.finalize_leaf(*node, t.Y());
    EXPECT_DOUBLE_EQ(node->value, 13.0 / 3.0);
    EXPECT_TRUE(node->class_counts.empty());
    qor::Node empty;
    model.finalize_leaf(empty, t.Y());
    EXPECT_EQ(empty.value, 0.0);
    EXPECT_TRUE(empty.is_finalized);
  }
}

}  // namespace
