#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/exact/exact_growth.hpp"
#include "engine/tree/shrinkage.hpp"

namespace {

// Root (weight 10, value 8) splits into 1 (weight 4, value 4) and 2 (weight 6,
// value 12); node 1 splits into 3 (weight 1, value 2) and 4 (weight 3, value 6).
struct SmallTree {
  qor::FlatTree tree;
  SmallTree() {
    const std::vector<double> values{8, 4, 12, 2, 6};
    const std::vector<double> weights{10, 4, 6, 1, 3};
    for (std::size_t i = 0; i < values.size(); ++i) {
      const qor::NodeStats stats{1, weights[i], 0.0, {&values[i], 1}};
      tree.add_node(stats);
      if (i == 0) tree.split(0, 0, 0.5, 0.0);
      if (i == 2) tree.split(1, 0, 0.25, 0.0);
    }
  }
  std::vector<double> shrunk(double shrinkage, std::span<const double> value) const {
    return qor::shrunk_values(qor::TreeView::of(tree), tree.weighted_n_node_samples, value, 1,
                              shrinkage);
  }
  std::vector<double> shrunk(double shrinkage) const { return shrunk(shrinkage, tree.value); }
};

TEST(Shrinkage, EachChildMovesTowardsItsParentsShrunkValue) {
  const SmallTree small;
  // shrinkage 10: the root's children by 1 / (1 + 10/10) = 1/2, node 1's by 1 / (1 + 10/4).
  const auto shrunk = small.shrunk(10.0);
  ASSERT_EQ(shrunk.size(), 5u);
  EXPECT_EQ(shrunk[0], 8.0);
  EXPECT_EQ(shrunk[1], 6.0);
  EXPECT_EQ(shrunk[2], 10.0);
  EXPECT_DOUBLE_EQ(shrunk[3], 6.0 - 2.0 / 3.5);
  EXPECT_DOUBLE_EQ(shrunk[4], 6.0 + 2.0 / 3.5);
}

TEST(Shrinkage, ZeroKeepsTheValuesToTheBitAndLargeTendsToTheRoot) {
  SmallTree small;
  // Values where parent + (child - parent) is not child in doubles.
  const std::vector<double> values{1e16, 1.0, 3.0, 0.1, 0.7};
  EXPECT_NE(values[0] + (values[1] - values[0]), values[1]);
  EXPECT_EQ(small.shrunk(0.0, values), values);
  for (const double value : small.shrunk(1e300)) EXPECT_EQ(value, 8.0);
}

TEST(Shrinkage, AParentWithoutWeightPassesItsValueOn) {
  SmallTree small;
  small.tree.weighted_n_node_samples[1] = 0.0;
  const auto shrunk = small.shrunk(1.0);
  EXPECT_EQ(shrunk[3], shrunk[1]);
  EXPECT_EQ(shrunk[4], shrunk[1]);
}

TEST(Shrinkage, EveryEntryOfANodeShrinksAlone) {
  // The same tree with two entries per node: the second the first times -3.
  SmallTree small;
  std::vector<double> wide;
  for (const double v : small.tree.value) wide.insert(wide.end(), {v, -3.0 * v});
  const auto shrunk = qor::shrunk_values(qor::TreeView::of(small.tree),
                                         small.tree.weighted_n_node_samples, wide, 2, 2.5);
  const auto one = small.shrunk(2.5);
  for (std::size_t node = 0; node < one.size(); ++node) {
    EXPECT_EQ(shrunk[2 * node], one[node]);
    EXPECT_DOUBLE_EQ(shrunk[2 * node + 1], -3.0 * one[node]);
  }
}

TEST(Shrinkage, ClassSharesStaySharesOfAGrownTree) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const std::int32_t rows = 400;
  std::vector<double> x(rows * 3), y(rows), w(rows);
  for (std::int32_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < 3; ++j) x[static_cast<std::size_t>(i) * 3 + j] = uniform(random);
    y[static_cast<std::size_t>(i)] = std::floor(3.0 * uniform(random));
    w[static_cast<std::size_t>(i)] = 0.5 + uniform(random);
  }
  qor::TreeParams params;
  params.criterion = qor::Criterion::Gini;
  params.n_classes = 3;
  params.max_depth = 6;
  const auto tree = qor::grow_tree({x.data(), rows, 3, true}, {y.data(), rows}, w.data(), params);
  for (const double shrinkage : {0.5, 10.0, 1000.0}) {
    const auto shrunk = qor::shrunk_values(qor::TreeView::of(tree), tree.weighted_n_node_samples,
                                           tree.value, 3, shrinkage);
    for (std::size_t node = 0; node < tree.node_count(); ++node) {
      const double* shares = &shrunk[3 * node];
      for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_GE(shares[k], -1e-15);
        EXPECT_LE(shares[k], 1.0 + 1e-15);
      }
      EXPECT_NEAR(shares[0] + shares[1] + shares[2], 1.0, 1e-14);
    }
  }
}

TEST(Shrinkage, RefusesWhatItCannotShrink) {
  const auto refuses = [](auto&& call, const std::string& message) {
    try {
      call();
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  };
  SmallTree small;
  for (const double bad :
       {-1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    refuses([&] { small.shrunk(bad); }, "shrinkage must be a finite number >= 0");
  }
  const std::vector<double> short_value{1.0, 2.0};
  refuses([&] { small.shrunk(1.0, short_value); }, "one entry per node");
  small.tree.children_left[1] = 0;  // a child before its parent: a loop
  refuses([&] { small.shrunk(1.0); }, "every child after its parent; node 1");
  small.tree.children_left[1] = 5;  // past the last node
  refuses([&] { small.shrunk(1.0); }, "node 1 has children 5 and 4");
}

}  // namespace
