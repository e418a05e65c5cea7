#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

#include "engine/frontier_columns.hpp"
#include "engine/growth.hpp"
#include "fixtures.hpp"

namespace {

using qor::Criterion;
using qor::FrontierColumns;
using qor::Node;
using qor::OrderedRow;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint32_t> rows_of(std::span<const OrderedRow> run) {
  std::vector<std::uint32_t> rows;
  for (const OrderedRow& entry : run) rows.push_back(entry.row);
  return rows;
}

// Equal neighbours share a rank, distinct ones do not: what the cut search reads.
std::vector<bool> rank_steps(std::span<const OrderedRow> run) {
  std::vector<bool> steps;
  for (std::size_t k = 1; k < run.size(); ++k) steps.push_back(run[k].rank != run[k - 1].rank);
  return steps;
}

void split(Node& node, const qor::FeatureMatrix& X, std::int32_t feature, double threshold) {
  node.left = std::make_unique<Node>();
  node.right = std::make_unique<Node>();
  qor::partition_rows(X, node, feature, threshold, node.left->indices, node.right->indices);
}

// After every split, a child's rows in each column are exactly those a fresh
// sort of the child alone gives; nodes left unsplit drop out of view.
TEST(FrontierColumns, ChildrenKeepTheirRowsInColumnOrder) {
  std::mt19937_64 rng(9);
  std::uniform_int_distribution<int> small(0, 5);
  std::vector<double> x(400 * 3);
  for (double& v : x) v = small(rng) == 5 ? nan : small(rng);
  const qor::FeatureMatrix X{x.data(), 400, 3, true};
  const std::vector<double> y(400, 1.0);
  const qor::TargetVector Y{y.data(), 400};
  const std::int32_t features[] = {0, 1, 2};

  auto root = qor::testing::node_with_rows(0, 400);
  const Node* const first[] = {root.get()};
  FrontierColumns columns(X, Y, first, features, Criterion::Mae);
  split(*root, X, 1, 2.5);
  columns.record_split(*root);
  columns.finish_level();
  split(*root->left, X, 0, 0.5);
  columns.record_split(*root->left);  // root->right stops here
  columns.finish_level();

  for (const Node* node : {root->left->left.get(), root->left->right.get()}) {
    const Node* const alone[] = {node};
    const FrontierColumns fresh(X, Y, alone, features, Criterion::Mae);
    for (const std::int32_t f : features) {
      EXPECT_EQ(rows_of(columns.run(*node, f)), rows_of(fresh.run(*node, f)));
      EXPECT_EQ(rank_steps(columns.run(*node, f)), rank_steps(fresh.run(*node, f)));
    }
    EXPECT_EQ(rows_of(columns.target_run(*node)), rows_of(fresh.target_run(*node)));
  }
  EXPECT_THROW(columns.run(*root->right, 0), std::out_of_range);
  EXPECT_THROW(columns.run(*root->left, 0), std::out_of_range);
}

// A node's own index order breaks ties, whatever the row numbers.
TEST(FrontierColumns, TiesFollowTheNodesIndexOrder) {
  const qor::testing::Table t({3, 1, 3, 1}, {0, 0, 0, 0});
  Node node;
  node.indices = {2, 3, 0, 1};
  const Node* const nodes[] = {&node};
  const std::int32_t features[] = {0};
  const FrontierColumns columns(t.X(), t.Y(), nodes, features, Criterion::Gini);
  EXPECT_EQ(rows_of(columns.run(node, 0)), (std::vector<std::uint32_t>{3, 1, 2, 0}));
}

TEST(FrontierColumns, LabelCodesShareEqualTargetsAndNeverNan) {
  const qor::testing::Table t({0, 0, 0, 0, 0, 0}, {2.5, -0.0, nan, 0.0, 2.5, nan});
  auto node = qor::testing::node_with_rows(0, 6);
  const Node* const nodes[] = {node.get()};
  const std::int32_t features[] = {0};
  const FrontierColumns columns(t.X(), t.Y(), nodes, features, Criterion::Entropy);
  std::vector<std::uint32_t> codes;
  for (std::size_t r = 0; r < 6; ++r) codes.push_back(columns.label_code(r));
  EXPECT_EQ(columns.label_count(), 4u);
  EXPECT_EQ(codes[1], codes[3]);
  EXPECT_EQ(codes[0], codes[4]);
  EXPECT_NE(codes[0], codes[1]);
  EXPECT_NE(codes[2], codes[5]);
  for (const std::size_t r : {0u, 1u}) {
    EXPECT_NE(codes[2], codes[r]);
    EXPECT_NE(codes[5], codes[r]);
  }
}

}  // namespace
