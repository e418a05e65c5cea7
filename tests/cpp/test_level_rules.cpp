#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "engine/binned/binned_growth.hpp"
#include "engine/exact/exact_growth.hpp"

// The rules the level loop applies to every fit, held in both searches: the
// leaf budget of max_leaf_nodes and the least decrease a cut must bring.

namespace {

using qor::Criterion;
using qor::FlatTree;
using qor::TreeParams;

struct Steps {
  std::vector<double> x;  // one column, row after row
  std::vector<double> y;

  qor::FeatureMatrix X() const { return {x.data(), static_cast<std::int32_t>(x.size()), 1, true}; }
  qor::TargetVector Y() const { return {y.data(), static_cast<std::int32_t>(y.size())}; }
};

// x = 0, 1, 2, 3 with rows[k] rows each, all of target means[k].
Steps steps(const std::vector<int>& rows, const std::vector<double>& means) {
  Steps s;
  for (std::size_t k = 0; k < rows.size(); ++k) {
    s.x.insert(s.x.end(), static_cast<std::size_t>(rows[k]), static_cast<double>(k));
    s.y.insert(s.y.end(), static_cast<std::size_t>(rows[k]), means[k]);
  }
  return s;
}

// The value of the leaf that x reaches.
double predict(const FlatTree& tree, double x) {
  std::size_t node = 0;
  while (!tree.is_leaf(node)) {
    node = static_cast<std::size_t>(x <= tree.threshold[node] ? tree.children_left[node]
                                                               : tree.children_right[node]);
  }
  return tree.value[node];
}

using Grow = std::function<FlatTree(const Steps&, const TreeParams&)>;

const Grow kExact = [](const Steps& s, const TreeParams& p) {
  return qor::grow_tree(s.X(), s.Y(), nullptr, p);
};
const Grow kBinned = [](const Steps& s, const TreeParams& p) {
  return qor::fit_binned(s.X(), s.Y(), nullptr, p, {255, 200000, 11}).tree;
};

struct BudgetCase {
  std::vector<int> rows;
  std::vector<double> means;
  std::vector<double> predicted;  // at x = 0, 1, 2, 3
};

class LeafBudget : public ::testing::TestWithParam<std::tuple<bool, BudgetCase>> {};

// Three leaves: the root cuts at 1.5, and of its two children only the one of
// larger weight times gain splits, the first in the tree on a tie.
TEST_P(LeafBudget, SplitsTheNodesOfLargestWeightedGainFirstOnTies) {
  const auto& [binned, c] = GetParam();
  TreeParams params;
  params.criterion = Criterion::Mse;
  params.max_leaf_nodes = 3;
  const FlatTree tree = (binned ? kBinned : kExact)(steps(c.rows, c.means), params);
  EXPECT_EQ(tree.node_count(), 5u);
  for (std::size_t k = 0; k < c.predicted.size(); ++k) {
    EXPECT_EQ(predict(tree, static_cast<double>(k)), c.predicted[k]) << "x = " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ExactAndBinned, LeafBudget,
    ::testing::Combine(
        ::testing::Bool(),
        ::testing::Values(
            // the right child: gain 25 against 1, equal weights
            BudgetCase{{25, 25, 25, 25}, {0, 2, 20, 30}, {1, 1, 20, 30}},
            // the left child: 400 rows of gain 16 outweigh 50 rows of gain 25
            BudgetCase{{200, 200, 25, 25}, {0, 8, 20, 30}, {0, 8, 25, 25}},
            // equal weighted gains: the left child, first in the tree
            BudgetCase{{25, 25, 25, 25}, {0, 2, 20, 22}, {0, 2, 21, 21}})));

class LeastDecrease : public ::testing::TestWithParam<bool> {};

// A cut whose weighted decrease equals min_impurity_decrease exactly is made;
// one ulp more and the node stays a leaf.
TEST_P(LeastDecrease, AGainAtTheBoundSplits) {
  const Grow grow = GetParam() ? kBinned : kExact;
  const Steps s{{1, 2, 3, 4, 5, 6}, {0, 0, 0, 1, 1, 0}};
  TreeParams params;
  params.criterion = Criterion::Gini;
  params.n_classes = 2;
  params.max_depth = 1;
  const double gain = grow(s, params).gain[0];
  ASSERT_GT(gain, 0.0);
  params.min_impurity_decrease = gain;
  EXPECT_FALSE(grow(s, params).is_leaf(0));
  params.min_impurity_decrease = std::nextafter(gain, 1.0);
  EXPECT_EQ(grow(s, params).node_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(ExactAndBinned, LeastDecrease, ::testing::Bool());

}  // namespace
