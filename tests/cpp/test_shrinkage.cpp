#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tree/shrinkage.hpp"

namespace {

// Root (weight 10, value 8) splits into 1 (weight 4, value 4) and 2 (weight 6, value 12);
// node 1 into 3 (weight 1, value 2) and 4 (weight 3, value 6).
struct SmallTree {
  qor::FlatTree tree;
  SmallTree() {
    const std::vector<double> values{8, 4, 12, 2, 6}, weights{10, 4, 6, 1, 3};
    for (std::size_t i = 0; i < values.size(); ++i) {
      tree.add_node({1, weights[i], 0.0, {&values[i], 1}});
      if (i == 0) tree.split(0, 0, 0.5, 0.0);
      if (i == 2) tree.split(1, 0, 0.25, 0.0);
    }
  }
  std::vector<double> shrunk(double shrinkage, std::span<const double> value,
                             std::size_t width = 1) const {
    return qor::shrunk_values(qor::TreeView::of(tree), tree.weighted_n_node_samples, value, width,
                              shrinkage);
  }
};

TEST(Shrinkage, EachChildMovesTowardsItsParentsShrunkValueAndEveryEntryAlone) {
  const SmallTree small;
  // shrinkage 10: the root's children by 1 / (1 + 10/10), node 1's by 1 / (1 + 10/4).
  const auto shrunk = small.shrunk(10.0, small.tree.value);
  EXPECT_EQ(shrunk, (std::vector<double>{8, 6, 10, 6 - 2 / 3.5, 6 + 2 / 3.5}));
  std::vector<double> wide;  // a second entry per node, the first times -3
  for (const double v : small.tree.value) wide.insert(wide.end(), {v, -3 * v});
  const auto both = small.shrunk(10.0, wide, 2);
  for (std::size_t node = 0; node < shrunk.size(); ++node) {
    EXPECT_EQ(both[2 * node], shrunk[node]);
    EXPECT_DOUBLE_EQ(both[2 * node + 1], -3 * shrunk[node]);
  }
}

TEST(Shrinkage, ZeroKeepsTheValuesToTheBitAndNoWeightOrAHugeOnePassesTheParentOn) {
  SmallTree small;
  // Values where parent + (child - parent) is not the child in doubles.
  const std::vector<double> values{1e16, 1.0, 3.0, 0.1, 0.7};
  EXPECT_NE(values[0] + (values[1] - values[0]), values[1]);
  EXPECT_EQ(small.shrunk(0.0, values), values);
  for (const double value : small.shrunk(1e300, small.tree.value)) EXPECT_EQ(value, 8.0);
  small.tree.weighted_n_node_samples[1] = 0.0;
  const auto shrunk = small.shrunk(1.0, small.tree.value);
  EXPECT_EQ(shrunk[3], shrunk[1]);
  EXPECT_EQ(shrunk[4], shrunk[1]);
}

TEST(Shrinkage, RefusesWhatItCannotShrink) {
  SmallTree small;
  const auto refuses = [&](double shrinkage, std::span<const double> value,
                           const std::string& message) {
    try {
      small.shrunk(shrinkage, value);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
    }
  };
  for (const double bad :
       {-1.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    refuses(bad, small.tree.value, "shrinkage must be a finite number >= 0");
  }
  refuses(1.0, std::vector<double>{1.0, 2.0}, "one entry per node");
  small.tree.children_left[1] = 0;  // a child before its parent: a loop
  refuses(1.0, small.tree.value, "every child after its parent; node 1");
  small.tree.children_left[1] = 5;  // past the last node
  refuses(1.0, small.tree.value, "node 1 has children 5 and 4");
}

}  // namespace
